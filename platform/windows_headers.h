// The Windows headers, included one way everywhere and in the order they
// need: without the rarely used parts, without the min/max macros that break
// std::min and std::max, and winsock2.h before windows.h (which would
// otherwise pull in the old winsock.h).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <shellapi.h>
#include <shlwapi.h>
// clang-format on
