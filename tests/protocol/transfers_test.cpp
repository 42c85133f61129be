// Passive mode, restart offsets, LIST and RETR over loopback, seen byte for
// byte on both connections.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/clock.h"
#include "protocol/transfers.h"
#include "tests/support/ftp_session.h"

namespace kadrel {
namespace {

using test::kCannotOpen;
using test::kFileSent;
using test::kListingSent;
using test::kOpeningListing;
using test::openingFile;
using test::transfer;

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

class TransfersTest : public testing::Test {
  protected:
    explicit TransfersTest(Timing timing = {}) : server(timing) {}

    void SetUp() override {
        tree.makeDirectory("sub");
        tree.makeDirectory("emptydir");
        tree.writeFile("f250", randomBytes(250, 1));
        tree.writeFile("empty", "");
        tree.writeFile("sub/name with spaces.txt", "spaced");
        server.addUser("alice", "secret", tree.rootText().c_str(), false);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(test::logIn(client, server.controlPort()));
    }

    std::string contents(const std::string& name) {
        std::ifstream in(tree.local(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    test::TempTree tree;
    test::LoopbackServer server;
    test::TestClient client;
};

TEST_F(TransfersTest, PassiveReplyNamesTheControlAddressAndTheDataPort) {
    std::string expected = "227 Entering Passive Mode (127,0,0,1," +
                           std::to_string(server.dataPort() / 256) + "," +
                           std::to_string(server.dataPort() % 256) + ")\r\n";
    EXPECT_EQ(client.command("PASV"), expected);
    EXPECT_EQ(client.command("PASV"), expected);
}

TEST(RestartOffset, ParsesLikeASigned64BitDecimal) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"", 0},
        {"abc", 0},
        {"-5", 0},
        {"100", 100},
        {"  +42x", 42},
        {"\t7", 7},
        {"12 34", 12},
        {"0099", 99},
        {"9223372036854775807", INT64_MAX},
        {"99999999999999999999", INT64_MAX},
        {"-99999999999999999999", 0},
        {"4294967296", 4294967296LL},
    };
    for (const auto& [argument, offset] : cases) {
        EXPECT_EQ(parseRestartOffset(argument), offset) << argument;
    }
}

TEST_F(TransfersTest, RestRepliesShowTheOffsetTaken) {
    const std::pair<const char*, const char*> cases[] = {
        {"REST", "350 Restart position accepted (0).\r\n"},
        {"REST ", "350 Restart position accepted (0).\r\n"},
        {"REST abc", "350 Restart position accepted (0).\r\n"},
        {"REST -5", "350 Restart position accepted (0).\r\n"},
        {"rest 100", "350 Restart position accepted (100).\r\n"},
        {"REST 5000000000", "350 Restart position accepted (5000000000).\r\n"},
        {"RESTART", test::kNotImplemented},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(client.command(line), expected) << line;
}

// RETR from a restart offset (0: no REST); `expected` is what the data
// connection must carry.
void expectRetr(test::TestClient& client, std::uint16_t dataPort, const std::string& name,
                long long size, long long offset, const std::string& expected) {
    SCOPED_TRACE(name + " from " + std::to_string(offset));
    if (offset > 0) {
        ASSERT_EQ(client.command("REST " + std::to_string(offset)),
                  "350 Restart position accepted (" + std::to_string(offset) + ").\r\n");
    }
    test::TestClient data;
    ASSERT_TRUE(data.connect(dataPort));
    EXPECT_EQ(client.command("RETR " + name), openingFile(name, size));  // always the full size
    std::string received = data.readAll(30000);
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(client.readLine(30000), kFileSent);
}

TEST_F(TransfersTest, FilesArriveByteForByteFromAnyOffset) {
    ASSERT_NE(client.passive(), 0);
    for (std::size_t size :
         {std::size_t{1}, std::size_t{4096}, std::size_t{5 * 1024 * 1024 + 123}}) {
        const std::string name = "f" + std::to_string(size);
        const std::string bytes = randomBytes(size, static_cast<unsigned>(size));
        tree.writeFile(name, bytes);
        for (std::size_t offset : {std::size_t{0}, size / 2, size - 1}) {
            expectRetr(client, server.dataPort(), name, static_cast<long long>(size),
                       static_cast<long long>(offset), bytes.substr(offset));
        }
    }
}

TEST_F(TransfersTest, RestartOffsetsBeyondFourGibibytes) {
    // Sparse: five gibibytes of nothing, then a few kilobytes of data.
    constexpr long long kHole = 5LL << 30;
    const std::string tail = randomBytes(4096, 4);
    tree.writeFile("sparse.bin", "");
    std::filesystem::resize_file(tree.local("sparse.bin"), kHole);
    {
        std::ofstream out(tree.local("sparse.bin"), std::ios::binary | std::ios::app);
        out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    }
    const long long size = kHole + static_cast<long long>(tail.size());
    ASSERT_NE(client.passive(), 0);
    expectRetr(client, server.dataPort(), "sparse.bin", size, kHole - 5,
               std::string(5, '\0') + tail);
    expectRetr(client, server.dataPort(), "sparse.bin", size, kHole + 1000, tail.substr(1000));
    expectRetr(client, server.dataPort(), "sparse.bin", size, size, "");
}

TEST_F(TransfersTest, RestartOffsetAppliesOnlyToTheRetrDirectlyAfterRest) {
    const std::string all = contents("f250");
    ASSERT_EQ(client.command("PASV").substr(0, 4), "227 ");
    ASSERT_EQ(client.command("REST 100"), "350 Restart position accepted (100).\r\n");
    test::TestClient data;
    ASSERT_TRUE(data.connect(server.dataPort()));
    EXPECT_EQ(client.command("RETR f250"), openingFile("f250", 250));  // full size announced
    EXPECT_EQ(data.readAll(), all.substr(100));
    EXPECT_EQ(client.readLine(), kFileSent);

    EXPECT_EQ(transfer(client, "RETR f250").data, all);  // PASV came in between

    // A refused RETR between them does not break the link.
    EXPECT_EQ(client.command("REST 200"), "350 Restart position accepted (200).\r\n");
    EXPECT_EQ(client.command("RETR missing"), kCannotOpen);
    EXPECT_EQ(client.command("RETR "), kCannotOpen);
    test::TestClient again;
    ASSERT_TRUE(again.connect(server.dataPort()));
    EXPECT_EQ(client.command("RETR /f250"), openingFile("/f250", 250));
    EXPECT_EQ(again.readAll(), all.substr(200));
    EXPECT_EQ(client.readLine(), kFileSent);

    // Any other command does.
    EXPECT_EQ(client.command("REST 200").substr(0, 4), "350 ");
    EXPECT_EQ(client.command("NOOP"), "200 NOOP ok.\r\n");
    test::TestClient third;
    ASSERT_TRUE(third.connect(server.dataPort()));
    EXPECT_EQ(client.command("RETR f250"), openingFile("f250", 250));
    EXPECT_EQ(third.readAll(), all);
    EXPECT_EQ(client.readLine(), kFileSent);
}

TEST_F(TransfersTest, NothingToSendStillCompletes) {
    for (const char* offset : {"250", "1000", "9223372036854775807"}) {
        SCOPED_TRACE(offset);
        ASSERT_NE(client.passive(), 0);
        ASSERT_EQ(client.command(std::string("REST ") + offset).substr(0, 4), "350 ");
        test::TestClient data;
        ASSERT_TRUE(data.connect(server.dataPort()));
        EXPECT_EQ(client.command("RETR f250"), openingFile("f250", 250));
        EXPECT_EQ(data.readAll(), "");
        EXPECT_EQ(client.readLine(), kFileSent);
    }
    test::Transfer empty = transfer(client, "RETR empty");
    EXPECT_EQ(empty.preliminary, openingFile("empty", 0));
    EXPECT_EQ(empty.data, "");
    EXPECT_EQ(empty.final, kFileSent);
}

TEST_F(TransfersTest, RefusedTransfers) {
    test::TestClient fresh;
    ASSERT_TRUE(test::logIn(fresh, server.controlPort()));
    EXPECT_EQ(fresh.command("RETR missing"), test::kUsePasvFirst);
    EXPECT_EQ(fresh.command("RETR f250"), test::kUsePasvFirst);
    EXPECT_EQ(fresh.command("LIST"), test::kUsePasvFirst);

    ASSERT_NE(client.passive(), 0);
    for (const char* line : {"RETR missing", "RETR ", "RETR sub", "RETR ../f250", "RETR nope/f250",
                             "RETR /", "RETR .."}) {
        EXPECT_EQ(client.command(line), kCannotOpen) << line;
    }
    for (const char* line : {"RETR", "LIST -a", "LIST sub", "NLST", "MLSD", "EPSV", "list"}) {
        EXPECT_EQ(client.command(line), test::kNotImplemented) << line;
    }
}

#ifndef _WIN32
TEST_F(TransfersTest, PosixOnlyRegularFilesAreServed) {
    ASSERT_EQ(::mkfifo(tree.local("fifo").c_str(), 0600), 0);
    ASSERT_NE(client.passive(), 0);
    EXPECT_EQ(client.command("RETR fifo"), kCannotOpen);  // and the thread did not hang
    EXPECT_EQ(client.command("NOOP"), "200 NOOP ok.\r\n");
}
#endif

TEST_F(TransfersTest, TwoTransfersAfterOnePasv) {
    ASSERT_NE(client.passive(), 0);
    for (int round = 0; round < 2; ++round) {
        test::TestClient data;
        ASSERT_TRUE(data.connect(server.dataPort()));
        EXPECT_EQ(client.command("RETR sub/name with spaces.txt"),
                  openingFile("sub/name with spaces.txt", 6));
        EXPECT_EQ(data.readAll(), "spaced");
        EXPECT_EQ(client.readLine(), kFileSent);
    }
}

TEST_F(TransfersTest, ListingsOverTheDataConnection) {
    ASSERT_EQ(client.command("CWD emptydir"), "250 Directory successfully changed.\r\n");
    test::Transfer empty = transfer(client, "LIST");
    EXPECT_EQ(empty.preliminary, kOpeningListing);
    EXPECT_EQ(empty.data, "");
    EXPECT_EQ(empty.final, kListingSent);

    ASSERT_EQ(client.command("CWD /sub").substr(0, 4), "250 ");
    test::Transfer sub = transfer(client, "LIST");
    EXPECT_EQ(sub.data.substr(0, 25), "-r-------- 1 alice ftp 6 ");
    EXPECT_TRUE(sub.data.ends_with(" name with spaces.txt\r\n")) << sub.data;
    EXPECT_EQ(sub.final, kListingSent);
}

TEST_F(TransfersTest, ListingWhereThereIsNoFolderGives426) {
    tree.makeDirectory("doomed");
    ASSERT_EQ(client.command("CWD doomed").substr(0, 4), "250 ");
    std::filesystem::remove(tree.local("doomed"));
    test::Transfer vanished = transfer(client, "LIST");
    EXPECT_EQ(vanished.preliminary, kOpeningListing);
    EXPECT_EQ(vanished.data, "");
    EXPECT_EQ(vanished.final, "426 Not a folder or not accessible.\r\n");

    ASSERT_EQ(client.command("CWD /f250").substr(0, 4), "250 ");  // a file's name
    EXPECT_EQ(transfer(client, "LIST").final, "426 Not a folder or not accessible.\r\n");
    EXPECT_EQ(client.command("NOOP"), "200 NOOP ok.\r\n");
}

// A download far larger than what a data connection with a small receive
// window can hold, begun on `data`; the test client reads no further.
void startHugeRetr(test::TempTree& tree, test::TestClient& client, test::TestClient& data) {
    constexpr long long kSize = 8 * 1024 * 1024;
    tree.writeFile("huge.bin", randomBytes(kSize, 3));
    std::uint16_t port = client.passive();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(data.connect(port, nullptr, 4096));
    ASSERT_EQ(client.command("RETR huge.bin"), openingFile("huge.bin", kSize));
    ASSERT_TRUE(data.awaitBytes(1));
}

TEST_F(TransfersTest, AClientClosingItsDataConnectionGets426) {
    test::TestClient data;
    startHugeRetr(tree, client, data);
    data.close();
    EXPECT_EQ(client.readLine(30000), "426 Failure writing network stream.\r\n");
    EXPECT_EQ(client.command("NOOP"), "200 NOOP ok.\r\n");
}

TEST_F(TransfersTest, StopDuringRetrEndsWithFileSentAndCloses) {
    test::TestClient data;
    startHugeRetr(tree, client, data);
    EXPECT_TRUE(server.stop());
    EXPECT_EQ(client.readLine(), kFileSent);
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(client.pending(), "");
}

TEST_F(TransfersTest, AFileThatShrinksUnderTheDownloadIsAReadFailure) {
    test::TestClient data;
    startHugeRetr(tree, client, data);
    std::filesystem::resize_file(tree.local("huge.bin"), 1024 * 1024);
    std::string received = data.readAll(30000);
    EXPECT_LT(received.size(), 8u * 1024 * 1024);
    EXPECT_EQ(client.readLine(), "426 Failed to read from file.\r\n");
}

class StalledDataReader : public TransfersTest {
  protected:
    static Timing shortStall() {
        Timing timing;
        timing.sendStallMs = 300;
        return timing;
    }
    StalledDataReader() : TransfersTest(shortStall()) {}
};

TEST_F(StalledDataReader, ADownloadNobodyReadsEndsWith426) {
    test::TestClient data;
    startHugeRetr(tree, client, data);  // and never read again
    EXPECT_EQ(client.readLine(10000), "426 Failure writing network stream.\r\n");
    EXPECT_EQ(client.command("NOOP"), "200 NOOP ok.\r\n");
}

class StalledDataReaderAcrossWrap : public TransfersTest {
  protected:
    // The server's ticks wrap about when the download stalls.
    static Timing shortStallNearWrap() {
        Timing timing;
        timing.sendStallMs = 300;
        timing.tickOffset = 0u - platform::tickCount() - 150u;
        return timing;
    }
    StalledDataReaderAcrossWrap() : TransfersTest(shortStallNearWrap()) {}
};

TEST_F(StalledDataReaderAcrossWrap, TheStallBoundStillRunsOut) {
    test::TestClient data;
    startHugeRetr(tree, client, data);
    EXPECT_EQ(client.readLine(10000), "426 Failure writing network stream.\r\n");
}

// A listing far larger than the socket buffers of a server and a client
// that both keep them small: a few hundred long names, made once for the
// suite.
class LongListing : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree = new test::TempTree;
        std::string stem(240, 'n');
        for (int i = 0; i < 400; ++i) tree->writeFile(stem + std::to_string(i), "");
    }
    static void TearDownTestSuite() {
        delete tree;
        tree = nullptr;
    }

