// Server objects, the registry of live ones, and the operations behind the
// exported functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/net.h"
#include "server/accounts.h"
#include "server/thread_handle.h"

namespace kadrel {

struct DataWaiter;

inline constexpr std::uint16_t kDefaultControlPort = 21;
inline constexpr std::uint16_t kDefaultDataPort = 20;

// Every duration a server applies, and the one socket size tests shrink. The
// defaults are the designed behaviour; tests change them through this
// header, the exported API never does.
struct Timing {
    std::uint32_t idleTimeoutMs = 60000;    // control connection without a command line
    std::uint32_t sendStallMs = 60000;      // a send that makes no progress this long gives up
    std::uint32_t waiterExpiryMs = 60000;   // data waiter not served since it became first
    std::uint32_t queueStepMs = 1000;       // queued data waiter looks again after this
    std::uint32_t unclaimedDataMs = 60000;  // early data connection waits this long for its waiter
    // Added to every tick a server reads. Lets tests run a server across the
    // point where the 32-bit tick counter wraps.
    std::uint32_t tickOffset = 0;
    // Send buffer of data connections in bytes; 0 leaves the system's own
    // (self-tuning) size. Tests shrink it so that a transfer whose client
    // stops reading stalls after a few kilobytes.
    std::uint32_t dataSendBufferBytes = 0;
};

struct ServerObj {
    // Guards every field below except stopRequested (atomic) and next (guarded
    // by the registry lock). Re-entrant: start records the listener's thread
    // handle while it holds the lock.
    std::recursive_mutex lock;
    std::deque<std::unique_ptr<UserAccount>> accounts;
    std::uint16_t controlPort = kDefaultControlPort;
    std::uint16_t dataPort = kDefaultDataPort;
    bool running = false;
    std::atomic<bool> stopRequested{false};
    std::deque<std::unique_ptr<ThreadHandle>> threads;
    std::deque<DataWaiter*> dataWaiters;
    // Held while running and until stop has seen every thread end, not just
    // the listener: on Windows the last WSACleanup of a process closes every
    // socket in it, connections still being served included.
    platform::SocketLibrary socketLibrary;
    ServerObj* next = nullptr;
    Timing timing;

    // The server's tick count: the platform's, shifted by timing.tickOffset.
    std::uint32_t now() const;
};

// True once `limitMs` have passed between `since` and `now`, strictly more.
// Uses the modular difference, so it holds across the wrap of the counter.
constexpr bool hasElapsed(std::uint32_t now, std::uint32_t since, std::uint32_t limitMs) {
    return static_cast<std::uint32_t>(now - since) > limitMs;
}

// Registry and exported operations. Each takes a handle that may be stale or
// foreign; only newServerObj can fail with a null result.
ServerObj* newServerObj();
bool isValidServerObj(const void* handle);
bool removeServerObj(void* handle);
bool addUser(void* handle, const char* login, const char* password, const char* share,
             bool writable);
bool setPorts(void* handle, std::int32_t controlPort, std::int32_t dataPort);
bool start(void* handle);
bool stop(void* handle);

// The one way a server thread learns that stop was called.
bool isStopRequested(const ServerObj& server);

}  // namespace kadrel
