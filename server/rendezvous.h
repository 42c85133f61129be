// Pairing data connections with the control connections that wait for them.
//
// Every passive data connection of a server arrives on its one data port.
// A control connection about to transfer registers a DataWaiter under its
// client's IPv4 address; the listener gives each data connection it accepts
// to the earliest waiter with the same address. Waiters of one address are
// served one after another, and a waiter not served in time expires.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/net.h"

namespace kadrel {

struct ServerObj;

struct DataWaiter {
    std::string peerAddress;           // dotted quad of the client; never changes
    platform::UniqueSocket dataSocket;  // set once by the listener
    std::uint32_t stamp = 0;           // registration, refreshed while queued
    bool expired = false;              // set by the listener; never cleared
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
    kDataConnected = 0,  // the waiter holds the data connection
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

// Gives an accepted data connection to its waiter, or closes it: when no
// waiter of its address is first in line without a connection, and when the
// client has already closed it (a connection left over from a refused
// transfer must not take the place of the live one behind it).
void offerDataConnection(ServerObj& server, platform::UniqueSocket connection);

// Marks at most one waiter that has waited too long as expired.
void expireStaleWaiter(ServerObj& server);

// Building blocks.
bool getPeerAddress(platform::Socket s, std::string& out);
DataWaiter* addDataWaiter(ServerObj& server, std::string address, DataWaiterPtr& owner);
DataWaiter* findDataWaiter(ServerObj& server, const std::string& address);
DataWaiter* removeDataWaiter(ServerObj& server, const DataWaiter* waiter);

}  // namespace kadrel
