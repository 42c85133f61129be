// Waiting: sockets and wake-up objects watched together, with a deadline.
//
// A server thread never polls. It blocks here until one of the things it
// watches is ready or its own deadline passes; a wake-up object is what
// another thread uses to end such a wait (stop, or the listener being told
// that a data connection is expected).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace kadrel::platform {

// A timeout that never passes.
inline constexpr std::uint32_t kNoTimeout = UINT32_MAX;

// Once signalled, a wake-up object stays ready, ending every wait that
// watches it, until it is cleared. A pipe on POSIX; on Windows a UDP socket
// on 127.0.0.1 that sends to itself, so that WSAPoll can watch it beside the
// connections.
class WakeUp {
  public:
    WakeUp() = default;
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;
    ~WakeUp() { close(); }

    // False when the system refuses the pipe or socket. On Windows the
    // socket library must be held.
    bool open();
    void close();
    bool isOpen() const { return readEnd_ != kInvalidSocket; }

    void signal();
    void clear();

    // What a wait watches, for readability.
    Socket handle() const { return readEnd_; }

  private:
    Socket readEnd_ = kInvalidSocket;
    Socket writeEnd_ = kInvalidSocket;  // the same socket on Windows
};

enum class Interest {
    readable,  // data, end of stream, a pending connection, or an error
    writable,  // room to send, or an error
};

struct Watch {
    Socket socket = kInvalidSocket;  // an invalid one is not watched
    Interest interest = Interest::readable;
    bool ready = false;  // set by waitForAny
};

// The most sockets one wait watches.
inline constexpr std::size_t kMaxWatches = 8;

// Blocks until at least one watched socket is ready or timeoutMs have
// passed (never, for kNoTimeout), and marks the ready ones. A socket in an
// error state counts as ready, so a caller must act on it (try it, or stop
// watching it) before it waits again. False when nothing is ready. At most
// kMaxWatches entries.
bool waitForAny(Watch* watches, std::size_t count, std::uint32_t timeoutMs);

}  // namespace kadrel::platform
