// A logged-in test session on a loopback server with a temporary share:
// control connection, passive data connections, whole transfers.
#pragma once

#include <string>

#include "tests/support/loopback_server.h"
#include "tests/support/temp_tree.h"
#include "tests/support/test_client.h"

namespace kadrel::test {

inline constexpr char kFileSent[] = "226 File send OK.\r\n";
inline constexpr char kListingSent[] = "226 Transfer complete.\r\n";
inline constexpr char kOpeningListing[] = "150 Opening ASCII mode data connection for listing.\r\n";
inline constexpr char kCannotOpen[] = "550 Failed to open file.\r\n";
inline constexpr char kUsePasvFirst[] = "425 Use PASV first.\r\n";
inline constexpr char kNoDataConnection[] = "425 Unable to open data connection.\r\n";
inline constexpr char kNotImplemented[] =
    "502 Command not implemented or not implemented for that argument.\r\n";

// Logs `client` in as alice/secret; false on any unexpected reply.
bool logIn(TestClient& client, std::uint16_t port, const char* localAddress = nullptr);

// What one transfer command produced.
struct Transfer {
    std::string preliminary;  // the 150 line, or the refusal
    std::string data;         // every byte of the data connection
    std::string final;        // the reply after the data, "" when refused
};

// PASV, connect the data connection, send `command`, read it all.
Transfer transfer(TestClient& client, const std::string& command);

// The 150 reply of RETR for a name and size.
std::string openingFile(const std::string& name, long long size);

}  // namespace kadrel::test
