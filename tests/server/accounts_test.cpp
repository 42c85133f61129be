// Accounts: who may log in, and what a login yields.
#include "server/accounts.h"

#include <gtest/gtest.h>

#include "server/server_obj.h"

namespace kadrel {
namespace {

class Accounts : public testing::Test {
  protected:
    ~Accounts() override { removeServerObj(server); }
    ServerObj* server = newServerObj();
};

TEST_F(Accounts, CredentialsAreComparedByteForByte) {
    addUser(server, "alice", "secret", "/srv/a", true);
    addUser(server, "alice", "other", "/srv/b", false);  // never reachable
    addUser(server, "nopass", "", "/srv/n", false);
    addUser(server, "bytes\xe9", "p\xff", "/srv/x", false);
    struct Case {
        const char* login;
        const char* password;
        bool accepted;
    };
    const Case cases[] = {
        {"alice", "secret", true},    {"alice", "other", false},     {"Alice", "secret", false},
        {"alice", "secret ", false},  {"alice", "Secret", false},    {"alice ", "secret", false},
        {"nopass", "", true},         {"nopass", " ", false},        {"", "", false},
        {"bytes\xe9", "p\xff", true}, {"bytes\xc9", "p\xff", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.login << "/" << c.password);
        EXPECT_EQ(checkCredentials(*server, c.login, c.password), c.accepted);
    }
}

TEST_F(Accounts, LookupYieldsTheDecidingAccount) {
    addUser(server, "bob", "pw", "D:\\odd path\\ ", true);
    addUser(server, "bob", "pw", "/second", false);
    std::string share = "untouched";
    bool writable = false;
    EXPECT_FALSE(lookupAccount(*server, "bob", "wrong", share, writable));
    EXPECT_EQ(share, "untouched");
    EXPECT_TRUE(lookupAccount(*server, "bob", "pw", share, writable));
    EXPECT_EQ(share, "D:\\odd path\\ ");
    EXPECT_TRUE(writable);
}

TEST_F(Accounts, NoAccountsRefuseEveryone) {
    EXPECT_FALSE(checkCredentials(*server, "", ""));
    EXPECT_FALSE(checkCredentials(*server, "anonymous", "guest"));
}

}  // namespace
}  // namespace kadrel
