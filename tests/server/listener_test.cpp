// The listener: many clients at once, thread handles, and stop.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "server/server_obj.h"
#include "tests/support/loopback_server.h"
#include "tests/support/test_client.h"

namespace kadrel {
namespace {

constexpr char kGreeting[] = "220 Service ready for new user.\r\n";

TEST(Listener, SixtyFourClientsConnectingTogetherAreAllGreeted) {
    test::LoopbackServer server;
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<test::TestClient>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<test::TestClient>());
        ASSERT_TRUE(clients.back()->connect(server.controlPort())) << i;
    }
    for (auto& client : clients) EXPECT_EQ(client->readLine(), kGreeting);
    // Listener plus one thread per client, none reaped while they are connected.
    EXPECT_EQ(server.awaitThreadCount(65), 65u);
}

TEST(Listener, StopClosesEveryConnectionAndReapsEveryThread) {
    test::LoopbackServer server;
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<test::TestClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<test::TestClient>());
        ASSERT_TRUE(clients.back()->connect(server.controlPort()));
        ASSERT_EQ(clients.back()->readLine(), kGreeting);
    }
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(server.threadCount(), 0u);
    EXPECT_FALSE(server.obj().running);
    EXPECT_FALSE(isStopRequested(server.obj()));
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitForClose());
        EXPECT_EQ(client->pending(), "");  // closed without a reply
    }
    test::TestClient late;
    EXPECT_FALSE(late.connect(server.controlPort()));
}

TEST(Listener, EndedConnectionsAreReapedWhenTheNextClientArrives) {
    test::LoopbackServer server;
    ASSERT_TRUE(server.start());
    test::TestClient first;
    ASSERT_TRUE(first.connect(server.controlPort()));
    ASSERT_EQ(first.readLine(), kGreeting);
    ASSERT_EQ(first.command("QUIT"), "221 Goodbye.\r\n");
    ASSERT_TRUE(first.waitForClose());

    test::TestClient second;
    ASSERT_TRUE(second.connect(server.controlPort()));
    ASSERT_EQ(second.readLine(), kGreeting);
    // The listener, the second client and, until the next arrival reaps it,
    // possibly the ended first one: never more.
    std::size_t threads = server.threadCount();
    EXPECT_TRUE(threads == 2u || threads == 3u) << threads;
    ASSERT_EQ(second.command("QUIT"), "221 Goodbye.\r\n");
    ASSERT_TRUE(second.waitForClose());
    // Let the ended connection threads finish returning; nothing reaps them
    // until the next arrival.
    std::size_t recorded = server.threadCount();
    EXPECT_TRUE(server.awaitEndedThreads(recorded - 1));
    EXPECT_EQ(server.threadCount(), recorded);
    test::TestClient third;
    ASSERT_TRUE(third.connect(server.controlPort()));
    ASSERT_EQ(third.readLine(), kGreeting);
    EXPECT_EQ(server.awaitThreadCount(2), 2u);  // listener and third
}

TEST(Ticks, ElapsedTimeHoldsAcrossTheWrapOfTheCounter) {
    struct Case {
        std::uint32_t now, since, limit;
        bool elapsed;
    };
    const Case cases[] = {
        {60000, 0, 60000, false},
        {60001, 0, 60000, true},
        {0xFFFFFFF0u, 0xFFFFFFF0u - 60001, 60000, true},
        {5, 0xFFFFFFF0u, 60000, false},                 // 21 ms across the wrap
        {59990, 0xFFFFFFF0u, 60000, true},              // 60 006 ms across the wrap
        {0x7FFFFFFFu + 10, 0x7FFFFFFFu, 60000, false},  // across the signed boundary
        {0x80000000u + 60001, 0x80000000u, 60000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.now << " - " << c.since);
        EXPECT_EQ(hasElapsed(c.now, c.since, c.limit), c.elapsed);
    }
}

}  // namespace
}  // namespace kadrel
