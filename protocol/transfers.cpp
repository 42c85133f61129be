#include "protocol/transfers.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/memory.h"
#include "protocol/replies.h"
#include "protocol/send.h"
#include "server/rendezvous.h"
#include "server/server_obj.h"
#include "vfs/file_queries.h"
#include "vfs/listing.h"
#include "vfs/virtual_fs.h"

namespace kadrel {
namespace {

// Listing lines go out in batches of about this size.
constexpr std::size_t kListingBatchBytes = 64 * 1024;
// Data connections keep at most about this much unsent data queued in the
// system. With no limit a download's sends queue megabytes at once, and the
// system then transmits them from whichever thread processes the client's
// acknowledgements: on loopback, the client's own. Measured on loopback,
// downloads ran about half as fast again with this limit (one download
// and fifty at once); 16 to 64 KiB did about equally well, and 64 KiB gives
// a fast network the most time between the server's refills.
constexpr std::uint32_t kUnsentBacklogBytes = 64 * 1024;
// After a listing of at least this many lines (about a megabyte), the memory
// it used goes back to the system.
constexpr std::size_t kLargeListingLines = 10000;

// Opens a claim on the client's next data connection; false when the
// connection must end (`outcome` says how).
bool openClaim(ControlConnection& conn, Outcome& outcome) {
    switch (openDataClaim(conn.server, conn.controlSocket, conn.dataClaim)) {
        case ClaimResult::opened:
            return true;
        case ClaimResult::noAddress:
            conn.exitCode = kExitNoDataPath;
            break;
        case ClaimResult::stopping:
            conn.exitCode = kExitOrderly;
            break;
    }
    conn.dataClaim.reset();
    outcome = Outcome::end;
    return false;
}

// Takes the connection's claim for this transfer (opening one when there is
// none, or when the client closed the connection it had sent), announces the
// transfer and waits for the data connection. On success `waiter` holds it;
// otherwise the returned outcome ends the command (425 after expiry, or the
// end of the connection).
enum class DataPath { connected, failed };

DataPath openDataPath(ControlConnection& conn, const std::string& preliminary,
                      DataWaiterPtr& waiter, Outcome& outcome) {
    if (conn.dataClaim && claimLostItsConnection(conn.server, *conn.dataClaim)) {
        conn.dataClaim.reset();
    }
    if (!conn.dataClaim && !openClaim(conn, outcome)) return DataPath::failed;
    waiter = std::move(conn.dataClaim);
    reply(conn, preliminary);
    int result = conn.replyAbandoned ? kServerStopping : waitForDataSocket(conn.server, *waiter);
    if (result == kDataConnected) {
        platform::setNonBlocking(waiter->dataSocket.get());
        platform::limitUnsentBytes(waiter->dataSocket.get(), kUnsentBacklogBytes);
        if (conn.server.timing.dataSendBufferBytes > 0) {
            platform::setSendBufferSize(waiter->dataSocket.get(),
                                        conn.server.timing.dataSendBufferBytes);
        }
        return DataPath::connected;
    }
    waiter.reset();
    if (result == kWaiterExpired) {
        reply(conn, replies::kNoDataConnection);
        outcome = Outcome::done;
    } else {
        conn.exitCode = kExitOrderly;
        outcome = Outcome::end;
    }
    return DataPath::failed;
}

enum class ListingSent { all, stopped, failed };

// Sends the listing lines over the data connection, gathered into batches.
ListingSent sendListing(ControlConnection& conn, platform::Socket data,
                        const std::vector<std::string>& lines) {
    std::string batch;
    for (std::size_t i = 0; i <= lines.size(); ++i) {
        if (isStopRequested(conn.server)) return ListingSent::stopped;
        bool last = i == lines.size();
        if (!last) batch += lines[i];
        if (batch.size() >= kListingBatchBytes || (last && !batch.empty())) {
            if (sendText(conn.server, data, batch) != SendResult::sent) {
                return isStopRequested(conn.server) ? ListingSent::stopped : ListingSent::failed;
            }
            batch.clear();
        }
    }
    return ListingSent::all;
}

// Streams the open download file from the restart offset to the size it had
// when the transfer began. The platform moves the bytes from the file to the
// socket (on Linux with no buffer of ours at all, elsewhere through one of
// 192 KiB), so a download holds little memory however slow its client.
// Returns the final reply.
const char* streamFile(ControlConnection& conn, platform::Socket data) {
    platform::ReadOnlyFile& file = conn.downloadFile;
    const std::int64_t size = file.size();
    std::int64_t position = conn.restartOffset;
    std::uint32_t lastProgress = conn.server.now();
    while (true) {
        if (isStopRequested(conn.server)) return replies::kFileSent;
        if (position >= size) return replies::kFileSent;

        auto amount =
            static_cast<std::size_t>(std::min<std::int64_t>(kFileSendBytes, size - position));
        platform::IoResult r = platform::sendFileSome(data, file, position, amount);
        // Nothing at the position (the file shrank, and the client would get
        // fewer bytes than announced) or a read error.
        if (r.status == platform::IoStatus::readFailed) return replies::kReadFailed;
        if (r.status == platform::IoStatus::failed) return replies::kWriteFailed;
        position += static_cast<std::int64_t>(r.count);

        if (r.count > 0) {
            lastProgress = conn.server.now();
            continue;
        }
        std::uint32_t left =
            timeLeft(conn.server.now(), lastProgress, conn.server.timing.sendStallMs);
        if (left == 0) return replies::kWriteFailed;  // the client stopped reading
        waitForSocket(conn.server, data, platform::Interest::writable, left);
    }
}

}  // namespace

std::int64_t parseRestartOffset(const std::string& argument) {
    std::size_t i = 0;
    while (i < argument.size() && std::isspace(static_cast<unsigned char>(argument[i]))) ++i;
    bool negative = false;
    if (i < argument.size() && (argument[i] == '+' || argument[i] == '-')) {
        negative = argument[i] == '-';
        ++i;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; i < argument.size() && argument[i] >= '0' && argument[i] <= '9'; ++i) {
        int digit = argument[i] - '0';
        if (value > (kMax - digit) / 10) return negative ? 0 : kMax;
        value = value * 10 + digit;
    }
    return negative ? 0 : value;
}

// PASV: "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" with the address the
// client reached us on and the server's one data port. The reply goes out
// once this connection's claim on the next data connection from its address
// is open, since the client connects as soon as it reads it.
Outcome enterPassiveMode(ControlConnection& conn) {
    std::string address;
    if (!platform::localAddressText(conn.controlSocket, address)) {
        conn.exitCode = kExitNoDataPath;
        return Outcome::end;
    }
    conn.dataClaim.reset();  // a claim from an earlier PASV ends here
    Outcome outcome = Outcome::done;
    if (!openClaim(conn, outcome)) return outcome;
    std::replace(address.begin(), address.end(), '.', ',');
    std::uint16_t port = conn.server.dataPort;  // fixed while the server runs
    replyLine(conn, "227 Entering Passive Mode (" + address + "," + std::to_string(port / 256) +
                        "," + std::to_string(port % 256) + ")");
    conn.passiveRequested = true;
    return Outcome::done;
}

// REST: the offset applies to a RETR that directly follows.
Outcome setRestartOffset(ControlConnection& conn) {
    conn.restartOffset = conn.commandLine.empty() ? 0 : parseRestartOffset(conn.commandLine);
    replyLine(conn, "350 Restart position accepted (" + std::to_string(conn.restartOffset) + ").");
    return Outcome::done;
}

// LIST: the current directory's listing over the data connection.
Outcome listDirectoryOverData(ControlConnection& conn) {
    if (!conn.passiveRequested) {
        reply(conn, replies::kUsePasvFirst);
        return Outcome::refused;
    }
    DataWaiterPtr waiter;
    Outcome outcome = Outcome::done;
    if (openDataPath(conn, replies::kOpeningListing, waiter, outcome) != DataPath::connected) {
        return outcome;
    }
    std::vector<std::string> lines;
    if (!listDirectory(*conn.fs, conn.loginName, lines)) {
        reply(conn, replies::kNotAFolder);
        return Outcome::done;
    }
    switch (sendListing(conn, waiter->dataSocket.get(), lines)) {
        case ListingSent::all:
            reply(conn, replies::kListingSent);
            break;
        case ListingSent::failed:
            reply(conn, replies::kWriteFailed);
            break;
        case ListingSent::stopped:
            break;  // no final reply; the loop ends the connection
    }
    if (lines.size() >= kLargeListingLines) {
        std::vector<std::string>().swap(lines);
        platform::releaseFreeMemory();
    }
    return Outcome::done;  // the waiter closes the data connection
}

// RETR: the named file, from the restart offset when REST came just before.
Outcome retrieveFile(ControlConnection& conn) {
    if (!conn.passiveRequested) {
        reply(conn, replies::kUsePasvFirst);
        return Outcome::refused;
    }
    const std::string name = conn.commandLine;
    std::string path = name;
    if (name.empty() || !resolveFilePath(*conn.fs, path) || !pathExists(path) ||
        !conn.downloadFile.open(path)) {
        conn.dataClaim.reset();  // the refused transfer ends its claim, and the connection it got
        reply(conn, replies::kCannotOpenFile);
        return Outcome::refused;
    }
    if (!conn.lastCommandLine.starts_with("REST")) conn.restartOffset = 0;
    DataWaiterPtr waiter;
    Outcome outcome = Outcome::done;
    std::string preliminary = "150 Opening BINARY mode data connection for " + name + " (" +
                              fileSizeText(path) + ").\r\n";
    if (openDataPath(conn, preliminary, waiter, outcome) != DataPath::connected) {
        return outcome;
    }
    reply(conn, streamFile(conn, waiter->dataSocket.get()));
    return Outcome::done;  // the waiter closes the data connection
}

}  // namespace kadrel
