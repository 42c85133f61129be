// The parts of the socket holders that are the same on every system.
#include "platform/net.h"
#include "platform/wait.h"

namespace kadrel::platform {

SocketLibrary& SocketLibrary::operator=(SocketLibrary&& other) noexcept {
    if (this != &other) {
        release();
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

UniqueSocket& UniqueSocket::operator=(UniqueSocket&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void UniqueSocket::reset(Socket s) {
    Socket old = std::exchange(socket_, s);
    if (old != kInvalidSocket) closeSocket(old);
}

bool waitReadable(Socket s, std::uint32_t timeoutMs) {
    Watch watch{s, Interest::readable};
    return waitForAny(&watch, 1, timeoutMs);
}

bool waitWritable(Socket s, std::uint32_t timeoutMs) {
    Watch watch{s, Interest::writable};
    return waitForAny(&watch, 1, timeoutMs);
}

}  // namespace kadrel::platform
