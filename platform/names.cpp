#include "platform/names.h"

#include <array>

namespace kadrel::platform {
namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

// CON, NUL, COM1 and the like, alone or with any extension ("nul.txt"), with
// or without spaces before the dot: Windows maps them to devices in every
// directory.
bool isWindowsDeviceName(std::string_view name) {
    static constexpr std::array<std::string_view, 24> kDevices = {
        "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3",   "COM4",
        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",   "LPT3",
        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (std::string_view device : kDevices) {
        if (equalsIgnoringCase(base, device)) return true;
    }
    return false;
}

}  // namespace

// On POSIX "/" is the only separator and ".." the only name that leads out of
// a directory. A NUL would silently cut the path short where the system
// reads it.
bool isPlainPosixName(std::string_view name) {
    return name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

// On Windows, besides "\" and "/", a colon starts a drive or a stream,
// trailing dots and spaces are dropped (so ".." and ". ." climb), wildcards
// would match other names, and reserved device names open devices.
bool isPlainWindowsName(std::string_view name) {
    if (name.empty() || name == ".") return true;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 32) return false;
        if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) return false;
    }
    if (name.back() == '.' || name.back() == ' ') return false;
    return !isWindowsDeviceName(name);
}

bool isPlainName(std::string_view name) {
#ifdef _WIN32
    return isPlainWindowsName(name);
#else
    return isPlainPosixName(name);
#endif
}

}  // namespace kadrel::platform
