// Waiting on Windows: WSAPoll, and a UDP socket on 127.0.0.1 that sends to
// itself as the wake-up object, so that one WSAPoll watches connections and
// wake-ups together. No latency depends on Sleep or the timer tick: WSAPoll
// returns as soon as something is ready.
#include <climits>

#include "platform/clock.h"
#include "platform/wait.h"
#include "platform/windows_headers.h"

namespace kadrel::platform {
namespace {

SOCKET sock(Socket s) {
    return static_cast<SOCKET>(s);
}

}  // namespace

bool WakeUp::open() {
    if (isOpen()) return true;
    SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (s != INVALID_SOCKET) {
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        }
    }
    if (s == INVALID_SOCKET) return false;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    u_long on = 1;
    // Bound to a port of its own on loopback and connected to itself: only
    // its own datagrams reach it.
    if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return false;
    }
    readEnd_ = writeEnd_ = static_cast<Socket>(s);
    return true;
}

void WakeUp::close() {
    if (!isOpen()) return;
    ::closesocket(sock(readEnd_));
    readEnd_ = writeEnd_ = kInvalidSocket;
}

void WakeUp::signal() {
    // A full receive queue means it is signalled already.
    char byte = 1;
    ::send(sock(writeEnd_), &byte, 1, 0);
}

void WakeUp::clear() {
    char bytes[64];
    while (::recv(sock(readEnd_), bytes, sizeof bytes, 0) > 0) {
    }
}

// WSAPoll refuses (WSAEINVAL) any requested event beyond the normal and
// priority data bits, so only POLLRDNORM or POLLWRNORM is asked for; errors
// and hang-ups are reported in revents regardless.
bool waitForAny(Watch* watches, std::size_t count, std::uint32_t timeoutMs) {
    WSAPOLLFD polled[kMaxWatches] = {};
    std::size_t used = 0;
    if (count > kMaxWatches) count = kMaxWatches;
    for (std::size_t i = 0; i < count; ++i) {
        watches[i].ready = false;
        if (watches[i].socket == kInvalidSocket) continue;
        WSAPOLLFD entry{};
        entry.fd = sock(watches[i].socket);
        entry.events = watches[i].interest == Interest::readable ? POLLRDNORM : POLLWRNORM;
        polled[used++] = entry;
    }
    if (used == 0) {
        // Nothing to watch: only the time can pass.
        if (timeoutMs != kNoTimeout) ::Sleep(timeoutMs);
        return false;
    }
    int timeout = timeoutMs == kNoTimeout ? -1
                  : timeoutMs > INT_MAX   ? INT_MAX
                                          : static_cast<int>(timeoutMs);
    int ready = ::WSAPoll(polled, static_cast<ULONG>(used), timeout);
    if (ready == SOCKET_ERROR) {
        // The wait itself failed (a socket closed under it, say). Report
        // every socket as ready, so that the caller tries them and sees the
        // error there; a short pause keeps a persistent failure from
        // spinning.
        ::Sleep(10);
        for (std::size_t i = 0; i < count; ++i) {
            watches[i].ready = watches[i].socket != kInvalidSocket;
        }
        return true;
    }
    if (ready == 0) return false;
    std::size_t next = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (watches[i].socket == kInvalidSocket) continue;
        watches[i].ready = polled[next++].revents != 0;
    }
    return true;
}

}  // namespace kadrel::platform
