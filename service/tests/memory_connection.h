// Drives the control server with fixed bytes instead of a pipe or socket.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "control_frame.h"
#include "bytes_connection.h"
#include "control_server.h"

namespace zv::test {

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
