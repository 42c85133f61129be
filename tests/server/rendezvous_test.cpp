// Pairing data connections with the control connections that claimed them:
// clients of one address, claims held back and their bound, strays,
// expiry, stop, and connections that the client has already given up.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tests/support/ftp_session.h"

namespace kadrel {
namespace {

using test::kListingSent;
using test::kOpeningListing;

class RendezvousTest : public testing::Test {
  protected:
    explicit RendezvousTest(Timing timing = {}) : server(timing) {}

    void SetUp() override {
        tree.writeFile("present.txt", "present bytes");
        tree.writeFile("x.txt", "the bytes of x");
        tree.writeFile("y.txt", "y, quite other bytes");
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

// Two clients of one address: the second PASV is answered once the first
// client's data connection is in, so each connection belongs to the claim
// whose reply it answers, whatever order the transfers then come in.
TEST_F(RendezvousTest, ClientsOfOneAddressEachGetTheirOwnDataConnection) {
    test::TestClient second;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    std::uint16_t port = client.passive();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(second.send("PASV\r\n"));
    EXPECT_EQ(second.readLine(300), "");  // held back: the first claim still waits

    test::TestClient firstData;
    ASSERT_TRUE(firstData.connect(port));
    ASSERT_EQ(test::TestClient::passivePort(second.readLine(test::kPassiveReplyTimeoutMs)), port);
    test::TestClient secondData;
    ASSERT_TRUE(secondData.connect(port));

    EXPECT_EQ(second.command("RETR y.txt"), test::openingFile("y.txt", 20));
    EXPECT_EQ(client.command("RETR x.txt"), test::openingFile("x.txt", 14));
    EXPECT_EQ(secondData.readAll(), "y, quite other bytes");
    EXPECT_EQ(firstData.readAll(), "the bytes of x");
    EXPECT_EQ(second.readLine(), test::kFileSent);
    EXPECT_EQ(client.readLine(), test::kFileSent);
}

// A transfer without a claim of its own (a second one after a single PASV)
// opens its claim, and sends its 150, only once the earlier claim of its
// address has its connection.
TEST_F(RendezvousTest, ATransferWithoutAClaimQueuesBehindAWaitingOne) {
    test::TestClient second;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    test::Transfer first = test::transfer(second, "RETR present.txt");
    ASSERT_EQ(first.final, test::kFileSent);

    std::uint16_t port = client.passive();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(second.send("RETR y.txt\r\n"));
    EXPECT_EQ(second.readLine(300), "");

    test::TestClient firstData;
    ASSERT_TRUE(firstData.connect(port));
    EXPECT_EQ(second.readLine(), test::openingFile("y.txt", 20));
    test::TestClient secondData;
    ASSERT_TRUE(secondData.connect(port));
    EXPECT_EQ(secondData.readAll(), "y, quite other bytes");
    EXPECT_EQ(second.readLine(), test::kFileSent);

    EXPECT_EQ(client.command("RETR x.txt"), test::openingFile("x.txt", 14));
    EXPECT_EQ(firstData.readAll(), "the bytes of x");
    EXPECT_EQ(client.readLine(), test::kFileSent);
}

class ShortClaimHold : public RendezvousTest {
  protected:
    static Timing shortHold() {
        Timing timing;
        timing.claimHoldMs = 300;
        return timing;
    }
    ShortClaimHold() : RendezvousTest(shortHold()) {}
};

// A client that sends PASV and never connects holds the next claim of its
// address back for the bound, and no longer.
TEST_F(ShortClaimHold, AClaimThatNeverConnectsDelaysAnotherOnlyForTheBound) {
    test::TestClient second;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    ASSERT_NE(client.passive(), 0);
    ASSERT_TRUE(second.send("PASV\r\n"));
    EXPECT_EQ(second.readLine(100), "");
    EXPECT_NE(test::TestClient::passivePort(second.readLine()), 0);
    // The claim that never connected is still there and takes the first
    // connection of its address: past the bound, arrival order decides.
    test::TestClient data;
    ASSERT_TRUE(data.connect(server.dataPort()));
    EXPECT_EQ(client.command("RETR x.txt"), test::openingFile("x.txt", 14));
    EXPECT_EQ(data.readAll(), "the bytes of x");
    EXPECT_EQ(client.readLine(), test::kFileSent);
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

TEST_F(RendezvousTest, StrayAndSurplusConnectionsAreClosed) {
    // A client of another address waits throughout, so the data port is
    // accepted from all along.
    test::TestClient waiting;
    if (!test::logIn(waiting, server.controlPort(), "127.0.0.4")) {
        GTEST_SKIP() << "no second loopback address here";
    }
    listWithoutData(waiting);
    ASSERT_EQ(waiting.readLine(), kOpeningListing);

    // From an address with no claim at all.
    test::TestClient stray;
    ASSERT_TRUE(stray.connect(server.dataPort(), "127.0.0.3"));
    // Two from one client's address: the first serves its LIST, the second
    // finds its claim already served.
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

class ExpiringRendezvous : public RendezvousTest {
  protected:
    static Timing quickExpiry() {
        Timing timing;
        timing.waiterExpiryMs = 300;
        return timing;
    }
    ExpiringRendezvous() : RendezvousTest(quickExpiry()) {}
};

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

TEST_F(RendezvousTest, StopReachesClaimsHeldBack) {
    test::TestClient second;
    test::TestClient third;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    ASSERT_TRUE(test::logIn(third, server.controlPort()));
    ASSERT_EQ(test::transfer(third, "RETR present.txt").final, test::kFileSent);
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    // Both held back behind the first claim: a PASV, and a transfer that has
    // no claim of its own.
    ASSERT_TRUE(second.send("PASV\r\n"));
    ASSERT_TRUE(third.send("LIST\r\n"));
    EXPECT_TRUE(server.stop());
    for (test::TestClient* c : {&client, &second, &third}) {
        EXPECT_TRUE(c->waitForClose());
        EXPECT_EQ(c->pending(), "");
    }
}

class RendezvousAcrossWrap : public RendezvousTest {
  protected:
    // The server's ticks wrap 100 ms after the start; expiry stays 60 s.
    static Timing nearWrap() {
        Timing timing;
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

class ShortTimersAcrossWrap : public RendezvousTest {
  protected:
    // The server's ticks wrap 100 ms after the start.
    static Timing shortNearWrap() {
        Timing timing;
        timing.tickOffset = 0u - platform::tickCount() - 100u;
        timing.waiterExpiryMs = 400;
        timing.claimHoldMs = 400;
        return timing;
    }
    ShortTimersAcrossWrap() : RendezvousTest(shortNearWrap()) {}
};

// Both bounds still run out when the counter wraps while they run: the
// claim hold of a second PASV, and the expiry of a waiter never served.
TEST_F(ShortTimersAcrossWrap, TheClaimHoldAndTheExpiryRunOut) {
    test::TestClient second;
    ASSERT_TRUE(test::logIn(second, server.controlPort()));
    listWithoutData(client);
    ASSERT_EQ(client.readLine(), kOpeningListing);
    ASSERT_TRUE(second.send("PASV\r\n"));
    EXPECT_NE(test::TestClient::passivePort(second.readLine(10000)), 0);
    EXPECT_EQ(client.readLine(10000), test::kNoDataConnection);
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
