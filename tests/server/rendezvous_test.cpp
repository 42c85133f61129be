// Pairing data connections with waiting control connections by address:
// order, queueing, strays, expiry, stop, and connections that the client
// has already given up.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/support/ftp_session.h"

namespace kadrel {
namespace {

using test::kListingSent;
using test::kOpeningListing;

class RendezvousTest : public testing::Test {
  protected:
    explicit RendezvousTest(Timing timing = quickQueue()) : server(timing) {}

    static Timing quickQueue() {
        Timing timing;
        timing.queueStepMs = 50;
        return timing;
    }

    void SetUp() override {
        tree.writeFile("present.txt", "present bytes");
        tree.makeDirectory("d");
        tree.writeFile("d/only.txt", "x");
        server.addUser("alice", "secret", tree.rootText().c_str(), false);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(test::logIn(client, server.controlPort()));
    }

    // PASV, then LIST without a data connection yet: the waiter is registered.
    void listWithoutData(test::TestClient& c) {
        ASSERT_NE(c.passive(), 0);
        ASSERT_TRUE(c.send("LIST\r\n"));
    }

    test::TempTree tree;
    test::LoopbackServer server;
    test::TestClient client;
};

TEST_F(RendezvousTest, WaitersOfOneAddressAreServedInOrder) {
    test::TestClient second;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    listWithoutData(second);
    // Queued behind the first waiter: no 150 while the first one waits.
    EXPECT_EQ(second.readLine(300), "");

    test::TestClient firstData;
    ASSERT_TRUE(firstData.connect(server.dataPort()));
    EXPECT_NE(firstData.readAll(), "");
    EXPECT_EQ(client.readLine(), kListingSent);

    EXPECT_EQ(second.readLine(), kOpeningListing);
    test::TestClient secondData;
    ASSERT_TRUE(secondData.connect(server.dataPort()));
    EXPECT_NE(secondData.readAll(), "");
    EXPECT_EQ(second.readLine(), kListingSent);
}

// Clients connect right after PASV, often while other transfers are being
// served: such a connection waits for its own transfer command.
TEST_F(RendezvousTest, AnEarlyConnectionWaitsForItsOwnTransfer) {
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);

    test::TestClient other;
    if (!test::logIn(other, server.controlPort(), "127.0.0.2")) {
        GTEST_SKIP() << "no second loopback address here";
    }
    std::uint16_t port = other.passive();
    test::TestClient early;
    ASSERT_TRUE(early.connect(port, "127.0.0.2"));  // accepted while the first client waits
    EXPECT_EQ(other.readLine(300), "");
    EXPECT_EQ(other.command("RETR present.txt").substr(0, 4), "150 ");
    EXPECT_EQ(early.readAll(), "present bytes");
    EXPECT_EQ(other.readLine(), test::kFileSent);

