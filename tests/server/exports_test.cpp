// Server objects through the operations behind the exports: handles,
// ports, start and stop.
#include <gtest/gtest.h>

#include "platform/net.h"
#include "server/server_obj.h"
#include "tests/support/loopback_server.h"
#include "tests/support/test_client.h"

namespace kadrel {
namespace {

TEST(ServerObjects, HandlesAreIndependentAndDieOnce) {
    ServerObj* first = newServerObj();
    ServerObj* second = newServerObj();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(isValidServerObj(first));
    EXPECT_TRUE(isValidServerObj(second));

    EXPECT_TRUE(removeServerObj(first));
    EXPECT_FALSE(isValidServerObj(first));
    EXPECT_TRUE(isValidServerObj(second));
    EXPECT_FALSE(removeServerObj(first));

    ServerObj* third = newServerObj();
    EXPECT_TRUE(removeServerObj(second));
    EXPECT_TRUE(isValidServerObj(third));
    EXPECT_TRUE(removeServerObj(third));
}

TEST(ServerObjects, EveryOperationRefusesAForeignHandle) {
    int notAServer = 0;
    ServerObj* removed = newServerObj();
    ASSERT_TRUE(removeServerObj(removed));
    for (void* handle : {static_cast<void*>(&notAServer), static_cast<void*>(removed),
                         static_cast<void*>(nullptr)}) {
        EXPECT_FALSE(isValidServerObj(handle));
        EXPECT_FALSE(addUser(handle, "a", "b", "c", false));
        EXPECT_FALSE(setPorts(handle, 2121, 2120));
        EXPECT_FALSE(start(handle));
        EXPECT_FALSE(stop(handle));
        EXPECT_FALSE(removeServerObj(handle));
    }
}

TEST(ServerObjects, AddUserRefusesMissingTexts) {
    ServerObj* server = newServerObj();
    EXPECT_FALSE(addUser(server, nullptr, "p", "/", false));
    EXPECT_FALSE(addUser(server, "u", nullptr, "/", false));
    EXPECT_FALSE(addUser(server, "u", "p", nullptr, false));
    EXPECT_TRUE(addUser(server, "", "", "", false));
    removeServerObj(server);
}

TEST(ServerObjects, SetPortsAcceptsOneTo65535Only) {
    struct Case {
        std::int64_t control, data;
        bool accepted;
    };
    const Case cases[] = {
        {0, 20, false},   {21, 65536, false}, {-1, 20, false},      {21, -65515, false},
        {65535, 1, true}, {1, 65535, true},   {0x10015, 20, false}, {21, 0x7fffffff, false},
    };
    ServerObj* server = newServerObj();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.control << "," << c.data);
        ASSERT_TRUE(setPorts(server, 2000, 2001));
        EXPECT_EQ(setPorts(server, static_cast<std::int32_t>(c.control),
                           static_cast<std::int32_t>(c.data)),
                  c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(server->controlPort, 2000);
            EXPECT_EQ(server->dataPort, 2001);
        }
    }
    removeServerObj(server);
}

TEST(ServerObjects, PortsAreFixedWhileRunning) {
    test::LoopbackServer server;
    ASSERT_TRUE(server.start());
    std::uint16_t control = server.controlPort();
    EXPECT_FALSE(setPorts(&server.obj(), 2121, 2120));
    EXPECT_EQ(server.controlPort(), control);
    ASSERT_TRUE(server.stop());
    EXPECT_TRUE(setPorts(&server.obj(), control, control + 1));
}

TEST(ServerObjects, SecondStartOpensNothingNew) {
    test::LoopbackServer server;
    ASSERT_TRUE(server.start());
    EXPECT_EQ(server.threadCount(), 1u);  // the listener
    EXPECT_TRUE(start(&server.obj()));
    EXPECT_EQ(server.threadCount(), 1u);
}

TEST(ServerObjects, StartOnAHeldPortFailsAndLeavesNothingOpen) {
    test::LoopbackServer holder;
    ASSERT_TRUE(holder.start());
    ServerObj* server = newServerObj();

    // Control port held, then data port held.
    const int held = holder.controlPort();
    for (auto [control, data] : {std::pair{held, held + 7}, std::pair{held + 7, held}}) {
        ASSERT_TRUE(setPorts(server, control, data));
        EXPECT_FALSE(start(server));
        EXPECT_FALSE(server->running);
        EXPECT_TRUE(server->threads.empty());
        // Nothing was left bound: the free port of the pair can be taken.
        ASSERT_TRUE(setPorts(server, held + 7, held + 8));
        EXPECT_TRUE(start(server));
        EXPECT_TRUE(stop(server));
    }
    removeServerObj(server);
}

TEST(ServerObjects, OnePortForBothListenersIsRefused) {
    ServerObj* server = newServerObj();
    ASSERT_TRUE(setPorts(server, 29999, 29999));
    EXPECT_FALSE(start(server));
    EXPECT_FALSE(server->running);
    removeServerObj(server);
}

TEST(ServerObjects, StopOfANeverStartedServerReturnsAtOnce) {
    ServerObj* server = newServerObj();
    EXPECT_TRUE(stop(server));
    EXPECT_FALSE(server->running);
    EXPECT_TRUE(removeServerObj(server));
}

TEST(ServerObjects, RestartBindsTheSamePortsAgain) {
    test::LoopbackServer server;
    addUser(&server.obj(), "u", "p", "/", false);
    ASSERT_TRUE(server.start());
    for (int round = 0; round < 3; ++round) {
        // A connection that the server closes leaves TIME_WAIT on its port.
        test::TestClient client;
        ASSERT_TRUE(client.connect(server.controlPort()));
        EXPECT_EQ(client.readLine(), "220 Service ready for new user.\r\n");
        EXPECT_EQ(client.command("QUIT"), "221 Goodbye.\r\n");
        EXPECT_TRUE(client.waitForClose());
        ASSERT_TRUE(server.stop());
        EXPECT_EQ(server.threadCount(), 0u);
        ASSERT_TRUE(start(&server.obj())) << "round " << round;
    }
}

TEST(ServerObjects, StartsAndStopsOfOneServerLeaveOtherConnectionsAlone) {
    // Each start takes a reference on the socket library and its stop gives
    // it back. On Windows one release too many would end with the last
    // WSACleanup of the process, which closes every socket in it.
    test::LoopbackServer other;
    ASSERT_TRUE(other.start());
    test::TestClient client;
    ASSERT_TRUE(client.connect(other.controlPort()));
    ASSERT_EQ(client.readLine(), "220 Service ready for new user.\r\n");
    test::LoopbackServer cycled;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(cycled.start());
        ASSERT_TRUE(cycled.stop());
        ASSERT_TRUE(cycled.stop());  // stopped already: gives back nothing more
    }
    EXPECT_EQ(client.command("NOOP"), "530 Not logged in.\r\n");
}

TEST(ServerObjects, RemovingARunningServerStopsItFirst) {
    ServerObj* server = newServerObj();
    test::TestClient client;
    std::uint16_t port = 0;
    for (int p = 25000; p < 25100 && port == 0; p += 2) {
        if (setPorts(server, p, p + 1) && start(server)) port = static_cast<std::uint16_t>(p);
    }
    ASSERT_NE(port, 0);
    ASSERT_TRUE(client.connect(port));
    EXPECT_EQ(client.readLine(), "220 Service ready for new user.\r\n");
    EXPECT_TRUE(removeServerObj(server));
    EXPECT_TRUE(client.waitForClose());
    EXPECT_FALSE(client.connect(port));
}

}  // namespace
}  // namespace kadrel
