// Pairing data connections with the control connections that wait for them.
//
// Every passive data connection of a server arrives on its one data port,
// and all the server can see of it is the client's IPv4 address. Clients on
// one machine (or behind one NAT) open parallel control connections, so the
// address alone cannot tell their data connections apart. What a client
// answers by connecting is the PASV reply, so pairing follows it:
//
// - PASV opens a claim of its control connection (a DataWaiter) on the next
//   data connection from its address, and only then is the reply sent.
// - At most one claim per address waits for its connection at a time. A
//   later claim of the same address is held back (its PASV reply is not
//   sent) until every earlier one has its connection or has ended, so the
//   connection that arrives belongs to the one claim whose reply went out.
// - A claim held back for longer than the server's claim hold time goes
//   ahead anyway; connections of that address then go to its waiting claims
//   in the order the claims were opened.
// - A transfer command uses its connection's claim; one that has none (a
//   second transfer after one PASV) opens one under the same rule.
//
// A claim is owned by its control connection thread; the listener only
// fills in its data connection. A transfer that waits for its connection
// longer than the server's waiter expiry gives up by itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/net.h"

namespace kadrel {

struct ServerObj;

struct DataWaiter {
    std::string peerAddress;            // dotted quad of the client; never changes
    platform::UniqueSocket dataSocket;  // set once by the listener
    std::uint32_t stamp = 0;            // when it was opened; then when its transfer began to wait
    bool released = false;              // may take the next data connection of its address
    bool waiting = false;               // a transfer command waits on it: it can expire
    // Notified, under the server's lock, when its connection arrives, when an
    // earlier claim of its address gets one or ends, and at stop.
    std::condition_variable_any changed;
};

// Frees a waiter: takes it out of its server's list if it is still there,
// and closes its data connection if it holds one. The one place a data
// connection is closed.
struct DataWaiterDeleter {
    ServerObj* server;
    void operator()(DataWaiter* waiter) const;
};
using DataWaiterPtr = std::unique_ptr<DataWaiter, DataWaiterDeleter>;

enum WaitResult : int {
    kDataConnected = 0,   // the waiter holds the data connection
    kWaiterExpired = -1,  // no connection within the expiry (or no longer registered)
    kServerStopping = -2,
};

enum class ClaimResult {
    opened,     // the claim is registered and released
    noAddress,  // the client's address cannot be read; nothing registered
    stopping,   // stop was requested while the claim was held back
};

// Control connection side.

// Opens a claim for the client of this control connection and returns once
// it is released: no earlier claim of the same address still waits for its
// connection, or it was held back for the server's claim hold time.
ClaimResult openDataClaim(ServerObj& server, platform::Socket controlSocket, DataWaiterPtr& claim);

// True when the claim received a data connection that its client has
// closed again since (it connected, then its command was refused); such a
// connection must not carry a transfer.
bool claimLostItsConnection(ServerObj& server, DataWaiter& claim);

// Waits for the claim's data connection; from now on the claim expires when
// none arrives within the server's waiter expiry. The waiter is out of the
// server's list afterwards in every case.
int waitForDataSocket(ServerObj& server, DataWaiter& waiter);

// Listener side.

// True while some released claim has no data connection yet: only then is
// the data port accepted from.
bool someoneExpectsData(ServerObj& server);

// Gives an accepted data connection to the earliest released claim of its
// address that has none yet; one nobody claims is left with the caller
// (false), who closes it.
bool offerDataConnection(ServerObj& server, platform::UniqueSocket& connection);

// Accepts the connections pending on the data port, while some claim
// expects one, and offers each. False when accepting failed for another
// reason than nothing being pending.
bool takePendingDataConnections(ServerObj& server);

// Building blocks.
bool getPeerAddress(platform::Socket s, std::string& out);
DataWaiter* addDataWaiter(ServerObj& server, std::string address, DataWaiterPtr& owner);
DataWaiter* removeDataWaiter(ServerObj& server, const DataWaiter* waiter);

}  // namespace kadrel
