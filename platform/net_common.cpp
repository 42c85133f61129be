// The parts of the socket layer that are the same on every system.
#include <algorithm>

#include "platform/files.h"
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

IoResult sendFileByCopy(Socket s, ReadOnlyFile& file, std::int64_t offset, std::size_t count) {
    PageBuffer& buffer = file.copyBuffer_;
    if (buffer.empty()) {
        buffer = PageBuffer(kFileCopyBytes);
        if (buffer.empty()) return {IoStatus::readFailed, 0};
    }
    auto amount = static_cast<std::uint32_t>(std::min(count, buffer.size()));
    std::uint32_t got = 0;
    if (!file.readAt(offset, buffer.data(), amount, got) || got == 0) {
        return {IoStatus::readFailed, 0};
    }
    return sendSome(s, buffer.data(), got);
}

}  // namespace kadrel::platform
