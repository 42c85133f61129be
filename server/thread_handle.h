// Handles of server threads: each can be asked whether its thread has ended,
// then joined and dropped, which is all that reaping needs.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

namespace kadrel {

class ThreadHandle {
  public:
    // Starts `body` on a new thread. Throws std::system_error when no thread
    // can be created; `body` (and all it owns) is then destroyed.
    template <class Body>
    static std::unique_ptr<ThreadHandle> launch(Body body) {
        auto handle = std::unique_ptr<ThreadHandle>(new ThreadHandle);
        handle->thread_ = std::thread([ended = &handle->ended_, body = std::move(body)]() mutable {
            body();
            // Last touch of the handle: after this the thread only returns.
            ended->store(true, std::memory_order_release);
        });
        return handle;
    }

    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    ~ThreadHandle() {
        if (thread_.joinable()) thread_.join();
    }

    bool hasEnded() const { return ended_.load(std::memory_order_acquire); }

  private:
    ThreadHandle() = default;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace kadrel
