// A server object for tests, started on free loopback-reachable ports and
// stopped and removed when the fixture ends.
#pragma once

#include <cstdint>

#include "server/server_obj.h"

namespace kadrel::test {

class LoopbackServer {
  public:
    explicit LoopbackServer(Timing timing = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Starts on two free ports; false when none could be found.
    bool start();
    bool stop();
    void addUser(const char* login, const char* password, const char* share, bool writable);

    ServerObj& obj() { return *server_; }
    // Recorded thread handles, read under the server's lock.
    std::size_t threadCount();
    // Waits up to 5 s for the count to reach `expected`; returns the last count.
    std::size_t awaitThreadCount(std::size_t expected);
    // Waits up to 5 s until `ended` recorded threads have ended.
    bool awaitEndedThreads(std::size_t ended);
    std::uint16_t controlPort() const { return server_->controlPort; }
    std::uint16_t dataPort() const { return server_->dataPort; }

  private:
    ServerObj* server_;
};

}  // namespace kadrel::test
