// The parts of the socket holders that are the same on every system.
#include "platform/net.h"

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

}  // namespace kadrel::platform
