// The control connection over real loopback sockets, seen byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "server/server_obj.h"
#include "tests/support/loopback_server.h"
#include "tests/support/test_client.h"

namespace kadrel {
namespace {

constexpr char kGreeting[] = "220 Service ready for new user.\r\n";
constexpr char kPasswordRequired[] = "331 Password required.\r\n";
constexpr char kNotLoggedIn[] = "530 Not logged in.\r\n";
constexpr char kLoginIncorrect[] = "530 Login incorrect.\r\n";
constexpr char kLoggedIn[] = "230 User logged in, proceed.\r\n";
constexpr char kGoodbye[] = "221 Goodbye.\r\n";
constexpr char kTooLong[] = "500 Command to long.\r\n";
constexpr char kNotImplemented[] =
    "502 Command not implemented or not implemented for that argument.\r\n";

class ControlConnectionTest : public testing::Test {
  protected:
    explicit ControlConnectionTest(Timing timing = {}) : server(timing) {
        server.addUser("alice", "secret", "/", false);
        server.addUser("", "blank", "/", false);
        server.addUser("spacey", " x", "/", false);
        server.addUser("nopass", "", "/", false);
    }
    void SetUp() override { ASSERT_TRUE(server.start()); }

    // A connected client that has read the greeting. A nonzero
    // receiveBufferBytes makes the server's unread replies back up sooner.
    void connect(test::TestClient& client, std::uint32_t receiveBufferBytes = 0) {
        ASSERT_TRUE(client.connect(server.controlPort(), nullptr, receiveBufferBytes));
        ASSERT_EQ(client.readLine(), kGreeting);
    }

