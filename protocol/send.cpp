#include "protocol/send.h"

#include <string>

#include "server/server_obj.h"

namespace kadrel {

SendResult sendAll(ServerObj& server, platform::Socket s, const char* bytes, std::size_t count) {
    std::size_t sent = 0;
    std::uint32_t lastProgress = server.now();
    while (sent < count) {
        platform::IoResult r = platform::sendSome(s, bytes + sent, count - sent);
        if (r.status == platform::IoStatus::failed) return SendResult::failed;
        if (r.count > 0) {
            sent += r.count;
            lastProgress = server.now();
            continue;
        }
        std::uint32_t left = timeLeft(server.now(), lastProgress, server.timing.sendStallMs);
        if (left == 0 ||
            waitForSocket(server, s, platform::Interest::writable, left) == Woken::stopping) {
            return SendResult::abandoned;
        }
    }
    return SendResult::sent;
}

SendResult sendText(ServerObj& server, platform::Socket s, std::string_view text) {
    return sendAll(server, s, text.data(), text.size());
}

SendResult sendLine(ServerObj& server, platform::Socket s, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    return sendText(server, s, line);
}

}  // namespace kadrel
