#include "server/listener.h"

#include <mutex>

#include "protocol/control_connection.h"
#include "server/rendezvous.h"
#include "server/server_obj.h"

namespace kadrel {
namespace {

using platform::Socket;
using platform::UniqueSocket;

constexpr std::uint32_t kIdlePassMs = 1;

// Hands an accepted control connection to a thread of its own. If no thread
// can be created the socket is closed (the arguments are dropped with the
// failed launch) and nothing is recorded, since stop waits for every
// recorded handle.
void startControlConnection(ServerObj& server, UniqueSocket socket) {
    auto args = std::make_unique<ConnectionArgs>(ConnectionArgs{server, std::move(socket)});
    std::unique_ptr<ThreadHandle> handle;
    try {
        handle = ThreadHandle::launch(
            [args = std::move(args)]() mutable { connectionMain(std::move(args)); });
    } catch (...) {
        return;
    }
    addThreadHandle(server, std::move(handle));
}

// One pass of the listener; true when it accepted anything.
bool listenerPass(ServerObj& server, Socket controlListener) {
    bool accepted = false;
    UniqueSocket control(platform::acceptConnection(controlListener));
    if (control.valid()) {
        startControlConnection(server, std::move(control));
        accepted = true;
    }
    // The data port is accepted from only while a claim expects a data
    // connection; until then clients wait in the backlog. A connection that
    // nobody claims is closed here.
    if (someoneExpectsData(server) && takePendingDataConnections(server)) accepted = true;
    expireStaleWaiter(server);
    return accepted;
}

}  // namespace

void listenerMain(std::unique_ptr<ListenerArgs> args) {
    // Nothing may escape a server thread: it would terminate the host.
    try {
        ServerObj& server = args->server;
        Socket controlListener = args->controlSocket.get();
        Socket dataListener = args->dataSocket.get();
        {
            std::lock_guard guard(server.acceptLock);
            server.dataListener = dataListener;
        }
        while (true) {
            if (!listenerPass(server, controlListener)) {
                // The data socket is watched only while a claim expects a
                // connection; otherwise its backlog would end every wait at once.
                Socket watchedData =
                    someoneExpectsData(server) ? dataListener : platform::kInvalidSocket;
                platform::waitEitherReadable(controlListener, watchedData, kIdlePassMs);
            }
            if (isStopRequested(server)) break;
        }
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