    test::LoopbackServer server;
};

using Exchange = std::vector<std::pair<std::string, std::string>>;

void play(test::TestClient& client, const Exchange& exchange) {
    for (const auto& [line, expected] : exchange) {
        EXPECT_EQ(client.command(line), expected) << "after " << line;
    }
}

TEST_F(ControlConnectionTest, LoginDialogues) {
    const std::vector<Exchange> dialogues = {
        {{"user alice", kPasswordRequired}, {"PASS secret", kLoggedIn}},
        {{"USER alice", kPasswordRequired},
         {"PASS wrong", kLoginIncorrect},
         {"PASS secret", kLoggedIn}},  // the login name stays for a retry
        {{"PASS blank", kLoggedIn}},   // no USER: the empty login name
        {{"USER nopass", kPasswordRequired}, {"PASS", kLoggedIn}},
        {{"USER spacey", kPasswordRequired},
         {"PASS x", kLoginIncorrect},
         {"PASS  x", kLoggedIn}},  // the argument keeps its leading space
        {{"USER Alice", kPasswordRequired}, {"PASS secret", kLoginIncorrect}},
        {{"USER alice", kPasswordRequired}, {"pass secret", kLoggedIn}},
        {{"USER alice\r", kPasswordRequired}, {"PASS secret", kLoginIncorrect}},  // CR CR LF
        {{"NOOP", kNotLoggedIn},
         {"LIST", kNotLoggedIn},
         {"quit", kNotLoggedIn},
         {"USER", kNotLoggedIn},
         {"QUIT\r", kNotLoggedIn}},
    };
    for (const Exchange& dialogue : dialogues) {
        SCOPED_TRACE(dialogue.front().first);
        test::TestClient client;
        connect(client);
        play(client, dialogue);
    }
}

TEST_F(ControlConnectionTest, AfterLoginUserAndPassAreNotCommands) {
    test::TestClient client;
    connect(client);
    play(client, {{"USER alice", kPasswordRequired},
                  {"PASS secret", kLoggedIn},
                  {"USER alice", kNotImplemented},
                  {"PASS secret", kNotImplemented},
                  {"quit", kNotImplemented},
                  {"FOO bar", kNotImplemented},
                  {"QUIT", kGoodbye}});
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(client.pending(), "");
}

TEST_F(ControlConnectionTest, QuitBeforeLoginSaysGoodbyeAndCloses) {
    test::TestClient client;
    connect(client);
    EXPECT_EQ(client.command("QUIT"), kGoodbye);
    EXPECT_TRUE(client.waitForClose());
}

TEST_F(ControlConnectionTest, CommandsInOnePacketAreAnsweredInOrder) {
    test::TestClient client;
    connect(client);
    ASSERT_TRUE(client.send("USER alice\r\n\r\nNOOP\nPASS secret\r\nQUIT\r\n"));
    EXPECT_EQ(client.readAll(),
              std::string(kPasswordRequired) + kNotLoggedIn + kLoggedIn + kGoodbye);
}

TEST_F(ControlConnectionTest, PipelinedCommandsAreAllAnswered) {
    test::TestClient client;
    connect(client);
    std::string burst;
    for (int i = 0; i < 500; ++i) burst += "NOOP\r\n";
    ASSERT_TRUE(client.send(burst + "QUIT\r\n"));
    std::string expected;
    for (int i = 0; i < 500; ++i) expected += kNotLoggedIn;
    EXPECT_EQ(client.readAll(), expected + kGoodbye);
}

TEST_F(ControlConnectionTest, ABareLineEndGetsNoReply) {
    test::TestClient client;
    connect(client);
    ASSERT_TRUE(client.send("\r\n\n"));
    EXPECT_EQ(client.command("NOOP"), kNotLoggedIn);
    EXPECT_EQ(client.pending(), "");
}

TEST_F(ControlConnectionTest, AFullBufferWithoutLineEndGetsOne500AndTheTailIsALine) {
    test::TestClient client;
    connect(client);
    ASSERT_TRUE(client.send(std::string(4096, 'A')));
    EXPECT_EQ(client.readLine(), kTooLong);
    play(client, {{"USER alice", kPasswordRequired}, {"PASS secret", kLoggedIn}});
    EXPECT_EQ(client.pending(), "");
}

TEST_F(ControlConnectionTest, ALongLineCompletedInTheSameDrainIsHandled) {
    test::TestClient client;
    connect(client);
    // The first drain stops at 4096 bytes with the short line first; the
    // next one reads on past the limit up to the long line's end.
    std::string longUser = "USER " + std::string(4100, 'x');
    ASSERT_TRUE(client.send("NOOP\r\n" + longUser + "\r\nPASS secret\r\n"));
    EXPECT_EQ(client.readLine(), kNotLoggedIn);
    EXPECT_EQ(client.readLine(), kPasswordRequired);
    EXPECT_EQ(client.readLine(), kLoginIncorrect);
}

TEST_F(ControlConnectionTest, AnEmptyLineAtTheHeadOfAFullBufferDiscardsIt) {
    test::TestClient client;
    connect(client);
    // The first drain stops at 4096 bytes; after NOOP the second one tops the
    // buffer up past the limit, with the bare line end at its head.
    ASSERT_TRUE(client.send("NOOP\r\n\r\n" + std::string(5000, 'B') + "\r\n"));
    EXPECT_EQ(client.readLine(), kNotLoggedIn);
    EXPECT_EQ(client.readLine(), kTooLong);
    EXPECT_EQ(client.readLine(), kNotLoggedIn);  // the rest of the B line
    EXPECT_EQ(client.command("NOOP"), kNotLoggedIn);
}

Timing shortIdle(std::uint32_t tickOffset = 0) {
    Timing timing;
    timing.idleTimeoutMs = 400;
    timing.tickOffset = tickOffset;
    return timing;
}

class IdleTimeout : public ControlConnectionTest {
  protected:
    IdleTimeout() : ControlConnectionTest(shortIdle()) {}
};

// Sends `line` every 50 ms until the server closes the connection or
// `rounds` have passed; returns whether it closed.
bool keepSending(test::TestClient& client, const std::string& line, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        if (!client.send(line) || client.waitForClose(50)) return true;
    }
    return false;
}

TEST_F(IdleTimeout, EndsASilentClientWithoutAReply) {
    test::TestClient client;
    connect(client);
    EXPECT_TRUE(client.waitForClose(10000));
    EXPECT_EQ(client.pending(), "");
}

TEST_F(IdleTimeout, EmptyLinesDoNotKeepTheConnection) {
    test::TestClient client;
    connect(client);
    EXPECT_TRUE(keepSending(client, "\r\n", 200));  // 10 s: far beyond the 400 ms
    EXPECT_EQ(client.pending(), "");
}

TEST_F(IdleTimeout, CommandLinesKeepTheConnection) {
    test::TestClient client;
    connect(client);
    EXPECT_FALSE(keepSending(client, "NOOP\r\n", 30));  // 1.5 s of commands
    EXPECT_TRUE(client.waitForClose(10000));
}

class IdleTimeoutAcrossWrap : public ControlConnectionTest {
  protected:
    // The server's ticks start 300 ms before the 32-bit counter wraps.
    IdleTimeoutAcrossWrap() : ControlConnectionTest(shortIdle(0u - platform::tickCount() - 300u)) {}
};

TEST_F(IdleTimeoutAcrossWrap, NeitherFiresEarlyNorStopsFiring) {
    test::TestClient client;
    connect(client);
    // Commands every 50 ms carry the connection across the wrap.
    EXPECT_FALSE(keepSending(client, "NOOP\r\n", 20));
    EXPECT_TRUE(client.waitForClose(10000));
}

// A client that pipelines commands past QUIT and reads slowly: the server
// must not close while those commands are unread, since the reset that
// follows would destroy replies still on their way, the 221 among them.
TEST_F(ControlConnectionTest, InputAfterQuitDoesNotCostTheRepliesBeforeIt) {
    std::string expected;
    for (int i = 0; i < 400; ++i) expected += "200 NOOP ok.\r\n";
    expected += "221 Goodbye.\r\n";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        test::TestClient client;
        connect(client, 4096);
        ASSERT_EQ(client.command("USER alice"), kPasswordRequired);
        ASSERT_EQ(client.command("PASS secret"), kLoggedIn);
        std::string burst;
        for (int i = 0; i < 400; ++i) burst += "NOOP\r\n";
        burst += "QUIT\r\n";
        for (int i = 0; i < 4000; ++i) burst += "NOOP\r\n";
        ASSERT_TRUE(client.send(burst));
        std::string received = client.readAll(10000);
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected);
    }
}

