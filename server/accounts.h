// User accounts of a server: added by the host, consulted at login, never
// changed or removed while their server exists.
#pragma once

#include <string>

namespace kadrel {

struct ServerObj;

struct UserAccount {
    std::string login;
    std::string password;
    std::string shareDirectory;  // local directory that is the user's root, as given
    bool writable = false;
};

// Appends an account; the texts are stored byte for byte, unchecked.
void addAccount(ServerObj& server, const char* login, const char* password, const char* share,
                bool writable);

// The first account with this login decides; its password must match byte for byte.
bool checkCredentials(ServerObj& server, std::string login, std::string password);

// Same decision; on true also fills in the share directory and writable flag.
bool lookupAccount(ServerObj& server, std::string login, std::string password,
                   std::string& shareDirectory, bool& writable);

}  // namespace kadrel
