// Which names the local file system reads as exactly one entry of the
// directory they are appended to.
#pragma once

#include <string_view>

namespace kadrel::platform {

// True when `name`, appended to a directory path, names one entry of that
// directory and nothing else: not a parent, not another root or drive, not a
// device, not several levels. The empty name (the directory itself) and "."
// are plain. Clients choose these names, so everything doubtful is refused.
// This system's rule: one of the two below.
bool isPlainName(std::string_view name);

// The rules themselves, both available everywhere so both can be tested.
bool isPlainPosixName(std::string_view name);
bool isPlainWindowsName(std::string_view name);

}  // namespace kadrel::platform
