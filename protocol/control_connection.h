// One client's control connection: greeting, command lines, login, dispatch,
// idle timeout, and the end of the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/net.h"
#include "server/rendezvous.h"

namespace kadrel {

struct ServerObj;
struct VirtualFs;

// Start record of a control connection thread, owned by that thread.
struct ConnectionArgs {
    ServerObj& server;
    platform::UniqueSocket controlSocket;
};

inline constexpr std::size_t kReceiveChunk = 512;
inline constexpr std::size_t kReceiveBufferLimit = 4096;

// Exit codes of connectionMain. None equals 259, which some systems use to
// mean "still running".
enum ExitCode : int {
    kExitOrderly = 0,          // QUIT, or stop requested
    kExitGreetingFailed = -1,  // also: a reply that could not be delivered for too long
    kExitClientClosed = -2,
    kExitIdle = -3,
    kExitNoDataPath = -4,  // local address unreadable at PASV, or no data waiter possible
};

// State of one client, private to its thread.
struct ControlConnection {
    ServerObj& server;
    platform::Socket controlSocket;
    std::string receiveBuffer{};
    std::string commandLine{};      // normalised; dispatch strips the command word
    std::string fullCommandLine{};  // the normalised line with its command word
    std::string lastCommandLine{};  // previous line whose handling ran to its end
    std::string loginName{};
    std::string password{};
    bool loggedIn = false;
    std::unique_ptr<VirtualFs> fs{};        // the client's view of its share, made at login
    bool passiveRequested = false;          // PASV answered; never cleared
    DataWaiterPtr dataClaim{};              // opened by PASV, used by the next transfer
    std::int64_t restartOffset = 0;         // set by REST
    platform::ReadOnlyFile downloadFile{};  // opened by RETR, closed at the next pass
    std::uint32_t lastActivity = 0;
    std::uint32_t handlingTime = 0;
    bool commandHandled = false;
    int exitCode = kExitOrderly;
    bool replyAbandoned = false;  // a reply could not be delivered: end the connection

    ~ControlConnection();
};

// What a handler tells the loop.
enum class Outcome {
    done,     // go on; the line becomes the previous command line
    refused,  // go on; the previous command line stays as it was
    end,      // end the connection with the connection's exitCode
};

// Thread body of a control connection; returns its exit code.
int connectionMain(std::unique_ptr<ConnectionArgs> args);

// Cuts one line off the front of the buffer: the bytes before the first LF,
// without one trailing CR. Empty when there is no LF yet (buffer unchanged).
std::string takeLine(std::string& buffer);

// Removes `prefix` from the front of `text` if it is there, byte for byte.
bool consumePrefix(std::string_view prefix, std::string& text);

// Upper-cases the ASCII letters before the first space; a line without a
// space stays exactly as received.
std::string normalizeCommandLine(std::string line);

// Reply helpers for handlers: a fixed text that carries its own CR LF, or a
// composed one that gets CR LF appended. A reply that cannot be delivered
// for too long marks the connection to end.
void reply(ControlConnection& conn, std::string_view fixedText);
void replyLine(ControlConnection& conn, std::string_view composedText);

}  // namespace kadrel
