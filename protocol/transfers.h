// Passive mode and the data transfers: PASV announces where to connect, REST
// sets a restart offset, LIST sends the listing and RETR a file, each over a
// data connection that the client opens to the server's one data port.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/control_connection.h"

namespace kadrel {

// The most one step of a download hands to the platform: small enough that
// a stop request is seen soon, large enough that steps cost little.
inline constexpr std::int64_t kFileSendBytes = 4 * 1024 * 1024;

Outcome enterPassiveMode(ControlConnection& conn);       // PASV
Outcome setRestartOffset(ControlConnection& conn);       // REST [offset]
Outcome listDirectoryOverData(ControlConnection& conn);  // LIST
Outcome retrieveFile(ControlConnection& conn);           // RETR <name>

// The REST argument as a signed 64-bit decimal: leading white space, an
// optional sign, digits up to the first other character; no digits give 0,
// overflow the nearest limit, and a negative result 0.
std::int64_t parseRestartOffset(const std::string& argument);

}  // namespace kadrel
