// Handles of server threads: each can be asked whether its thread has ended,
// then joined and dropped, which is all that reaping needs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace kadrel {

// Counts the ends of a group of threads, so that someone can wait for the
// next one instead of looking again and again.
class ThreadEnds {
  public:
    std::uint64_t count() {
        std::lock_guard guard(mutex_);
        return count_;
    }
    // Blocks until the count differs from `seen`.
    void waitPast(std::uint64_t seen) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return count_ != seen; });
    }
    void record() {
        {
            std::lock_guard guard(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t count_ = 0;
};

class ThreadHandle {
  public:
    // Starts `body` on a new thread, which records its end in `ends`. Throws
    // std::system_error when no thread can be created; `body` (and all it
    // owns) is then destroyed.
    template <class Body>
    static std::unique_ptr<ThreadHandle> launch(ThreadEnds& ends, Body body) {
        auto handle = std::unique_ptr<ThreadHandle>(new ThreadHandle);
        handle->thread_ =
            std::thread([ended = &handle->ended_, ends = &ends, body = std::move(body)]() mutable {
                body();
                ended->store(true, std::memory_order_release);
                // The group outlives the thread: whoever owns it joins every
                // thread before dropping it.
                ends->record();
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
