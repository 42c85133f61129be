#include "server/rendezvous.h"

#include <chrono>
#include <mutex>

#include "server/server_obj.h"

namespace kadrel {
namespace {

using ServerLock = std::unique_lock<std::recursive_mutex>;

// Under the server's lock: the position of this very waiter, searched from
// the back, or the end. A waiter pointer from an earlier hold of the lock is
// trusted only once found again here: its owner may have freed it since.
auto findFromBack(ServerObj& server, const DataWaiter* waiter) {
    auto& waiters = server.dataWaiters;
    for (auto it = waiters.end(); it != waiters.begin();) {
        --it;
        if (*it == waiter) return it;
    }
    return waiters.end();
}

bool isRegistered(ServerObj& server, const DataWaiter* waiter) {
    return findFromBack(server, waiter) != server.dataWaiters.end();
}

// Under the server's lock: whether the claim may take the next data
// connection of its address and has none yet.
bool expectsConnection(const DataWaiter& claim) {
    return claim.released && !claim.dataSocket.valid();
}

// Under the server's lock: whether an earlier claim of the same address
// still waits for its data connection, released or held back itself. Claims
// are listed in the order they were opened, so holding back behind every
// earlier one keeps that order.
bool anEarlierClaimWaits(ServerObj& server, const DataWaiter& claim) {
    for (const DataWaiter* other : server.dataWaiters) {
        if (other == &claim) return false;
        if (other->peerAddress == claim.peerAddress && !other->dataSocket.valid()) return true;
    }
    return false;
}

// Under the server's lock: releases the claim when nothing earlier of its
// address waits any more, or once it has been held back long enough.
bool tryRelease(ServerObj& server, DataWaiter& claim) {
    if (!claim.released && (!anEarlierClaimWaits(server, claim) ||
                            hasElapsed(server.now(), claim.stamp, server.timing.claimHoldMs))) {
        claim.released = true;
    }
    return claim.released;
}

// Under the server's lock: wakes the claims of an address, which may now be
// released or served.
void notifyAddress(ServerObj& server, const std::string& address) {
    for (DataWaiter* waiter : server.dataWaiters) {
        if (waiter->peerAddress == address) waiter->changed.notify_all();
    }
}

// Whether the waiter is listed, released and still without a connection.
bool expectsItsConnection(ServerObj& server, const DataWaiter* waiter) {
    std::lock_guard guard(server.lock);
    return isRegistered(server, waiter) && expectsConnection(*waiter);
}

// Takes a claim out of the list. A client usually connects before it sends
// its transfer command, so when a claim ends unserved (the command was
// refused before the listener got to the connection) its connection may
// already be pending on the data port: it is taken first, while the claim
// is still listed, so that it goes to this claim and is closed with it
// instead of reaching the next claim of the same address.
void endClaim(ServerObj& server, const DataWaiter* waiter) {
    if (expectsItsConnection(server, waiter)) takePendingDataConnections(server);
    removeDataWaiter(server, waiter);
}

// Before a thread first waits for a data connection to arrive (its own, or
// the one an earlier claim of its address waits for). A client connects
// right after the PASV reply, so by the time its transfer command (or the
// next PASV of its address) comes the connection is usually pending on the
// data port already, and the thread takes it itself. Only a thread that
// must wait has the listener watch the data port: it does so for as long
// as some claim expects a connection, and hands each one over as it comes.
void tellListener(ServerObj& server, bool& told) {
    if (told) return;
    server.listenerWake.signal();
    told = true;
}

}  // namespace

void DataWaiterDeleter::operator()(DataWaiter* waiter) const {
    endClaim(*server, waiter);
    delete waiter;  // closes the data connection, if any
}

bool getPeerAddress(platform::Socket s, std::string& out) {
    return platform::peerAddressText(s, out);
}

DataWaiter* addDataWaiter(ServerObj& server, std::string address, DataWaiterPtr& owner) {
    owner = DataWaiterPtr(new DataWaiter, DataWaiterDeleter{&server});
    owner->peerAddress = std::move(address);
    owner->stamp = server.now();
    std::lock_guard guard(server.lock);
    server.dataWaiters.push_back(owner.get());
    return owner.get();
}

DataWaiter* removeDataWaiter(ServerObj& server, const DataWaiter* waiter) {
    std::lock_guard guard(server.lock);
    auto it = findFromBack(server, waiter);
    if (it == server.dataWaiters.end()) return nullptr;
    DataWaiter* removed = *it;
    server.dataWaiters.erase(it);
    notifyAddress(server, removed->peerAddress);  // a claim held back behind it may go on
    return removed;
}

ClaimResult openDataClaim(ServerObj& server, platform::Socket controlSocket, DataWaiterPtr& claim) {
    std::string address;
    if (!getPeerAddress(controlSocket, address)) return ClaimResult::noAddress;
    DataWaiter* mine = addDataWaiter(server, std::move(address), claim);
    bool pendingTaken = false;
    bool listenerTold = false;
    ServerLock lock(server.lock);
    // Stop first: once stop is requested, no reply may go out any more.
    while (!isStopRequested(server)) {
        if (tryRelease(server, *mine)) return ClaimResult::opened;
        // Held back: the connection an earlier claim waits for may be
        // pending already; if not, the listener hands it over.
        if (!pendingTaken) {
            lock.unlock();
            takePendingDataConnections(server);
            pendingTaken = true;
            lock.lock();
            continue;
        }
        tellListener(server, listenerTold);
        std::uint32_t left = timeLeft(server.now(), mine->stamp, server.timing.claimHoldMs);
        mine->changed.wait_for(lock, std::chrono::milliseconds(left));
    }
    return ClaimResult::stopping;
}

bool claimLostItsConnection(ServerObj& server, DataWaiter& claim) {
    takePendingDataConnections(server);  // its connection may be among them
    platform::Socket data;
    {
        std::lock_guard guard(server.lock);
        data = claim.dataSocket.get();
    }
    // Once set, the socket is the owner's alone, so it is peeked unlocked.
    return data != platform::kInvalidSocket && platform::peerHasClosed(data);
}

int waitForDataSocket(ServerObj& server, DataWaiter& waiter) {
    int result = kServerStopping;
    takePendingDataConnections(server);
    {
        bool listenerTold = false;
        ServerLock lock(server.lock);
        waiter.waiting = true;
        waiter.stamp = server.now();
        while (true) {
            // Expiry first: a connection handed over after expiry is not used.
            std::uint32_t left = timeLeft(server.now(), waiter.stamp, server.timing.waiterExpiryMs);
            if (left == 0 || !isRegistered(server, &waiter)) {
                result = kWaiterExpired;
                break;
            }
            if (waiter.dataSocket.valid()) {
                result = kDataConnected;
                break;
            }
            if (isStopRequested(server)) break;
            tellListener(server, listenerTold);
            waiter.changed.wait_for(lock, std::chrono::milliseconds(left));
        }
    }
    endClaim(server, &waiter);
    return result;
}

bool someoneExpectsData(ServerObj& server) {
    std::lock_guard guard(server.lock);
    for (const DataWaiter* waiter : server.dataWaiters) {
        if (expectsConnection(*waiter)) return true;
    }
    return false;
}

bool offerDataConnection(ServerObj& server, platform::UniqueSocket& connection) {
    // A connection its client has closed again still goes to its claim: it
    // answered that claim's reply. The transfer looks at it before use.
    std::string address;
    if (!getPeerAddress(connection.get(), address)) return false;
    std::lock_guard guard(server.lock);
    for (DataWaiter* waiter : server.dataWaiters) {
        if (waiter->peerAddress == address && expectsConnection(*waiter)) {
            waiter->dataSocket = std::move(connection);
            notifyAddress(server, address);  // this claim, and those held back behind it
            return true;
        }
    }
    return false;
}

bool takePendingDataConnections(ServerObj& server) {
    std::lock_guard acceptGuard(server.acceptLock);
    bool failed = false;
    // One at a time, and only while a claim expects one: a connection that
    // arrives once the last claim is served may be the next transfer's,
    // whose claim is not open yet (a second RETR after one PASV).
    while (server.dataListener != platform::kInvalidSocket && !failed &&
           someoneExpectsData(server)) {
        platform::UniqueSocket connection(platform::acceptConnection(server.dataListener, &failed));
        if (!connection.valid()) break;
        offerDataConnection(server, connection);  // closed here unless claimed
    }
    return !failed;
}

}  // namespace kadrel
