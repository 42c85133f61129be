#include "server/accounts.h"

#include <memory>
#include <mutex>

#include "server/server_obj.h"

namespace kadrel {
namespace {

// Under the server's lock: the account that decides for this login, if any.
const UserAccount* decidingAccount(const ServerObj& server, const std::string& login) {
    for (const auto& account : server.accounts) {
        if (account->login == login) return account.get();
    }
    return nullptr;
}

}  // namespace

void addAccount(ServerObj& server, const char* login, const char* password, const char* share,
                bool writable) {
    auto account = std::make_unique<UserAccount>();
    account->login = login;
    account->password = password;
    account->shareDirectory = share;
    account->writable = writable;
    std::lock_guard guard(server.lock);
    server.accounts.push_back(std::move(account));
}

bool checkCredentials(ServerObj& server, std::string login, std::string password) {
    std::lock_guard guard(server.lock);
    const UserAccount* account = decidingAccount(server, login);
    return account != nullptr && account->password == password;
}

bool lookupAccount(ServerObj& server, std::string login, std::string password,
                   std::string& shareDirectory, bool& writable) {
    std::lock_guard guard(server.lock);
    const UserAccount* account = decidingAccount(server, login);
    if (account == nullptr || account->password != password) return false;
    shareDirectory = account->shareDirectory;
    writable = account->writable;
    return true;
}

}  // namespace kadrel
