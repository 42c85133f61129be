#include "server/listener.h"

#include <mutex>

#include "protocol/control_connection.h"
#include "server/rendezvous.h"
#include "server/server_obj.h"

namespace kadrel {
namespace {

using platform::Socket;
using platform::UniqueSocket;

// A listening socket reported ready that yields nothing (accept failing, as
// when the process is out of descriptors) is left out of the waits for this
// long, so that it cannot turn the listener into a busy loop.
constexpr std::uint32_t kAcceptRetryMs = 100;

// Hands an accepted control connection to a thread of its own. The handle
// is recorded before the thread runs, so that a client that has been
// greeted always has its thread listed. If no thread can be created the
// socket is closed (the arguments are dropped with the failed start) and
// the handle counts as ended, to be dropped at the next reap.
void startControlConnection(ServerObj& server, UniqueSocket socket) {
    auto args = std::make_unique<ConnectionArgs>(ConnectionArgs{server, std::move(socket)});
    std::unique_ptr<ThreadHandle> handle = ThreadHandle::unstarted();
    ThreadHandle& recorded = *handle;
    try {
        addThreadHandle(server, std::move(handle));
    } catch (...) {
        return;  // not recorded; the socket closes with the arguments
    }
    try {
        // Not reaped meanwhile: it counts as running until it has started.
        recorded.start(server.threadEnds,
                       [args = std::move(args)]() mutable { connectionMain(std::move(args)); });
    } catch (...) {
    }
}

// Starts a thread for every pending control connection. False when
// accepting failed for another reason than nothing being pending.
bool acceptControlConnections(ServerObj& server, Socket controlListener) {
    bool failed = false;
    while (!isStopRequested(server) && !failed) {
        UniqueSocket control(platform::acceptConnection(controlListener, &failed));
        if (!control.valid()) break;
        startControlConnection(server, std::move(control));
    }
    return !failed;
}

void serveListeners(ServerObj& server, Socket controlListener, Socket dataListener) {
    bool controlStalled = false;
    bool dataStalled = false;
    while (!isStopRequested(server)) {
        // Cleared before looking, so that a thread that starts to wait for
        // a data connection from here on leaves it signalled for the wait
        // below.
        server.listenerWake.clear();
        // The data port is watched only while a claim expects a connection;
        // until then clients wait in the backlog, which would otherwise end
        // every wait at once.
        bool expectsData = someoneExpectsData(server);
        platform::Watch watches[] = {
            {controlStalled ? platform::kInvalidSocket : controlListener},
            {expectsData && !dataStalled ? dataListener : platform::kInvalidSocket},
            {server.listenerWake.handle()},
            {server.stopWake.handle()},
        };
        bool stalled = controlStalled || dataStalled;
        controlStalled = dataStalled = false;
        platform::waitForAny(watches, std::size(watches),
                             stalled ? kAcceptRetryMs : platform::kNoTimeout);
        if (watches[0].ready && !acceptControlConnections(server, controlListener)) {
            controlStalled = true;
        }
        // A connection nobody claims is closed there.
        if (watches[1].ready && !takePendingDataConnections(server)) dataStalled = true;
    }
}

}  // namespace

void listenerMain(std::unique_ptr<ListenerArgs> args) {
    // Nothing may escape a server thread: it would terminate the host.
    try {
        ServerObj& server = args->server;
        {
            std::lock_guard guard(server.acceptLock);
            server.dataListener = args->dataSocket.get();
        }
        serveListeners(server, args->controlSocket.get(), args->dataSocket.get());
    } catch (...) {
    }
    // The sockets close with the arguments; nobody may accept from them then.
    std::lock_guard guard(args->server.acceptLock);
    args->server.dataListener = platform::kInvalidSocket;
}

void addThreadHandle(ServerObj& server, std::unique_ptr<ThreadHandle> handle) {
    {
        std::lock_guard guard(server.lock);
        server.threads.push_back(std::move(handle));
    }
    reapFinishedThreads(server);
}

void reapFinishedThreads(ServerObj& server) {
    std::lock_guard guard(server.lock);
    auto& threads = server.threads;
    for (std::size_t i = 0; i < threads.size();) {
        // An ended thread no longer needs the lock, so joining it here is brief.
        if (threads[i]->hasEnded()) {
            threads.erase(threads.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

}  // namespace kadrel