    test::TestClient data;
    ASSERT_TRUE(data.connect(server.dataPort()));
    EXPECT_NE(data.readAll(), "");
    EXPECT_EQ(client.readLine(), kListingSent);
}

class ExpiringRendezvous : public RendezvousTest {
  protected:
    static Timing quickExpiry() {
        Timing timing = quickQueue();
        timing.waiterExpiryMs = 300;
        timing.unclaimedDataMs = 300;
        return timing;
    }
    ExpiringRendezvous() : RendezvousTest(quickExpiry()) {}
};

class UnclaimedData : public RendezvousTest {
  protected:
    static Timing quickUnclaimed() {
        Timing timing = quickQueue();
        timing.unclaimedDataMs = 300;
        return timing;
    }
    UnclaimedData() : RendezvousTest(quickUnclaimed()) {}
};

TEST_F(UnclaimedData, StrayAndSurplusConnectionsAreClosedInTime) {
    // A client of another address waits throughout, so the data port is
    // accepted from all along.
    test::TestClient waiting;
    if (!test::logIn(waiting, server.controlPort(), "127.0.0.4")) {
        GTEST_SKIP() << "no second loopback address here";
    }
    listWithoutData(waiting);
    ASSERT_EQ(waiting.readLine(), kOpeningListing);

    // From an address with no transfer at all.
    test::TestClient stray;
    ASSERT_TRUE(stray.connect(server.dataPort(), "127.0.0.3"));
    // Two from one client's address: the first serves its LIST, the second
    // waits for a transfer that never comes.
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    test::TestClient first;
    test::TestClient surplus;
    ASSERT_TRUE(first.connect(server.dataPort()));
    ASSERT_TRUE(surplus.connect(server.dataPort()));
    EXPECT_NE(first.readAll(), "");
    EXPECT_EQ(client.readLine(), kListingSent);
    for (test::TestClient* unclaimed : {&stray, &surplus}) {
        EXPECT_TRUE(unclaimed->waitForClose(10000));
        EXPECT_EQ(unclaimed->pending(), "");
    }
}

TEST_F(ExpiringRendezvous, AnUnservedWaiterExpiresAndTheConnectionGoesOn) {
    listWithoutData(client);
    EXPECT_EQ(client.readLine(), kOpeningListing);
    EXPECT_EQ(client.readLine(10000), test::kNoDataConnection);
    test::Transfer next = test::transfer(client, "LIST");
    EXPECT_EQ(next.final, kListingSent);
}

TEST_F(RendezvousTest, StopWhileWaitingEndsTheConnectionWithoutAReply) {
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(client.pending(), "");
}

TEST_F(RendezvousTest, StopReachesAWaiterQueuedBehindAnother) {
    test::TestClient second;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    listWithoutData(second);
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(second.waitForClose());
}

class RendezvousAcrossWrap : public RendezvousTest {
  protected:
    // The server's ticks wrap 100 ms after the start; expiry stays 60 s.
    static Timing nearWrap() {
        Timing timing = quickQueue();
        timing.tickOffset = 0u - platform::tickCount() - 100u;
        return timing;
    }
    RendezvousAcrossWrap() : RendezvousTest(nearWrap()) {}
};

TEST_F(RendezvousAcrossWrap, AFreshWaiterDoesNotExpire) {
    platform::sleepMs(50);  // register just before the counter wraps
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    platform::sleepMs(300);  // and connect after it wrapped
    test::TestClient data;
    ASSERT_TRUE(data.connect(server.dataPort()));
    EXPECT_NE(data.readAll(), "");
    EXPECT_EQ(client.readLine(), kListingSent);
}

// Clients often open the data connection right after PASV and close it
// when the transfer command is refused. Such a connection, still in the
// backlog, must not be handed to the next transfer.
TEST_F(RendezvousTest, AConnectionLeftFromARefusedTransferIsNotHandedOver) {
    const std::pair<const char*, const char*> refusals[] = {
        {"RETR missing.txt", test::kCannotOpen},
        {"RETR ", test::kCannotOpen},
        {"LIST -a", test::kNotImplemented},
        {"NLST", test::kNotImplemented},
    };
    test::TestClient other;
    ASSERT_TRUE(test::logIn(other, server.controlPort()));
    for (const auto& [refused, reply] : refusals) {
        SCOPED_TRACE(refused);
        for (test::TestClient* next : {&client, &other}) {
            {
                std::uint16_t port = client.passive();
                test::TestClient abandoned;
                ASSERT_TRUE(abandoned.connect(port));
                ASSERT_EQ(client.command(refused), reply);
            }  // the client closes its data connection after the refusal
            test::Transfer t = test::transfer(*next, "RETR present.txt");
            EXPECT_EQ(t.data, "present bytes");
            EXPECT_EQ(t.final, test::kFileSent);
            test::Transfer listing = test::transfer(*next, "LIST");
            EXPECT_NE(listing.data.find("present.txt"), std::string::npos);
            EXPECT_EQ(listing.final, kListingSent);
        }
    }
}

}  // namespace
}  // namespace kadrel
