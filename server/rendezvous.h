// Pairing data connections with the control connections that wait for them.
//
// Every passive data connection of a server arrives on its one data port.
// A control connection about to transfer registers a DataWaiter under its
// client's IPv4 address; the listener gives each data connection it accepts
// to the earliest waiter with the same address. Waiters of one address are
// served one after another, and a waiter not served in time expires.
#pragma once

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
    std::uint32_t stamp = 0;            // registration, refreshed while queued
    bool expired = false;               // set by the listener; never cleared
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
    kWaiterExpired = -1,  // or no longer registered
    kServerStopping = -2,
};

// Control connection side.

// Registers a waiter for the client of this control connection and returns
// once it is the first for that address (or stop is requested). False when
// the client's address cannot be read; nothing is registered then.
bool enqueueDataWaiter(ServerObj& server, platform::Socket controlSocket, DataWaiterPtr& waiter);

// Waits for the data connection. The waiter is out of the server's list
// afterwards in every case.
int waitForDataSocket(ServerObj& server, DataWaiter& waiter);

// Listener side.

// Gives an accepted data connection to the first waiter of its address if
// that waiter has none yet; returns false, leaving the connection with the
// caller, when there is no such waiter.
bool offerDataConnection(ServerObj& server, platform::UniqueSocket& connection);

// Data connections that arrived before their own waiter was first in line.
// Most clients connect right after PASV and only then send the transfer
// command, so while other clients (or an earlier transfer of the same
// address) are being served, a connection often arrives early. It is kept
// here, in arrival order, and handed over once its waiter is ready. One
// whose client has closed it (a connection left over from a refused
// transfer) is dropped and never handed over; one unclaimed for the
// server's unclaimed-data time is closed.
class UnclaimedDataConnections {
  public:
    // Hands over, keeps or drops a newly accepted data connection.
    void add(ServerObj& server, platform::UniqueSocket connection);
    // Once per listener pass: hands over what can be, drops what is dead or
    // overdue.
    void retry(ServerObj& server);
    std::size_t size() const { return entries_.size(); }

  private:
    struct Entry {
        platform::UniqueSocket connection;
        std::uint32_t since;
    };
    // Bounds what a client opening connections and never using them can hold.
    static constexpr std::size_t kLimit = 256;
    std::deque<Entry> entries_;
};

// Marks at most one waiter that has waited too long as expired.
void expireStaleWaiter(ServerObj& server);

// Building blocks.
bool getPeerAddress(platform::Socket s, std::string& out);
DataWaiter* addDataWaiter(ServerObj& server, std::string address, DataWaiterPtr& owner);
DataWaiter* findDataWaiter(ServerObj& server, const std::string& address);
DataWaiter* removeDataWaiter(ServerObj& server, const DataWaiter* waiter);

}  // namespace kadrel
