// Commands of a logged-in client that are answered on the control
// connection, each reply byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/loopback_server.h"
#include "tests/support/temp_tree.h"
#include "tests/support/test_client.h"

namespace kadrel {
namespace {

constexpr char kNotImplemented[] =
    "502 Command not implemented or not implemented for that argument.\r\n";
constexpr char kChanged[] = "250 Directory successfully changed.\r\n";
constexpr char kNotChanged[] = "550 Failed to change directory.\r\n";
constexpr char kNotForParameter[] = "504 Command not implemented for that parameter.\r\n";

std::string pwdReply(const std::string& directory) {
    return "257 \"" + directory + "\" is current directory.\r\n";
}

class CommandsTest : public testing::Test {
  protected:
    void SetUp() override {
        tree.makeDirectory("pub/docs");
        tree.writeFile("readme.txt", "hi");
        server.addUser("alice", "secret", tree.rootText().c_str(), false);
        server.addUser("ghost", "boo", tree.local("missing").c_str(), false);
        ASSERT_TRUE(server.start());
        logIn(client, "alice", "secret");
    }

    void logIn(test::TestClient& c, const char* login, const char* password) {
        ASSERT_TRUE(c.connect(server.controlPort()));
        ASSERT_EQ(c.readLine(), "220 Service ready for new user.\r\n");
        ASSERT_EQ(c.command(std::string("USER ") + login), "331 Password required.\r\n");
        ASSERT_EQ(c.command(std::string("PASS ") + password), "230 User logged in, proceed.\r\n");
    }

    void play(const std::vector<std::pair<std::string, std::string>>& exchange) {
        for (const auto& [line, expected] : exchange) {
            EXPECT_EQ(client.command(line), expected) << "after " << line;
        }
    }

    test::TempTree tree;
    test::LoopbackServer server;
    test::TestClient client;
};

TEST_F(CommandsTest, DirectoryCommands) {
    play({
        {"PWD", pwdReply("/")},
        {"XPWD", pwdReply("/")},
        {"CDUP", kNotChanged},
        {"CWD ..", kNotChanged},
        {"CWD ", kNotChanged},
        {"PWD", pwdReply("/")},
        {"cwd pub", kChanged},
        {"PWD", pwdReply("/pub/")},
        {"CWD docs", kChanged},
        {"XPWD", pwdReply("/pub/docs/")},
        {"CDUP", kChanged},
        {"PWD", pwdReply("/pub/")},
        {"CWD /pub/nope", kNotChanged},
        {"PWD", pwdReply("/pub/")},
        {"CWD /", kChanged},
        {"CWD readme.txt", kChanged},  // a file's name is entered too
        {"PWD", pwdReply("/readme.txt/")},
        {"CWD /pub/../pub/./docs", kChanged},
        {"PWD", pwdReply("/pub/./docs/")},
        {"CWD", kNotImplemented},
        {"pwd", kNotImplemented},
    });
}

TEST_F(CommandsTest, TransferParametersAreAcknowledgedNotStored) {
    play({
        {"TYPE I", "200 Type set to I.\r\n"},
        {"type A", "200 Type set to A.\r\n"},
        {"TYPE i", kNotForParameter},
        {"TYPE L 8", kNotForParameter},
        {"TYPE A N", kNotForParameter},
        {"TYPE  I", kNotForParameter},
        {"TYPE ", kNotForParameter},
        {"TYPE", kNotImplemented},
        {"STRU F", "200 Structure set to F.\r\n"},
        {"STRU R", kNotForParameter},
        {"MODE S", "200 Mode set to S.\r\n"},
        {"MODE B", kNotForParameter},
    });
}

TEST_F(CommandsTest, SystemNoopAndUnknownCommands) {
    play({
        {"SYST", "215 UNIX Type: L8\r\n"},
        {"NOOP", "200 NOOP ok.\r\n"},
        {"NOOP", "200 NOOP ok.\r\n"},
        {"LIST -a", kNotImplemented},
        {"EPSV", kNotImplemented},
        {"FEAT", kNotImplemented},
        {"DELE readme.txt", kNotImplemented},
        {"syst", kNotImplemented},
        {"QUIT", "221 Goodbye.\r\n"},
    });
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(client.pending(), "");
    EXPECT_TRUE(std::filesystem::exists(tree.local("readme.txt")));
}

TEST_F(CommandsTest, AShareThatDoesNotExistShowsTheRootAndRefusesEveryChange) {
    test::TestClient ghost;
    logIn(ghost, "ghost", "boo");
    EXPECT_EQ(ghost.command("PWD"), pwdReply("/"));
    EXPECT_EQ(ghost.command("CWD pub"), kNotChanged);
    EXPECT_EQ(ghost.command("CWD /"), kChanged);
}

TEST_F(CommandsTest, AVanishedDirectoryIsLeftForItsNearestAncestor) {
    tree.makeDirectory("pub/tmp/inner");
    ASSERT_EQ(client.command("CWD /pub/tmp/inner"), kChanged);
    std::filesystem::remove_all(tree.local("pub/tmp"));
    EXPECT_EQ(client.command("PWD"), pwdReply("/pub/"));
}

TEST_F(CommandsTest, EachLoginStartsAtTheRoot) {
    ASSERT_EQ(client.command("CWD pub"), kChanged);
    test::TestClient second;
    logIn(second, "alice", "secret");
    EXPECT_EQ(second.command("PWD"), pwdReply("/"));
    EXPECT_EQ(client.command("PWD"), pwdReply("/pub/"));
}

}  // namespace
}  // namespace kadrel
