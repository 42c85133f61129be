#include "protocol/commands.h"

#include "protocol/replies.h"
#include "vfs/virtual_fs.h"

namespace kadrel {
namespace {

// TYPE, STRU and MODE accept one parameter each and store nothing: transfers
// always send a file's bytes unchanged.
Outcome acknowledgeParameter(ControlConnection& conn, std::string_view accepted,
                             const char* acceptedReply) {
    reply(conn, conn.commandLine == accepted ? acceptedReply : replies::kParameterNotImplemented);
    return Outcome::done;
}

Outcome replyToDirectoryChange(ControlConnection& conn, bool changed) {
    reply(conn, changed ? replies::kDirectoryChanged : replies::kDirectoryNotChanged);
    return Outcome::done;
}

}  // namespace

// PWD: 257 "<virtual directory>" is current directory.
Outcome printWorkingDirectory(ControlConnection& conn) {
    std::string directory;
    currentDirectory(*conn.fs, directory);
    replyLine(conn, "257 \"" + directory + "\" is current directory.");
    return Outcome::done;
}

// CWD: an empty argument changes nothing and is refused.
Outcome changeWorkingDirectory(ControlConnection& conn) {
    return replyToDirectoryChange(
        conn, !conn.commandLine.empty() && changeDirectory(*conn.fs, conn.commandLine));
}

// CDUP: up one level; refused at the root.
Outcome changeToParentDirectory(ControlConnection& conn) {
    return replyToDirectoryChange(conn, changeDirectory(*conn.fs, "../"));
}

// TYPE: image (I) and ASCII (A) are both acknowledged; files go out as bytes.
Outcome setRepresentationType(ControlConnection& conn) {
    if (conn.commandLine == "A") {
        reply(conn, replies::kTypeA);
        return Outcome::done;
    }
    return acknowledgeParameter(conn, "I", replies::kTypeI);
}

// STRU: file structure only.
Outcome setFileStructure(ControlConnection& conn) {
    return acknowledgeParameter(conn, "F", replies::kStructureF);
}

// MODE: stream mode only.
Outcome setTransferMode(ControlConnection& conn) {
    return acknowledgeParameter(conn, "S", replies::kModeS);
}

// SYST: clients read this to choose how to parse LIST output.
Outcome reportSystem(ControlConnection& conn) {
    reply(conn, replies::kSystem);
    return Outcome::done;
}

Outcome noOperation(ControlConnection& conn) {
    reply(conn, replies::kNoop);
    return Outcome::done;
}

// QUIT: goodbye, then the connection ends in order.
Outcome quit(ControlConnection& conn) {
    reply(conn, replies::kGoodbye);
    conn.exitCode = kExitOrderly;
    return Outcome::end;
}

Outcome notImplemented(ControlConnection& conn) {
    reply(conn, replies::kNotImplemented);
    return Outcome::done;
}

}  // namespace kadrel
