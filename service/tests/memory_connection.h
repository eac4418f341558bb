// Drives the control server with fixed bytes instead of a pipe or socket.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "control_frame.h"
#include "control_server.h"

namespace zv::test {

// Feeds a fixed byte string to the server and keeps what it writes back.
struct MemoryConnection final : ControlConnection {
  explicit MemoryConnection(std::string input, bool allowed = true) : input(std::move(input)), allowed(allowed) {}
  bool CallerAllowed() override { return allowed; }
  bool ReadExact(std::uint8_t* data, std::size_t length) override {
    const std::size_t available = std::min(length, input.size() - consumed);
    std::memcpy(data, input.data() + consumed, available);
    consumed += available;
    return available == length;
  }
  bool WriteAll(const std::uint8_t* data, std::size_t length) override {
    output.append(reinterpret_cast<const char*>(data), length);
    return true;
  }

  std::string input;
  bool allowed;
  std::size_t consumed = 0;
  std::string output;
};

inline std::string Request(std::uint16_t operation, std::uint64_t id, std::string_view body = {},
                           std::uint8_t magic0 = 0x43, std::uint8_t version = 1) {
  auto header = EncodeRequestHeader(operation, id, static_cast<std::uint32_t>(body.size()));
  header[0] = magic0;
  header[4] = version;
  return std::string(header.begin(), header.end()) + std::string(body);
}

struct Outcome {
  ControlReplyHeader header;  // all zero when nothing was written
  std::string body;
  std::size_t consumed;
};

inline Outcome Exchange(ControlServer& server, const std::string& input, bool allowed = true) {
  MemoryConnection connection(input, allowed);
  server.HandleConnection(connection);
  Outcome outcome{{}, {}, connection.consumed};
  if (connection.output.size() >= kReplyHeaderSize) {
    ReplyHeaderBytes raw{};
    std::memcpy(raw.data(), connection.output.data(), raw.size());
    outcome.header = DecodeReplyHeader(raw);
    outcome.body = connection.output.substr(kReplyHeaderSize);
    EXPECT_EQ(outcome.header.bodyLength, outcome.body.size());
  } else {
    EXPECT_TRUE(connection.output.empty());
  }
  return outcome;
}

}  // namespace zv::test
