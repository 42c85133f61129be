// Sending whole texts on non-blocking sockets.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/net.h"

namespace kadrel {

struct ServerObj;

enum class SendResult {
    sent,       // every byte went out
    failed,     // the socket reported an error
    abandoned,  // stop was requested, or no byte moved for the server's send stall limit
};

// Sends exactly `count` bytes, waiting for the socket between attempts. A
// peer that stops reading cannot hold the thread (and with it stop) forever.
SendResult sendAll(ServerObj& server, platform::Socket s, const char* bytes, std::size_t count);

// The text's bytes, no line end added.
SendResult sendText(ServerObj& server, platform::Socket s, std::string_view text);

// The text followed by CR LF, in one send.
SendResult sendLine(ServerObj& server, platform::Socket s, std::string_view text);

}  // namespace kadrel
