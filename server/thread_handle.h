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
        auto handle = unstarted();
        handle->start(ends, std::move(body));
        return handle;
    }

    // A handle whose thread is started later with start(), so that it can be
    // recorded before its thread runs. It counts as running until then.
    static std::unique_ptr<ThreadHandle> unstarted() {
        return std::unique_ptr<ThreadHandle>(new ThreadHandle);
    }

    // Starts the thread of an unstarted handle. When no thread can be
    // created, the handle counts as ended (and the end is recorded in
    // `ends`), and the exception is passed on.
    template <class Body>
    void start(ThreadEnds& ends, Body body) {
        try {
            thread_ =
                std::thread([ended = &ended_, ends = &ends, body = std::move(body)]() mutable {
                    body();
                    ended->store(true, std::memory_order_release);
                    // The group outlives the thread: whoever owns it joins every
                    // thread before dropping it.
                    ends->record();
                });
        } catch (...) {
            ended_.store(true, std::memory_order_release);
            started_.store(true, std::memory_order_release);
            ends.record();
            throw;
        }
        // Only now may the handle be reaped: the thread may have ended before
        // thread_ was assigned. The end is recorded again for whoever waited
        // for it meanwhile and found the handle not yet reapable.
        started_.store(true, std::memory_order_release);
        ends.record();
    }

    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    ~ThreadHandle() {
        if (thread_.joinable()) thread_.join();
    }

    bool hasEnded() const {
        return started_.load(std::memory_order_acquire) && ended_.load(std::memory_order_acquire);
    }

  private:
    ThreadHandle() = default;
    std::atomic<bool> started_{false};  // thread_ is assigned (or could not be made)
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace kadrel
