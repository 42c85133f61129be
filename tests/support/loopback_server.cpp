#include "tests/support/loopback_server.h"

#include <mutex>
#include <random>

#include "platform/clock.h"

namespace kadrel::test {

LoopbackServer::LoopbackServer(Timing timing) : server_(newServerObj()) {
    server_->timing = timing;
}

LoopbackServer::~LoopbackServer() {
    removeServerObj(server_);
}

bool LoopbackServer::start() {
    // Ports below the usual ephemeral range, picked at random so that test
    // processes running side by side rarely meet; a taken port is retried.
    static std::mt19937 pick{std::random_device{}()};
    std::uniform_int_distribution<int> port(15000, 30000);
    for (int attempt = 0; attempt < 100; ++attempt) {
        int control = port(pick);
        if (setPorts(server_, control, control + 1) && kadrel::start(server_)) return true;
    }
    return false;
}

bool LoopbackServer::stop() {
    return kadrel::stop(server_);
}

void LoopbackServer::addUser(const char* login, const char* password, const char* share,
                             bool writable) {
    kadrel::addUser(server_, login, password, share, writable);
}

std::size_t LoopbackServer::threadCount() {
    std::lock_guard guard(server_->lock);
    return server_->threads.size();
}

std::size_t LoopbackServer::awaitThreadCount(std::size_t expected) {
    std::size_t count = threadCount();
    for (int i = 0; i < 500 && count != expected; ++i) {
        platform::sleepMs(10);
        count = threadCount();
    }
    return count;
}

bool LoopbackServer::awaitEndedThreads(std::size_t ended) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard guard(server_->lock);
            std::size_t count = 0;
            for (const auto& thread : server_->threads) count += thread->hasEnded() ? 1 : 0;
            if (count >= ended) return true;
        }
        platform::sleepMs(10);
    }
    return false;
}

}  // namespace kadrel::test
