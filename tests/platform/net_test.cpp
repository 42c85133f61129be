// Sending a file over a connection: the kernel's way (sendFileSome) and the
// portable copy give the same bytes and the same outcomes.
#include "platform/net.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>

#include "platform/files.h"
#include "tests/support/temp_tree.h"
#include "tests/support/test_client.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace kadrel::platform {
namespace {

using SendFile = IoResult (*)(Socket, ReadOnlyFile&, std::int64_t, std::size_t);

struct Way {
    const char* name;
    SendFile send;
};
const Way kWays[] = {{"sendFileSome", sendFileSome}, {"sendFileByCopy", sendFileByCopy}};

std::string randomBytes(std::size_t count) {
    std::mt19937 random(7);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

class FileSend : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(library.acquire());
        contents = randomBytes(3 * kFileCopyBytes + 7);  // several copies' worth
        tree.writeFile("data", contents);
        ASSERT_TRUE(file.open(tree.local("data")));
        connect();
    }

    // A fresh loopback connection: `client` at one end, `sender` (non-blocking)
    // at the other.
    void connect() {
        UniqueSocket listening(createTcpSocket());
        std::mt19937 pick{std::random_device{}()};
        std::uniform_int_distribution<int> port(30000, 40000);
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto candidate = static_cast<std::uint16_t>(port(pick));
            if (!bindToAnyInterface(listening.get(), candidate)) continue;
            ASSERT_TRUE(startListening(listening.get()));
            ASSERT_TRUE(client.connect(candidate));
            sender.reset(acceptConnection(listening.get()));
            ASSERT_TRUE(sender.valid());
            ASSERT_TRUE(setNonBlocking(sender.get()));
            return;
        }
        FAIL() << "no free port";
    }

    // Sends the file from `offset` to its end; the client reads whenever the
    // connection is full, and at the end everything sent. Returns the status
    // that ended the sending.
    IoStatus sendToEnd(SendFile send, std::int64_t offset) {
        std::size_t expected = client.pending().size();
        const auto end = static_cast<std::int64_t>(contents.size());
        while (offset < end) {
            IoResult r = send(sender.get(), file, offset, static_cast<std::size_t>(end - offset));
            if (r.status == IoStatus::wouldBlock) {
                if (!client.awaitBytes(expected)) return IoStatus::wouldBlock;  // stuck
                continue;
            }
            if (r.status != IoStatus::ok) {
                EXPECT_TRUE(client.awaitBytes(expected));
                return r.status;
            }
            EXPECT_GT(r.count, 0u);
            offset += static_cast<std::int64_t>(r.count);
            expected += r.count;
        }
        EXPECT_TRUE(client.awaitBytes(expected));
        return IoStatus::ok;
    }

    SocketLibrary library;
    test::TempTree tree;
    std::string contents;
    ReadOnlyFile file;
    test::TestClient client;
    UniqueSocket sender;
};

TEST_F(FileSend, BytesFromAnyOffsetArriveIntact) {
    const std::int64_t size = static_cast<std::int64_t>(contents.size());
    for (const Way& way : kWays) {
        for (std::int64_t offset :
             {std::int64_t{0}, std::int64_t{1}, std::int64_t{kFileCopyBytes}, size / 2, size - 1}) {
            SCOPED_TRACE(std::string(way.name) + " from " + std::to_string(offset));
            connect();
            EXPECT_EQ(sendToEnd(way.send, offset), IoStatus::ok);
            EXPECT_TRUE(client.pending() == contents.substr(static_cast<std::size_t>(offset)));
        }
    }
}

TEST_F(FileSend, AtMostTheCountIsSent) {
    for (const Way& way : kWays) {
        SCOPED_TRACE(way.name);
        connect();
        IoResult r = way.send(sender.get(), file, 10, 5);
        ASSERT_EQ(r.status, IoStatus::ok);
        ASSERT_GE(r.count, 1u);
        ASSERT_LE(r.count, 5u);
        ASSERT_TRUE(client.awaitBytes(r.count));
        EXPECT_EQ(client.pending(), contents.substr(10, r.count));
    }
}

TEST_F(FileSend, NothingAtTheOffsetIsAReadFailure) {
    const std::int64_t size = static_cast<std::int64_t>(contents.size());
    for (const Way& way : kWays) {
        for (std::int64_t offset : {size, size + 1, std::int64_t{5} << 30}) {
            SCOPED_TRACE(std::string(way.name) + " at " + std::to_string(offset));
            EXPECT_EQ(way.send(sender.get(), file, offset, 100).status, IoStatus::readFailed);
        }
    }
    // A file that shrinks under the sender: what is left goes, then the end.
    std::filesystem::resize_file(tree.local("data"), 100);
    for (const Way& way : kWays) {
        SCOPED_TRACE(way.name);
        connect();
        EXPECT_EQ(sendToEnd(way.send, 40), IoStatus::readFailed);
        EXPECT_EQ(client.pending(), contents.substr(40, 60));
    }
}

#ifndef _WIN32
// Counts SIGPIPE while it lives: a send that raised it would end a host
// that keeps the default action.
std::atomic<int> sigpipeCount{0};
class SigpipeCounter {
  public:
    SigpipeCounter() {
        struct sigaction count {};
        count.sa_handler = [](int) { sigpipeCount.fetch_add(1); };
        ::sigemptyset(&count.sa_mask);
        ::sigaction(SIGPIPE, &count, &previous_);
    }
    ~SigpipeCounter() { ::sigaction(SIGPIPE, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};
#endif

TEST_F(FileSend, AConnectionThePeerHasLeftFailsQuietly) {
#ifndef _WIN32
    SigpipeCounter counter;
#endif
    for (const Way& way : kWays) {
        SCOPED_TRACE(way.name);
        connect();
        ASSERT_EQ(way.send(sender.get(), file, 0, 100).status, IoStatus::ok);
        ASSERT_TRUE(client.awaitBytes(1));
        client.close();  // with unread bytes: the peer resets the connection
        // Whole-file sends, so that the reset can also come in the middle
        // of one (which then reports the bytes it sent, and no error).
        IoStatus status = IoStatus::ok;
        for (int attempt = 0; attempt < 200 && status != IoStatus::failed; ++attempt) {
            status = way.send(sender.get(), file, 0, contents.size()).status;
            ASSERT_NE(status, IoStatus::readFailed);
            if (status != IoStatus::failed) waitWritable(sender.get(), 10);
        }
        EXPECT_EQ(status, IoStatus::failed);
        // Later sends on the dead connection meet EPIPE, where sendfile
        // would raise the signal.
        for (int again = 0; again < 3; ++again) {
            EXPECT_EQ(way.send(sender.get(), file, 0, 100).status, IoStatus::failed);
        }
    }
#ifndef _WIN32
    EXPECT_EQ(sigpipeCount.load(), 0);
#endif
}

}  // namespace
}  // namespace kadrel::platform
