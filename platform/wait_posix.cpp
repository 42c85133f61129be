// Waiting on POSIX systems: poll, and a pipe as the wake-up object.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/wait.h"

namespace kadrel::platform {
namespace {

int fd(Socket s) {
    return static_cast<int>(s);
}

bool makePipe(int ends[2]) {
#if defined(__linux__)
    return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
#else
    if (::pipe(ends) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
        ::fcntl(ends[i], F_SETFL, ::fcntl(ends[i], F_GETFL) | O_NONBLOCK);
    }
    return true;
#endif
}

}  // namespace

bool WakeUp::open() {
    if (isOpen()) return true;
    int ends[2];
    if (!makePipe(ends)) return false;
    readEnd_ = static_cast<Socket>(ends[0]);
    writeEnd_ = static_cast<Socket>(ends[1]);
    return true;
}

void WakeUp::close() {
    if (!isOpen()) return;
    ::close(fd(readEnd_));
    ::close(fd(writeEnd_));
    readEnd_ = writeEnd_ = kInvalidSocket;
}

void WakeUp::signal() {
    // One byte is enough; a full pipe is already signalled.
    char byte = 1;
    while (::write(fd(writeEnd_), &byte, 1) < 0 && errno == EINTR) {
    }
}

void WakeUp::clear() {
    char bytes[64];
    while (true) {
        ssize_t n = ::read(fd(readEnd_), bytes, sizeof bytes);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

bool waitForAny(Watch* watches, std::size_t count, std::uint32_t timeoutMs) {
    pollfd polled[kMaxWatches] = {};
    std::size_t used = 0;
    if (count > kMaxWatches) count = kMaxWatches;
    for (std::size_t i = 0; i < count; ++i) {
        watches[i].ready = false;
        if (watches[i].socket == kInvalidSocket) continue;
        short events = watches[i].interest == Interest::readable ? POLLIN : POLLOUT;
        polled[used++] = {fd(watches[i].socket), events, 0};
    }
    std::uint32_t start = tickCount();
    while (true) {
        int timeout = -1;
        if (timeoutMs != kNoTimeout) {
            std::uint32_t passed = tickCount() - start;
            std::uint32_t left = passed >= timeoutMs ? 0 : timeoutMs - passed;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        int ready = ::poll(polled, used, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        break;
    }
    std::size_t next = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (watches[i].socket == kInvalidSocket) continue;
        watches[i].ready = polled[next++].revents != 0;
    }
    return true;
}

}  // namespace kadrel::platform
