#include "tests/support/ftp_session.h"

namespace kadrel::test {

bool logIn(TestClient& client, std::uint16_t port, const char* localAddress) {
    return client.connect(port, localAddress) &&
           client.readLine() == "220 Service ready for new user.\r\n" &&
           client.command("USER alice") == "331 Password required.\r\n" &&
           client.command("PASS secret") == "230 User logged in, proceed.\r\n";
}

Transfer transfer(TestClient& client, const std::string& command) {
    Transfer result;
    std::uint16_t port = client.passive();
    TestClient data;
    if (port == 0 || !data.connect(port)) return result;
    result.preliminary = client.command(command);
    if (result.preliminary.rfind("150 ", 0) != 0) return result;
    result.data = data.readAll(30000);
    result.final = client.readLine(30000);
    return result;
}

std::string openingFile(const std::string& name, long long size) {
    return "150 Opening BINARY mode data connection for " + name + " (" + std::to_string(size) +
           ").\r\n";
}

}  // namespace kadrel::test
