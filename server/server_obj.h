// Server objects, the registry of live ones, and the operations behind the
// exported functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/net.h"
#include "platform/wait.h"
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
    std::uint32_t idleTimeoutMs = 60000;   // control connection without a command line
    std::uint32_t sendStallMs = 60000;     // a send that makes no progress this long gives up
    std::uint32_t waiterExpiryMs = 60000;  // data waiter not served since it became first
    // A PASV (or a transfer without one) of an address whose earlier claim
    // still waits for its data connection is held back at most this long.
    // Clients connect right after the PASV reply, within a round trip, so
    // only a claim whose client never connects holds another one back; the
    // bound still covers a lost SYN retransmitted once or twice (1 s and 3 s
    // on common systems) before pairing falls back to arrival order.
    std::uint32_t claimHoldMs = 5000;
    // After its last reply a control connection discards what the client
    // still sends, for at most this long, before it closes: closing with
    // unread input would reset the connection and could destroy replies
    // the client has not read yet.
    std::uint32_t closeLingerMs = 1000;
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
    // Serialises taking connections off the data port, which the listener
    // does and a control connection ending an unserved claim does too.
    // Taken before `lock`, never while holding it.
    std::mutex acceptLock;
    // The data listening socket while the listener runs; guarded by acceptLock.
    platform::Socket dataListener = platform::kInvalidSocket;
    // Held while running and until stop has seen every thread end, not just
    // the listener: on Windows the last WSACleanup of a process closes every
    // socket in it, connections still being served included.
    platform::SocketLibrary socketLibrary;
    // Open from a successful start until stop has seen every thread end.
    // stopWake is signalled by stop and ends every socket wait of the
    // server's threads; listenerWake tells the listener that a thread now
    // waits for a data connection to arrive.
    platform::WakeUp stopWake;
    platform::WakeUp listenerWake;
    ThreadEnds threadEnds;  // every server thread records its end here
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

// Milliseconds from `now` until `limitMs` will have elapsed since `since`
// (strictly more, as hasElapsed counts), or 0 when they have.
constexpr std::uint32_t timeLeft(std::uint32_t now, std::uint32_t since, std::uint32_t limitMs) {
    std::uint32_t passed = now - since;
    return passed > limitMs ? 0 : limitMs - passed + 1;
}

enum class Woken {
    ready,     // the socket is ready (or in an error state)
    stopping,  // stop was requested
    timedOut,
};

// Blocks until the socket is ready for `interest`, stop is requested, or
// timeoutMs pass. An invalid socket is not watched: the wait then ends only
// at stop or at the timeout.
Woken waitForSocket(ServerObj& server, platform::Socket s, platform::Interest interest,
                    std::uint32_t timeoutMs);

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
