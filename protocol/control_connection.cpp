#include "protocol/control_connection.h"

#include <new>

#include "platform/clock.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "protocol/send.h"
#include "protocol/transfers.h"
#include "server/accounts.h"
#include "server/server_obj.h"
#include "vfs/virtual_fs.h"

namespace kadrel {
namespace {

enum class Received {
    some,    // zero or more bytes; nothing more for now
    failed,  // an error other than would-block: treated as no data
    closed,  // the client ended the connection
};

// Drains the socket in chunks until it would block or the buffer is full.
// The buffer can thus end up to one chunk minus one byte over the limit.
Received receive(ControlConnection& conn) {
    char chunk[kReceiveChunk];
    while (conn.receiveBuffer.size() < kReceiveBufferLimit) {
        platform::IoResult r = platform::receiveSome(conn.controlSocket, chunk, sizeof chunk);
        switch (r.status) {
            case platform::IoStatus::ok:
                conn.receiveBuffer.append(chunk, r.count);
                break;
            case platform::IoStatus::closed:
                return Received::closed;
            case platform::IoStatus::failed:
            case platform::IoStatus::readFailed:  // file sends only
                return Received::failed;
            case platform::IoStatus::wouldBlock:
                return Received::some;
        }
    }
    return Received::some;
}

Outcome logIn(ControlConnection& conn) {
    if (!checkCredentials(conn.server, conn.loginName, conn.password)) {
        reply(conn, replies::kLoginIncorrect);
        return Outcome::done;
    }
    std::string shareDirectory;
    bool writable = false;
    lookupAccount(conn.server, conn.loginName, conn.password, shareDirectory, writable);
    // Never leave a client logged in without a view of its share.
    try {
        conn.fs = newVirtualFs(shareDirectory, writable);
    } catch (const std::bad_alloc&) {
        return Outcome::end;
    }
    conn.loggedIn = true;
    reply(conn, replies::kLoggedIn);
    return Outcome::done;
}

Outcome dispatchBeforeLogin(ControlConnection& conn) {
    std::string& line = conn.commandLine;
    if (consumePrefix("USER ", line)) {
        conn.loginName = line;
        reply(conn, replies::kPasswordRequired);
        return Outcome::done;
    }
    // "PASS" alone tries an empty password.
    if (consumePrefix("PASS ", line) || consumePrefix("PASS", line)) {
        conn.password = line;
        return logIn(conn);
    }
    if (line == "QUIT") return quit(conn);
    reply(conn, replies::kNotLoggedIn);
    return Outcome::done;
}

// The first matching row wins; a row that strips a prefix leaves the
// argument in commandLine, one that does not match leaves the line as it was.
Outcome dispatchAfterLogin(ControlConnection& conn) {
    std::string& line = conn.commandLine;
    if (line == "PWD" || line == "XPWD") return printWorkingDirectory(conn);
    if (consumePrefix("CWD ", line)) return changeWorkingDirectory(conn);
    if (line == "CDUP") return changeToParentDirectory(conn);
    if (line == "LIST") return listDirectoryOverData(conn);
    if (consumePrefix("RETR ", line)) return retrieveFile(conn);
    if (consumePrefix("REST ", line) || (line == "REST" && consumePrefix("REST", line))) {
        return setRestartOffset(conn);
    }
    if (consumePrefix("TYPE ", line)) return setRepresentationType(conn);
    if (consumePrefix("STRU ", line)) return setFileStructure(conn);
    if (consumePrefix("MODE ", line)) return setTransferMode(conn);
    if (line == "PASV") return enterPassiveMode(conn);
    if (line == "SYST") return reportSystem(conn);
    if (line == "NOOP") return noOperation(conn);
    if (line == "QUIT") return quit(conn);
    return notImplemented(conn);
}

// A pass that took no line: the overlong-line check, then the idle timer.
Outcome emptyPass(ControlConnection& conn, Received received) {
    if (conn.receiveBuffer.size() >= kReceiveBufferLimit) {
        reply(conn, replies::kLineTooLong);
        conn.receiveBuffer.clear();
        return Outcome::refused;
    }
    if (conn.handlingTime > 0) {
        conn.lastActivity += conn.handlingTime;
        conn.handlingTime = 0;
    }
    if (hasElapsed(conn.server.now(), conn.lastActivity, conn.server.timing.idleTimeoutMs)) {
        conn.exitCode = kExitIdle;
        return Outcome::end;
    }
    // More lines are buffered (after a bare CR LF): no need to wait.
    if (conn.receiveBuffer.find('\n') != std::string::npos) return Outcome::refused;
    // Until the client sends more, the idle time runs out, or stop. A socket
    // in an error state is always "ready", so after a failed receive only the
    // idle time (or stop) ends the wait.
    platform::Socket watched =
        received == Received::failed ? platform::kInvalidSocket : conn.controlSocket;
    waitForSocket(conn.server, watched, platform::Interest::readable,
                  timeLeft(conn.server.now(), conn.lastActivity, conn.server.timing.idleTimeoutMs));
    return Outcome::refused;
}

// One pass of the loop: at most one command line handled.
Outcome loopPass(ControlConnection& conn) {
    if (conn.commandHandled) {
        conn.handlingTime = conn.server.now() - conn.lastActivity;
        conn.commandHandled = false;
    }
    conn.downloadFile.close();
    Received received = receive(conn);
    if (received == Received::closed) {
        conn.exitCode = kExitClientClosed;
        return Outcome::end;
    }
    std::string line = takeLine(conn.receiveBuffer);
    if (line.empty()) return emptyPass(conn, received);

    conn.lastActivity = conn.server.now();
    conn.commandLine = normalizeCommandLine(std::move(line));
    conn.fullCommandLine = conn.commandLine;
    conn.commandHandled = true;
    Outcome outcome = conn.loggedIn ? dispatchAfterLogin(conn) : dispatchBeforeLogin(conn);
    if (conn.replyAbandoned) {
        conn.exitCode = isStopRequested(conn.server) ? kExitOrderly : kExitGreetingFailed;
        return Outcome::end;
    }
    if (outcome == Outcome::done) conn.lastCommandLine = conn.fullCommandLine;
    return outcome;
}

int serve(ControlConnection& conn) {
    platform::setNonBlocking(conn.controlSocket);
    platform::setNoDelay(conn.controlSocket);
    conn.lastActivity = conn.server.now();
    if (sendText(conn.server, conn.controlSocket, replies::kGreeting) != SendResult::sent) {
        return kExitGreetingFailed;
    }
    while (loopPass(conn) != Outcome::end) {
        if (isStopRequested(conn.server)) return kExitOrderly;
    }
    return conn.exitCode;
}

// The end of a control connection, after its last reply: the sending side
// is shut down, so the client reads the end of the stream after every
// reply, and what the client still sends is read and dropped until it
// closes, for a short time at most (cut short by stop). Closing with unread
// input would reset the connection, and a reset can destroy replies that
// the client has not read yet (a 221 after pipelined commands, say).
void closeGracefully(ServerObj& server, platform::Socket s) {
    platform::shutdownSend(s);
    const std::uint32_t start = server.now();
    char discarded[kReceiveChunk];
    while (true) {
        platform::IoResult r = platform::receiveSome(s, discarded, sizeof discarded);
        if (r.status == platform::IoStatus::ok) continue;
        if (r.status != platform::IoStatus::wouldBlock) return;  // closed, or reset
        std::uint32_t left = timeLeft(server.now(), start, server.timing.closeLingerMs);
        if (left == 0) return;
        if (waitForSocket(server, s, platform::Interest::readable, left) == Woken::stopping) {
            // Drop what has arrived so far, then close at once.
            while (platform::receiveSome(s, discarded, sizeof discarded).status ==
                   platform::IoStatus::ok) {
            }
            return;
        }
    }
}

}  // namespace

ControlConnection::~ControlConnection() = default;

int connectionMain(std::unique_ptr<ConnectionArgs> args) {
    // Nothing may escape a server thread: it would terminate the host. A
    // failure while serving this client ends this connection only.
    int exitCode = kExitGreetingFailed;
    try {
        ControlConnection conn{.server = args->server, .controlSocket = args->controlSocket.get()};
        exitCode = serve(conn);
    } catch (...) {
    }
    // After everything the connection owned (its claim, its file) is gone.
    closeGracefully(args->server, args->controlSocket.get());
    return exitCode;
    // args (with the control socket) is dropped here.
}

std::string takeLine(std::string& buffer) {
    std::size_t lf = buffer.find('\n');
    if (lf == std::string::npos) return {};
    std::string line = buffer.substr(0, lf);
    buffer.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool consumePrefix(std::string_view prefix, std::string& text) {
    if (!text.starts_with(prefix)) return false;
    text.erase(0, prefix.size());
    return true;
}

std::string normalizeCommandLine(std::string line) {
    std::size_t space = line.find(' ');
    if (space == std::string::npos) return line;
    for (std::size_t i = 0; i < space; ++i) {
        if (line[i] >= 'a' && line[i] <= 'z') line[i] = static_cast<char>(line[i] - 'a' + 'A');
    }
    return line;
}

void reply(ControlConnection& conn, std::string_view fixedText) {
    if (sendText(conn.server, conn.controlSocket, fixedText) == SendResult::abandoned) {
        conn.replyAbandoned = true;
    }
}

void replyLine(ControlConnection& conn, std::string_view composedText) {
    if (sendLine(conn.server, conn.controlSocket, composedText) == SendResult::abandoned) {
        conn.replyAbandoned = true;
    }
}

}  // namespace kadrel
