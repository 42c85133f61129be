// Millisecond ticks and sleeps.
#pragma once

#include <cstdint>

namespace kadrel::platform {

// Milliseconds since some fixed point, as an unsigned 32-bit count that wraps
// about every 49.7 days (GetTickCount on Windows, the monotonic clock
// elsewhere). Compare two ticks only through their modular difference.
std::uint32_t tickCount();

void sleepMs(std::uint32_t ms);

}  // namespace kadrel::platform
