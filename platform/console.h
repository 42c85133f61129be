// The console of the sample host.
#pragma once

namespace kadrel::platform {

// Waits for one key press without echoing anything: the command processor's
// "pause" with its output discarded on Windows. Elsewhere: one key in raw
// mode when standard input is a terminal (the mode is restored afterwards),
// otherwise one line; the end of input ends the wait too.
void waitForKeyPress();

}  // namespace kadrel::platform
