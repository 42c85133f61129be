// The listener thread of a running server and the server's thread handles.
#pragma once

#include <memory>

#include "platform/net.h"
#include "server/thread_handle.h"

namespace kadrel {

struct ServerObj;

// Start record of the listener: two non-blocking listening sockets. The
// listener owns it and, by dropping it when it ends, closes both sockets.
struct ListenerArgs {
    ServerObj& server;
    platform::UniqueSocket controlSocket;
    platform::UniqueSocket dataSocket;
};

// Accepts control connections (one thread each) and, while some control
// connection waits for one, data connections; ends when stop is requested.
void listenerMain(std::unique_ptr<ListenerArgs> args);

// Records a new thread's handle, then reaps.
void addThreadHandle(ServerObj& server, std::unique_ptr<ThreadHandle> handle);

// Joins and drops the handles of threads that have ended.
void reapFinishedThreads(ServerObj& server);

}  // namespace kadrel
