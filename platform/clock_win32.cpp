// Ticks and sleeps on Windows.
#include "platform/clock.h"
#include "platform/windows_headers.h"

namespace kadrel::platform {

// GetTickCount is the 32-bit millisecond counter that wraps after 49.7 days;
// it advances in steps of the system timer (often 10 to 16 ms).
std::uint32_t tickCount() {
    return static_cast<std::uint32_t>(::GetTickCount());
}

// Sleep may round up to the next timer step; callers that wait for a socket
// use the socket waits instead.
void sleepMs(std::uint32_t ms) {
    ::Sleep(static_cast<DWORD>(ms));
}

}  // namespace kadrel::platform
