#include "server/server_obj.h"

#include "platform/clock.h"
#include "server/listener.h"
#include "server/rendezvous.h"

namespace kadrel {
namespace {

using platform::UniqueSocket;

// The registry: every live server object, in creation order, linked through
// `next`. A plain mutex is constant-initialised, so it is ready before any
// export can run, with no load-time hook.
std::mutex registryLock;
ServerObj* serverList = nullptr;

// The live server behind a handle, or null. The handle is only compared,
// never dereferenced, until it is found in the registry.
ServerObj* findServer(const void* handle) {
    std::lock_guard guard(registryLock);
    for (ServerObj* server = serverList; server != nullptr; server = server->next) {
        if (server == handle) return server;
    }
    return nullptr;
}

bool validPort(std::int32_t port) {
    return port >= 1 && port <= 65535;
}

// A non-blocking socket listening on 0.0.0.0:port, or an invalid one. It
// listens before start returns, so a client may connect the moment start has
// reported success.
UniqueSocket listeningSocket(std::uint16_t port) {
    UniqueSocket s(platform::createTcpSocket());
    if (s.valid() && !(platform::bindToAnyInterface(s.get(), port) &&
                       platform::startListening(s.get()) && platform::setNonBlocking(s.get()))) {
        s.reset();
    }
    return s;
}

// Under the server's lock. Everything made here is owned by RAII holders, so
// each failed step closes what the earlier steps opened.
bool startLocked(ServerObj& server) {
    if (server.running) return true;
    platform::SocketLibrary library;
    if (!library.acquire()) return false;
    if (!server.stopWake.open() || !server.listenerWake.open()) {
        server.stopWake.close();
        server.listenerWake.close();
        return false;
    }
    UniqueSocket control = listeningSocket(server.controlPort);
    UniqueSocket data = control.valid() ? listeningSocket(server.dataPort) : UniqueSocket();
    if (!data.valid()) {
        server.stopWake.close();
        server.listenerWake.close();
        return false;
    }
    auto args =
        std::make_unique<ListenerArgs>(ListenerArgs{server, std::move(control), std::move(data)});
    std::unique_ptr<ThreadHandle> listener;
    try {
        listener = ThreadHandle::launch(server.threadEnds, [args = std::move(args)]() mutable {
            listenerMain(std::move(args));
        });
    } catch (...) {
        // No thread: nothing recorded, the sockets went with the arguments.
        server.stopWake.close();
        server.listenerWake.close();
        return false;
    }
    addThreadHandle(server, std::move(listener));
    server.socketLibrary = std::move(library);
    server.running = true;
    return true;
}

// Puts the server in its stopped state once no thread is recorded. The check
// and the change happen under one lock, so a start that slips in while stop
// waits is waited for too instead of being left running without its socket
// library.
bool finishStopIfIdle(ServerObj& server) {
    std::lock_guard guard(server.lock);
    if (!server.threads.empty()) return false;
    server.running = false;
    server.stopWake.close();
    server.listenerWake.close();
    server.socketLibrary.release();
    server.stopRequested.store(false, std::memory_order_release);
    return true;
}

// Ends every wait of the server's threads: their socket waits watch the
// stop wake-up, the rendezvous waits are notified one by one. Both happen
// under the lock after the flag is set, so a thread that has not begun to
// wait yet sees the flag first.
void wakeEveryThread(ServerObj& server) {
    std::lock_guard guard(server.lock);
    if (server.stopWake.isOpen()) server.stopWake.signal();
    for (DataWaiter* waiter : server.dataWaiters) waiter->changed.notify_all();
}

void stopServer(ServerObj& server) {
    server.stopRequested.store(true, std::memory_order_release);
    wakeEveryThread(server);
    while (true) {
        std::uint64_t ends = server.threadEnds.count();
        reapFinishedThreads(server);
        if (finishStopIfIdle(server)) return;
        server.threadEnds.waitPast(ends);  // the next thread to end
    }
}

}  // namespace

std::uint32_t ServerObj::now() const {
    return platform::tickCount() + timing.tickOffset;
}

Woken waitForSocket(ServerObj& server, platform::Socket s, platform::Interest interest,
                    std::uint32_t timeoutMs) {
    if (isStopRequested(server)) return Woken::stopping;
    platform::Watch watches[] = {{s, interest}, {server.stopWake.handle()}};
    if (!platform::waitForAny(watches, 2, timeoutMs)) return Woken::timedOut;
    if (watches[1].ready || isStopRequested(server)) return Woken::stopping;
    return Woken::ready;
}

bool isStopRequested(const ServerObj& server) {
    return server.stopRequested.load(std::memory_order_acquire);
}

ServerObj* newServerObj() {
    auto server = std::make_unique<ServerObj>();
    std::lock_guard guard(registryLock);
    ServerObj** tail = &serverList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = server.release();
    return *tail;
}

bool isValidServerObj(const void* handle) {
    return findServer(handle) != nullptr;
}

bool removeServerObj(void* handle) {
    ServerObj* server = findServer(handle);
    if (server == nullptr) return false;
    // A running server is stopped first: its threads use the object.
    stopServer(*server);
    std::lock_guard guard(registryLock);
    for (ServerObj** link = &serverList; *link != nullptr; link = &(*link)->next) {
        if (*link == server) {
            *link = server->next;
            delete server;
            return true;
        }
    }
    return false;  // removed by another thread meanwhile
}

bool addUser(void* handle, const char* login, const char* password, const char* share,
             bool writable) {
    ServerObj* server = findServer(handle);
    // A missing text would be read through a null pointer: refuse it instead.
    if (server == nullptr || login == nullptr || password == nullptr || share == nullptr) {
        return false;
    }
    addAccount(*server, login, password, share, writable);
    return true;
}

bool setPorts(void* handle, std::int32_t controlPort, std::int32_t dataPort) {
    ServerObj* server = findServer(handle);
    if (server == nullptr) return false;
    std::lock_guard guard(server->lock);
    if (server->running || !validPort(controlPort) || !validPort(dataPort)) return false;
    server->controlPort = static_cast<std::uint16_t>(controlPort);
    server->dataPort = static_cast<std::uint16_t>(dataPort);
    return true;
}

bool start(void* handle) {
    ServerObj* server = findServer(handle);
    if (server == nullptr) return false;
    std::lock_guard guard(server->lock);
    return startLocked(*server);
}

bool stop(void* handle) {
    ServerObj* server = findServer(handle);
    if (server == nullptr) return false;
    stopServer(*server);
    return true;
}

}  // namespace kadrel