// The receive buffer of a client that stops reading. With it, and with
// unknown commands that get 68-byte replies, some tens of thousands of
// commands back the replies up: a loopback connection buffers megabytes,
// which a slow platform (Wine, with a round trip to its server per socket
// call) would take over a minute to fill at 20 bytes a reply.
constexpr std::uint32_t kStalledReceiveBuffer = 4096;

// Logs in, then sends unknown commands whose replies are never read, until
// the server takes nothing more for a second (it is stuck sending a reply)
// or the connection fails; at most for a minute. The commands are long
// enough that a server still reading them, however slowly, reopens the
// window within that second.
void stopReading(test::TestClient& client) {
    ASSERT_EQ(client.command("USER alice"), kPasswordRequired);
    ASSERT_EQ(client.command("PASS secret"), kLoggedIn);
    std::string lines;
    const std::string line = std::string(60, 'X') + "\r\n";
    while (lines.size() < 24576) lines += line;
    std::size_t offset = 0;
    std::uint32_t start = platform::tickCount();
    std::uint32_t lastProgress = start;
    while (platform::tickCount() - start < 60000) {
        platform::IoResult r =
            platform::sendSome(client.socket(), lines.data() + offset, lines.size() - offset);
        if (r.status == platform::IoStatus::failed) return;
        if (r.count > 0) {
            offset = (offset + r.count) % lines.size();
            lastProgress = platform::tickCount();
        } else if (platform::tickCount() - lastProgress > 1000) {
            return;
        } else {
            platform::waitWritable(client.socket(), 10);
        }
    }
}

// Without reading anything: true once the server has reset the connection,
// which it does when it closes with our commands still unread.
bool resetWithinAMinute(test::TestClient& client) {
    for (int i = 0; i < 600; ++i) {
        if (platform::sendSome(client.socket(), "X\r\n", 3).status == platform::IoStatus::failed) {
            return true;
        }
        platform::sleepMs(100);
    }
    return false;
}

class StalledReader : public ControlConnectionTest {
  protected:
    static Timing shortStall() {
        Timing timing;
        timing.sendStallMs = 300;
        return timing;
    }
    StalledReader() : ControlConnectionTest(shortStall()) {}
};

TEST_F(StalledReader, AClientThatStopsReadingIsDisconnected) {
    test::TestClient client;
    connect(client, kStalledReceiveBuffer);
    ASSERT_NO_FATAL_FAILURE(stopReading(client));
    EXPECT_TRUE(resetWithinAMinute(client));
}

TEST_F(ControlConnectionTest, StopIsNotHeldByAClientThatStopsReading) {
    test::TestClient client;
    connect(client, kStalledReceiveBuffer);
    ASSERT_NO_FATAL_FAILURE(stopReading(client));
    EXPECT_TRUE(server.stop());  // the default 60 s stall limit is never reached
    EXPECT_EQ(server.threadCount(), 0u);
}

}  // namespace
}  // namespace kadrel
