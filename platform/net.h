// Sockets: the only place that talks to the system's socket API.
//
// Every socket here is an IPv4 TCP socket. Sends and receives are meant for
// non-blocking sockets and report "would block" as a status of its own, so the
// caller decides how to wait. Waits last at most the time given and end early
// when the socket is ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace kadrel::platform {

// A SOCKET on Windows, a file descriptor elsewhere; both fit.
using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = static_cast<Socket>(-1);

// One reference on the system's socket library (WSAStartup/WSACleanup on
// Windows, nothing elsewhere). A server holds one from a successful start
// until every one of its threads has ended; a test client holds its own.
class SocketLibrary {
  public:
    SocketLibrary() = default;
    SocketLibrary(SocketLibrary&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    SocketLibrary& operator=(SocketLibrary&& other) noexcept;
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
    ~SocketLibrary() { release(); }

    bool acquire();
    void release();
    bool held() const { return held_; }

  private:
    bool held_ = false;
};

// Owns one socket and closes it when dropped.
class UniqueSocket {
  public:
    UniqueSocket() = default;
    explicit UniqueSocket(Socket s) : socket_(s) {}
    UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept;
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    ~UniqueSocket() { reset(); }

    Socket get() const { return socket_; }
    bool valid() const { return socket_ != kInvalidSocket; }
    Socket release() { return std::exchange(socket_, kInvalidSocket); }
    void reset(Socket s = kInvalidSocket);

  private:
    Socket socket_ = kInvalidSocket;
};

enum class IoStatus {
    ok,          // count bytes moved (at least one)
    wouldBlock,  // nothing can move now
    closed,      // receive only: the peer ended the stream
    failed,      // any other error (of the socket, for sendFileSome)
    readFailed,  // sendFileSome only: the file has no byte at the offset or cannot be read there
};

struct IoResult {
    IoStatus status;
    std::size_t count;
};

// A new IPv4 TCP socket (close-on-exec where that exists), or kInvalidSocket.
Socket createTcpSocket();

// Binds to 0.0.0.0:port. On POSIX the socket first gets SO_REUSEADDR, so a
// restart is not refused because of connections in TIME_WAIT; a live
// listener on the port still makes the bind fail. Windows gets no option
// before bind: there SO_REUSEADDR would let two listeners share a port.
bool bindToAnyInterface(Socket s, std::uint16_t port);

// listen() with the largest backlog the system offers.
bool startListening(Socket s);

bool setNonBlocking(Socket s);

// Replies are whole lines sent at once; without this a second reply waits
// for the client's delayed acknowledgement of the first.
bool setNoDelay(Socket s);

// Fixes the socket's send buffer at about `bytes` (SO_SNDBUF).
bool setSendBufferSize(Socket s, std::uint32_t bytes);

// Keeps at most about `bytes` of data queued in the socket that the system
// has not sent yet, beyond what is in flight: a send takes no more, and the
// socket counts as writable only once the backlog is below that. A bulk
// sender then hands the system its data as the connection can take it, in
// its own thread, instead of leaving a large backlog for whatever thread
// happens to process the acknowledgements (on loopback, the receiver's).
// TCP_NOTSENT_LOWAT where the system has it; false and no effect elsewhere.
bool limitUnsentBytes(Socket s, std::uint32_t bytes);

// A pending connection of a listening socket, or kInvalidSocket when none is
// pending (or accept failed). The new socket is close-on-exec. When `failed`
// is given it tells a real failure (out of descriptors, say) from nothing
// pending.
Socket acceptConnection(Socket listening, bool* failed = nullptr);

// Blocking connect to an IPv4 address given as dotted quad, from the local
// address given (any when null); kInvalidSocket on failure. Used by test
// clients and benchmarks. A nonzero receiveBufferBytes sets SO_RCVBUF before
// connecting, which also bounds the window the peer may fill: how a test
// plays a client that reads slowly or not at all.
Socket connectTo(const char* address, std::uint16_t port, const char* localAddress = nullptr,
                 std::uint32_t receiveBufferBytes = 0);

IoResult sendSome(Socket s, const void* bytes, std::size_t count);
IoResult receiveSome(Socket s, void* buffer, std::size_t capacity);

class ReadOnlyFile;

// Sends up to `count` (at least 1) bytes of the file from `offset` on,
// without waiting for the socket and without a buffer of the caller's: ok
// with the bytes sent, wouldBlock, failed (the socket), or readFailed (the
// file ends at or before `offset`, which for a file of known size means it
// shrank, or a read error). Linux sends from the page cache itself
// (sendfile); Windows, and files the kernel cannot send that way, go through
// sendFileByCopy. Offsets are explicit: a partial send loses nothing, the
// next call starts where the sent bytes end.
IoResult sendFileSome(Socket s, ReadOnlyFile& file, std::int64_t offset, std::size_t count);

// The portable way: reads at most kFileCopyBytes at `offset` into a buffer
// that the file keeps while it is open (pages of its own, given back when
// the file is closed) and sends what the socket takes of them. The size
// weighs memory against the cost of a send, which under Wine is mostly a
// fixed round trip: 64 KiB sends reach a third of the speed of 2 MiB ones
// there, 192 KiB sends two thirds. A buffer that cannot be made counts as a
// read failure.
inline constexpr std::size_t kFileCopyBytes = 192 * 1024;
IoResult sendFileByCopy(Socket s, ReadOnlyFile& file, std::int64_t offset, std::size_t count);

// Dotted-quad texts of the remote and local IPv4 address of a connection.
bool peerAddressText(Socket s, std::string& out);
bool localAddressText(Socket s, std::string& out);

void closeSocket(Socket s);

// Waits at most timeoutMs for the socket to become readable (or, for a
// listening socket, to have a pending connection), or writable. True when it
// is ready, including when it is in an error state, so callers must not loop
// on it without trying the socket. Used by test clients; server threads wait
// through platform/wait.h, which also watches their wake-up objects.
bool waitReadable(Socket s, std::uint32_t timeoutMs);
bool waitWritable(Socket s, std::uint32_t timeoutMs);

// True when the peer of a connection has already ended it: its FIN or RST
// has arrived, seen by a non-blocking peek that consumes nothing. A
// connection with unread data, or with nothing to read yet, is still open.
bool peerHasClosed(Socket s);

// Half-closes the sending side: the peer reads the end of the stream.
void shutdownSend(Socket s);

}  // namespace kadrel::platform
