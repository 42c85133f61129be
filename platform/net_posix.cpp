// Sockets on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/files.h"
#include "platform/net.h"

namespace kadrel::platform {
namespace {

int fd(Socket s) {
    return static_cast<int>(s);
}

Socket toSocket(int descriptor) {
    return descriptor < 0 ? kInvalidSocket : static_cast<Socket>(descriptor);
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// A send must never raise SIGPIPE in the host process.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

[[maybe_unused]] void setCloseOnExec(int descriptor) {
    int flags = ::fcntl(descriptor, F_GETFD);
    if (flags >= 0) ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
}

void suppressSigpipe([[maybe_unused]] int descriptor) {
#ifdef SO_NOSIGPIPE
    int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

bool addressText(const sockaddr_in& address, std::string& out) {
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return false;
    out = text;
    return true;
}

#ifdef __linux__
// sendfile takes no MSG_NOSIGNAL, so a connection the peer has reset would
// raise SIGPIPE, whose default action ends the host process. The signal is
// raised at the sending thread alone, so the first file send of a thread
// blocks it in that thread for good: only the server's own threads send
// files, and none of them ever unblocks it. A SIGPIPE raised there stays
// pending with that thread, never delivered, and goes when the thread ends;
// the host's threads and the process's disposition are left as they are.
// Blocking it around each call instead would cost four system calls per
// call, and a download makes a call for every 64 KiB or so.
void blockSigpipeInThisThread() {
    thread_local bool blocked = false;
    if (blocked) return;
    sigset_t pipe;
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    blocked = ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0;
}

// Errors of sendfile that come from reading the file, not from the socket.
bool isReadError(int error) {
    return error == EIO || error == EOVERFLOW || error == ESPIPE || error == ENXIO;
}

// Errors of sendfile for a file that the kernel cannot send by itself.
bool needsCopy(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}
#endif

}  // namespace

bool SocketLibrary::acquire() {
    held_ = true;
    return true;
}

void SocketLibrary::release() {
    held_ = false;
}

Socket createTcpSocket() {
#ifdef SOCK_CLOEXEC
    int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#else
    int descriptor = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (descriptor >= 0) setCloseOnExec(descriptor);
#endif
    if (descriptor >= 0) suppressSigpipe(descriptor);
    return toSocket(descriptor);
}

bool bindToAnyInterface(Socket s, std::uint16_t port) {
    int on = 1;
    ::setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool startListening(Socket s) {
    return ::listen(fd(s), SOMAXCONN) == 0;
}

bool setNonBlocking(Socket s) {
    int flags = ::fcntl(fd(s), F_GETFL);
    return flags >= 0 && ::fcntl(fd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setSendBufferSize(Socket s, std::uint32_t bytes) {
    int size = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    return ::setsockopt(fd(s), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
}

bool limitUnsentBytes(Socket s, std::uint32_t bytes) {
#ifdef TCP_NOTSENT_LOWAT
    int size = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    return ::setsockopt(fd(s), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &size, sizeof size) == 0;
#else
    (void)s;
    (void)bytes;
    return false;
#endif
}

bool setNoDelay(Socket s) {
    int on = 1;
    return ::setsockopt(fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

Socket acceptConnection(Socket listening, bool* failed) {
#if defined(__linux__)
    int descriptor = ::accept4(fd(listening), nullptr, nullptr, SOCK_CLOEXEC);
#else
    int descriptor = ::accept(fd(listening), nullptr, nullptr);
    if (descriptor >= 0) setCloseOnExec(descriptor);
#endif
    if (descriptor >= 0) suppressSigpipe(descriptor);
    if (failed != nullptr) {
        // A connection reset before it was accepted is not a failure.
        *failed = descriptor < 0 && !wouldBlock(errno) && errno != EINTR && errno != ECONNABORTED;
    }
    return toSocket(descriptor);
}

Socket connectTo(const char* address, std::uint16_t port, const char* localAddress,
                 std::uint32_t receiveBufferBytes) {
    Socket s = createTcpSocket();
    if (s == kInvalidSocket) return s;
    if (receiveBufferBytes > 0) {
        int size = receiveBufferBytes > INT_MAX ? INT_MAX : static_cast<int>(receiveBufferBytes);
        ::setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (localAddress != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, localAddress, &local.sin_addr) != 1 ||
            ::bind(fd(s), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            closeSocket(s);
            return kInvalidSocket;
        }
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &peer.sin_addr) != 1 ||
        ::connect(fd(s), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        closeSocket(s);
        return kInvalidSocket;
    }
    return s;
}

IoResult sendSome(Socket s, const void* bytes, std::size_t count) {
    ssize_t n = ::send(fd(s), bytes, count, kSendFlags);
    if (n > 0) return {IoStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::wouldBlock, 0};
    return {wouldBlock(errno) ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

IoResult sendFileSome(Socket s, ReadOnlyFile& file, std::int64_t offset, std::size_t count) {
#ifdef __linux__
    off_t from = static_cast<off_t>(offset);
    blockSigpipeInThisThread();
    ssize_t n = ::sendfile(fd(s), file.fd_, &from, count);
    int error = errno;
    if (n > 0) return {IoStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::readFailed, 0};  // nothing left at the offset
    if (wouldBlock(error)) return {IoStatus::wouldBlock, 0};
    if (needsCopy(error)) return sendFileByCopy(s, file, offset, count);
    return {isReadError(error) ? IoStatus::readFailed : IoStatus::failed, 0};
#else
    return sendFileByCopy(s, file, offset, count);
#endif
}

IoResult receiveSome(Socket s, void* buffer, std::size_t capacity) {
    ssize_t n = ::recv(fd(s), buffer, capacity, 0);
    if (n > 0) return {IoStatus::ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::closed, 0};
    return {wouldBlock(errno) ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

bool peerAddressText(Socket s, std::string& out) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    return address.sin_family == AF_INET && addressText(address, out);
}

bool localAddressText(Socket s, std::string& out) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    return address.sin_family == AF_INET && addressText(address, out);
}

void closeSocket(Socket s) {
    if (s != kInvalidSocket) ::close(fd(s));
}

bool peerHasClosed(Socket s) {
    char byte = 0;
    ssize_t n = ::recv(fd(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    if (n == 0) return true;
    return !wouldBlock(errno) && errno != EINTR;
}

void shutdownSend(Socket s) {
    ::shutdown(fd(s), SHUT_WR);
}

}  // namespace kadrel::platform
