// Sockets on Windows: Winsock 2.
#include <climits>

#include "platform/files.h"
#include "platform/net.h"
#include "platform/windows_headers.h"

namespace kadrel::platform {
namespace {

SOCKET sock(Socket s) {
    return static_cast<SOCKET>(s);
}

// INVALID_SOCKET is ~0, the same bits as kInvalidSocket.
Socket toSocket(SOCKET s) {
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

bool lastWouldBlock() {
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

// send and recv take an int count; a larger request just moves less.
int clampCount(std::size_t count) {
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

// A child process the host starts must not inherit the server's sockets.
void keepFromChildren(SOCKET s) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

bool addressText(const sockaddr_in& address, std::string& out) {
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return false;
    out = text;
    return true;
}

}  // namespace

bool SocketLibrary::acquire() {
    if (held_) return true;
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 0), &data) != 0) return false;
    held_ = true;
    return true;
}

void SocketLibrary::release() {
    // Each successful WSAStartup is paired with exactly one WSACleanup: the
    // last WSACleanup of the process closes every socket still open in it,
    // the host's included.
    if (held_) {
        held_ = false;
        ::WSACleanup();
    }
}

Socket createTcpSocket() {
    SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    // Systems before Windows 7 SP1 refuse the flag.
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s != INVALID_SOCKET) keepFromChildren(s);
    }
    return toSocket(s);
}

bool bindToAnyInterface(Socket s, std::uint16_t port) {
    // No option before bind. SO_REUSEADDR would let a second socket bind the
    // port a live listener holds. SO_EXCLUSIVEADDRUSE is not set either: it
    // keeps the port taken until every connection the old listener accepted
    // has left TIME_WAIT, so a stop and start would fail for minutes. Without
    // options, binding a port that a live listener holds fails, another
    // account cannot take it over with SO_REUSEADDR, and TIME_WAIT does not
    // block a restart.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(sock(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool startListening(Socket s) {
    return ::listen(sock(s), SOMAXCONN) == 0;
}

bool setNonBlocking(Socket s) {
    u_long on = 1;
    return ::ioctlsocket(sock(s), FIONBIO, &on) == 0;
}

bool setSendBufferSize(Socket s, std::uint32_t bytes) {
    int size = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    return ::setsockopt(sock(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size),
                        sizeof size) == 0;
}

// Windows sizes a connection's send backlog by itself (the ideal send
// backlog) and has no such limit.
bool limitUnsentBytes(Socket, std::uint32_t) {
    return false;
}

bool setNoDelay(Socket s) {
    BOOL on = TRUE;
    return ::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
}

Socket acceptConnection(Socket listening, bool* failed) {
    SOCKET s = ::accept(sock(listening), nullptr, nullptr);
    if (failed != nullptr) {
        int error = s == INVALID_SOCKET ? ::WSAGetLastError() : 0;
        // A connection reset before it was accepted is not a failure.
        *failed = s == INVALID_SOCKET && error != WSAEWOULDBLOCK && error != WSAECONNRESET &&
                  error != WSAEINTR;
    }
    if (s == INVALID_SOCKET) return kInvalidSocket;
    keepFromChildren(s);
    // An accepted socket inherits the listener's non-blocking mode on
    // Windows; elsewhere it starts blocking. Hand out the same on both.
    u_long off = 0;
    ::ioctlsocket(s, FIONBIO, &off);
    return toSocket(s);
}

Socket connectTo(const char* address, std::uint16_t port, const char* localAddress,
                 std::uint32_t receiveBufferBytes) {
    Socket s = createTcpSocket();
    if (s == kInvalidSocket) return s;
    if (receiveBufferBytes > 0) {
        int size = receiveBufferBytes > INT_MAX ? INT_MAX : static_cast<int>(receiveBufferBytes);
        ::setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                     sizeof size);
    }
    if (localAddress != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, localAddress, &local.sin_addr) != 1 ||
            ::bind(sock(s), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            closeSocket(s);
            return kInvalidSocket;
        }
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &peer.sin_addr) != 1 ||
        ::connect(sock(s), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        closeSocket(s);
        return kInvalidSocket;
    }
    return s;
}

IoResult sendSome(Socket s, const void* bytes, std::size_t count) {
    int n = ::send(sock(s), static_cast<const char*>(bytes), clampCount(count), 0);
    if (n > 0) return {IoStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::wouldBlock, 0};
    return {lastWouldBlock() ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

IoResult sendFileSome(Socket s, ReadOnlyFile& file, std::int64_t offset, std::size_t count) {
    return sendFileByCopy(s, file, offset, count);
}

IoResult receiveSome(Socket s, void* buffer, std::size_t capacity) {
    int n = ::recv(sock(s), static_cast<char*>(buffer), clampCount(capacity), 0);
    if (n > 0) return {IoStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::closed, 0};
    return {lastWouldBlock() ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

bool peerAddressText(Socket s, std::string& out) {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getpeername(sock(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    return address.sin_family == AF_INET && addressText(address, out);
}

bool localAddressText(Socket s, std::string& out) {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    return address.sin_family == AF_INET && addressText(address, out);
}

void closeSocket(Socket s) {
    if (s != kInvalidSocket) ::closesocket(sock(s));
}

bool peerHasClosed(Socket s) {
    // recv has no "don't wait" flag here: ask first whether a peek would
    // return at once (data, end of stream or an error), then peek.
    WSAPOLLFD watched{};
    watched.fd = sock(s);
    watched.events = POLLRDNORM;
    int ready = ::WSAPoll(&watched, 1, 0);
    if (ready <= 0) return false;
    if ((watched.revents & (POLLERR | POLLNVAL)) != 0) return true;
    char byte = 0;
    int n = ::recv(sock(s), &byte, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && !lastWouldBlock());
}

void shutdownSend(Socket s) {
    ::shutdown(sock(s), SD_SEND);
}

}  // namespace kadrel::platform
