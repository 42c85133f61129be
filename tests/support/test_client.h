// A raw FTP client for tests: sees every byte the server sends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/net.h"

namespace kadrel::test {

inline constexpr std::uint32_t kReplyTimeoutMs = 5000;
// A PASV reply may be held back while another claim of the same address
// waits for its data connection, for up to the server's claim hold time.
inline constexpr std::uint32_t kPassiveReplyTimeoutMs = 30000;

class TestClient {
  public:
    // Connects to 127.0.0.1:port, from another loopback address when one is
    // given; false when that fails. A nonzero receiveBufferBytes shrinks what
    // the server can send before it blocks.
    bool connect(std::uint16_t port, const char* localAddress = nullptr,
                 std::uint32_t receiveBufferBytes = 0);
    bool connected() const { return socket_.valid(); }

    // Sends every byte, waiting for the socket as needed; false when that
    // fails or takes longer than the time given.
    bool send(std::string_view bytes, std::uint32_t timeoutMs = kReplyTimeoutMs);

    // The next line including its CR LF, or "" when none arrives in time or
    // the connection ends first.
    std::string readLine(std::uint32_t timeoutMs = kReplyTimeoutMs);

    // Sends the line with CR LF and reads one reply line.
    std::string command(std::string_view line);

    // Sends PASV and returns the data port of the reply, 0 when the reply is
    // not a 227 for 127.0.0.1.
    std::uint16_t passive(std::uint32_t timeoutMs = kPassiveReplyTimeoutMs);

    // The data port of a 227 reply line for 127.0.0.1, or 0.
    static std::uint16_t passivePort(const std::string& reply);

    // True once the server has closed the connection (end of stream or a
    // reset) within the time given; unread bytes are kept.
    bool waitForClose(std::uint32_t timeoutMs = kReplyTimeoutMs);

    // Waits until at least `count` bytes are pending; false when the time is
    // over or the connection ends first.
    bool awaitBytes(std::size_t count, std::uint32_t timeoutMs = kReplyTimeoutMs);

    // Everything that arrives until the server closes the connection or the
    // time is over.
    std::string readAll(std::uint32_t timeoutMs = kReplyTimeoutMs);

    // Bytes received but not yet returned by readLine.
    const std::string& pending() const { return buffer_; }

    void close() { socket_.reset(); }
    platform::Socket socket() const { return socket_.get(); }

  private:
    enum class Fill { data, timeout, closed };
    Fill fill(std::uint32_t deadline);

    // The client's own reference: on Windows a stopping server's WSACleanup
    // must not be the one that takes the client's socket away. Declared
    // before the socket so that it is released after the socket is closed.
    platform::SocketLibrary library_;
    platform::UniqueSocket socket_;
    std::string buffer_;
    bool peerClosed_ = false;
};

}  // namespace kadrel::test
