#include "tests/support/test_client.h"

#include <cstdio>

#include "platform/clock.h"

namespace kadrel::test {
namespace {

bool before(std::uint32_t deadline) {
    return static_cast<std::int32_t>(deadline - platform::tickCount()) > 0;
}

}  // namespace

bool TestClient::connect(std::uint16_t port, const char* localAddress,
                         std::uint32_t receiveBufferBytes) {
    if (!library_.held() && !library_.acquire()) return false;
    socket_.reset(platform::connectTo("127.0.0.1", port, localAddress, receiveBufferBytes));
    buffer_.clear();
    peerClosed_ = false;
    return socket_.valid() && platform::setNonBlocking(socket_.get());
}

bool TestClient::send(std::string_view bytes, std::uint32_t timeoutMs) {
    std::uint32_t deadline = platform::tickCount() + timeoutMs;
    while (!bytes.empty() && before(deadline)) {
        platform::IoResult r = platform::sendSome(socket_.get(), bytes.data(), bytes.size());
        if (r.status == platform::IoStatus::failed) return false;
        if (r.count == 0) platform::waitWritable(socket_.get(), 10);
        bytes.remove_prefix(r.count);
    }
    return bytes.empty();
}

TestClient::Fill TestClient::fill(std::uint32_t deadline) {
    if (peerClosed_) return Fill::closed;
    while (before(deadline)) {
        char chunk[65536];
        platform::IoResult r = platform::receiveSome(socket_.get(), chunk, sizeof chunk);
        if (r.status == platform::IoStatus::ok) {
            buffer_.append(chunk, r.count);
            return Fill::data;
        }
        if (r.status != platform::IoStatus::wouldBlock) {
            peerClosed_ = true;
            return Fill::closed;
        }
        platform::waitReadable(socket_.get(), 10);
    }
    return Fill::timeout;
}

std::string TestClient::readLine(std::uint32_t timeoutMs) {
    std::uint32_t deadline = platform::tickCount() + timeoutMs;
    while (true) {
        std::size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = buffer_.substr(0, lf + 1);
            buffer_.erase(0, lf + 1);
            return line;
        }
        if (fill(deadline) != Fill::data) return {};
    }
}

std::string TestClient::command(std::string_view line) {
    std::string bytes(line);
    bytes += "\r\n";
    if (!send(bytes)) return {};
    return readLine();
}

std::uint16_t TestClient::passive(std::uint32_t timeoutMs) {
    if (!send("PASV\r\n")) return 0;
    return passivePort(readLine(timeoutMs));
}

std::uint16_t TestClient::passivePort(const std::string& reply) {
    unsigned high = 0;
    unsigned low = 0;
    if (std::sscanf(reply.c_str(), "227 Entering Passive Mode (127,0,0,1,%u,%u)\r\n", &high,
                    &low) != 2) {
        return 0;
    }
    return static_cast<std::uint16_t>(high * 256 + low);
}

bool TestClient::waitForClose(std::uint32_t timeoutMs) {
    std::uint32_t deadline = platform::tickCount() + timeoutMs;
    while (true) {
        Fill f = fill(deadline);
        if (f == Fill::closed) return true;
        if (f == Fill::timeout) return false;
    }
}

bool TestClient::awaitBytes(std::size_t count, std::uint32_t timeoutMs) {
    std::uint32_t deadline = platform::tickCount() + timeoutMs;
    while (buffer_.size() < count) {
        if (fill(deadline) != Fill::data) return false;
    }
    return true;
}

std::string TestClient::readAll(std::uint32_t timeoutMs) {
    waitForClose(timeoutMs);
    return std::exchange(buffer_, {});
}

}  // namespace kadrel::test
