#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"

namespace kadrel::platform {
namespace {

// One byte from standard input; false at the end of input or on an error.
bool readByte(char& byte) {
    while (true) {
        ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n == 1) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

}  // namespace

void waitForKeyPress() {
    char byte = 0;
    termios saved{};
    if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        readByte(byte);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        return;
    }
    while (readByte(byte) && byte != '\n') {
    }
}

}  // namespace kadrel::platform
