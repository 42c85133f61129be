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

// Waits one queue step in slices, so that stop is seen within a slice.
void waitQueueStep(ServerObj& server) {
    std::uint32_t start = server.now();
    while (!isStopRequested(server) &&
           !hasElapsed(server.now(), start, server.timing.queueStepMs)) {
        platform::sleepMs(kPollMs);
    }
}

}  // namespace

void DataWaiterDeleter::operator()(DataWaiter* waiter) const {
    removeDataWaiter(*server, waiter);
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

DataWaiter* findDataWaiter(ServerObj& server, const std::string& address) {
    std::lock_guard guard(server.lock);
    for (DataWaiter* waiter : server.dataWaiters) {
        if (waiter->peerAddress == address) return waiter;
    }
    return nullptr;
}

DataWaiter* removeDataWaiter(ServerObj& server, const DataWaiter* waiter) {
    std::lock_guard guard(server.lock);
    auto it = findFromBack(server, waiter);
    if (it == server.dataWaiters.end()) return nullptr;
    DataWaiter* removed = *it;
    server.dataWaiters.erase(it);
    return removed;
}

bool enqueueDataWaiter(ServerObj& server, platform::Socket controlSocket, DataWaiterPtr& waiter) {
    std::string address;
    if (!getPeerAddress(controlSocket, address)) return false;
    DataWaiter* mine = addDataWaiter(server, address, waiter);
    // Queued behind an earlier waiter of the same address: look again every
    // queue step, refreshing the stamp so that queueing does not count
    // towards expiry. On stop, go on: the wait that follows reports it.
    while (findDataWaiter(server, address) != mine && !isStopRequested(server)) {
        waitQueueStep(server);
        std::lock_guard guard(server.lock);
        if (isRegistered(server, mine)) mine->stamp = server.now();
    }
    return true;
}

int waitForDataSocket(ServerObj& server, DataWaiter& waiter) {
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
    removeDataWaiter(server, &waiter);
    return result;
}

bool offerDataConnection(ServerObj& server, platform::UniqueSocket& connection) {
    std::string address;
    if (!getPeerAddress(connection.get(), address)) return false;
    DataWaiter* waiter = findDataWaiter(server, address);
    if (waiter == nullptr) return false;
    std::lock_guard guard(server.lock);
    if (!isRegistered(server, waiter) || waiter->dataSocket.valid()) return false;
    waiter->dataSocket = std::move(connection);
    return true;
}

void UnclaimedDataConnections::add(ServerObj& server, platform::UniqueSocket connection) {
    if (platform::peerHasClosed(connection.get())) return;
    if (entries_.empty() && offerDataConnection(server, connection)) return;
    if (entries_.size() == kLimit) entries_.pop_front();
    entries_.push_back({std::move(connection), server.now()});
    retry(server);
}

void UnclaimedDataConnections::retry(ServerObj& server) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        bool gone = platform::peerHasClosed(it->connection.get()) ||
                    offerDataConnection(server, it->connection) ||
                    hasElapsed(server.now(), it->since, server.timing.unclaimedDataMs);
        it = gone ? entries_.erase(it) : it + 1;
    }
}

void expireStaleWaiter(ServerObj& server) {
    std::lock_guard guard(server.lock);
    auto& waiters = server.dataWaiters;
    for (auto it = waiters.rbegin(); it != waiters.rend(); ++it) {
        if (hasElapsed(server.now(), (*it)->stamp, server.timing.waiterExpiryMs)) {
            (*it)->expired = true;
            break;
        }
    }
}

}  // namespace kadrel
