#include "server/rendezvous.h"

#include <mutex>

#include "platform/clock.h"
#include "server/server_obj.h"

namespace kadrel {
namespace {

constexpr std::uint32_t kPollMs = 1;

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

// Whether the waiter is listed, released and still without a connection.
bool expectsItsConnection(ServerObj& server, const DataWaiter* waiter) {
    std::lock_guard guard(server.lock);
    return isRegistered(server, waiter) && waiter->released && !waiter->dataSocket.valid();
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
    return removed;
}

ClaimResult openDataClaim(ServerObj& server, platform::Socket controlSocket, DataWaiterPtr& claim) {
    std::string address;
    if (!getPeerAddress(controlSocket, address)) return ClaimResult::noAddress;
    DataWaiter* mine = addDataWaiter(server, std::move(address), claim);
    while (true) {
        {
            std::lock_guard guard(server.lock);
            if (tryRelease(server, *mine)) return ClaimResult::opened;
        }
        if (isStopRequested(server)) return ClaimResult::stopping;
        platform::sleepMs(kPollMs);
    }
}

bool claimLostItsConnection(ServerObj& server, DataWaiter& claim) {
    platform::Socket data;
    {
        std::lock_guard guard(server.lock);
        data = claim.dataSocket.get();
    }
    // Once set, the socket is the owner's alone, so it is peeked unlocked.
    return data != platform::kInvalidSocket && platform::peerHasClosed(data);
}

int waitForDataSocket(ServerObj& server, DataWaiter& waiter) {
    {
        std::lock_guard guard(server.lock);
        waiter.waiting = true;
        waiter.stamp = server.now();
    }
    int result = kServerStopping;
    while (true) {
        bool expired = true;
        bool connected = false;
        {
            std::lock_guard guard(server.lock);
            if (isRegistered(server, &waiter)) {
                expired = waiter.expired;
                connected = waiter.dataSocket.valid();
            }
        }
        // Expiry first: a connection handed over after expiry is not used.
        if (expired) {
            result = kWaiterExpired;
            break;
        }
        if (connected) {
            result = kDataConnected;
            break;
        }
        if (isStopRequested(server)) break;
        platform::sleepMs(kPollMs);
    }
    endClaim(server, &waiter);
    return result;
}

bool someoneExpectsData(ServerObj& server) {
    std::lock_guard guard(server.lock);
    for (const DataWaiter* waiter : server.dataWaiters) {
        if (waiter->released && !waiter->dataSocket.valid()) return true;
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
        if (waiter->peerAddress == address && waiter->released && !waiter->dataSocket.valid()) {
            waiter->dataSocket = std::move(connection);
            return true;
        }
    }
    return false;
}

bool takePendingDataConnections(ServerObj& server) {
    std::lock_guard acceptGuard(server.acceptLock);
    bool took = false;
    while (server.dataListener != platform::kInvalidSocket) {
        platform::UniqueSocket connection(platform::acceptConnection(server.dataListener));
        if (!connection.valid()) break;
        offerDataConnection(server, connection);  // closed here unless claimed
        took = true;
    }
    return took;
}

void expireStaleWaiter(ServerObj& server) {
    std::lock_guard guard(server.lock);
    auto& waiters = server.dataWaiters;
    for (auto it = waiters.rbegin(); it != waiters.rend(); ++it) {
        if ((*it)->waiting &&
            hasElapsed(server.now(), (*it)->stamp, server.timing.waiterExpiryMs)) {
            (*it)->expired = true;
            break;
        }
    }
}

}  // namespace kadrel