    void SetUp() override {
        server.addUser("alice", "secret", tree->rootText().c_str(), false);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(test::logIn(client, server.controlPort()));
    }

    // Returns once the listing has begun to arrive on `data`.
    void startLongListing(test::TestClient& data) {
        ASSERT_NE(client.passive(), 0);
        ASSERT_TRUE(data.connect(server.dataPort(), nullptr, 4096));
        ASSERT_EQ(client.command("LIST"), kOpeningListing);
        // Generous: each entry costs a file-type query, slow under emulation.
        ASSERT_EQ(data.readLine(60000).substr(0, 10), "-r--------");
    }

    static test::TempTree* tree;
    static Timing smallDataBuffers() {
        Timing timing;
        timing.dataSendBufferBytes = 4096;
        return timing;
    }

    test::LoopbackServer server{smallDataBuffers()};
    test::TestClient client;
};

test::TempTree* LongListing::tree = nullptr;

TEST_F(LongListing, AClientClosingItsDataConnectionGets426) {
    test::TestClient data;
    startLongListing(data);
    data.close();
    EXPECT_EQ(client.readLine(30000), "426 Failure writing network stream.\r\n");
    EXPECT_EQ(client.command("NOOP"), "200 NOOP ok.\r\n");
}

TEST_F(LongListing, StopEndsItWithoutAFinalReply) {
    test::TestClient data;
    startLongListing(data);
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(client.pending(), "");
}

}  // namespace
}  // namespace kadrel
