#include "control_server.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fake_tunnel_engine.h"

namespace zv {
namespace {

// Feeds a fixed byte string to the server and keeps what it writes back.
class MemoryConnection final : public ControlConnection {
 public:
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

std::string Request(std::uint16_t operation, std::uint64_t id, std::string_view body,
                    std::uint32_t announced) {
  const auto header = EncodeRequestHeader(operation, id, announced);
  return std::string(header.begin(), header.end()) + std::string(body);
}

std::string Request(std::uint16_t operation, std::uint64_t id, std::string_view body = {}) {
  return Request(operation, id, body, static_cast<std::uint32_t>(body.size()));
}

struct Reply {
  ControlReplyHeader header;
  std::string body;
};

Reply ParseReply(const std::string& output) {
  EXPECT_GE(output.size(), kReplyHeaderSize);
  if (output.size() < kReplyHeaderSize) return {};
  ReplyHeaderBytes raw{};
  std::memcpy(raw.data(), output.data(), raw.size());
  Reply reply{DecodeReplyHeader(raw), output.substr(kReplyHeaderSize)};
  EXPECT_EQ(reply.header.bodyLength, reply.body.size());
  return reply;
}

class ControlServerTest : public ::testing::Test {
 protected:
  Reply Exchange(const std::string& input) {
    MemoryConnection connection(input);
    server.HandleConnection(connection);
    return ParseReply(connection.output);
  }

  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  ControlServer server{stopEvent, engine};
};

std::string WithMagic(std::string request, std::uint8_t firstByte) {
  request[0] = static_cast<char>(firstByte);
  return request;
}

std::string WithVersion(std::string request, std::uint8_t version) {
  request[4] = static_cast<char>(version);
  return request;
}

TEST_F(ControlServerTest, HeaderChecksRunInOrderAndReadOnlyWhatTheyMust) {
  const std::string bigBody(kMaxControlBody, 'x');
  const std::string overBody(kMaxControlBody + 1, 'x');
  struct Row {
    const char* name;
    std::string input;
    ControlStatus status;
    std::string_view body;
    std::size_t consumed;
  };
  const Row rows[] = {
      {"wrong magic and version", WithVersion(WithMagic(Request(1, 7), 0x44), 2), ControlStatus::BadRequest,
       kInvalidFrameBody, 20},
      {"body of 65537 is not read", Request(1, 7, overBody), ControlStatus::BadRequest, kInvalidFrameBody, 20},
      {"body of 65536 is read", Request(1, 7, bigBody), ControlStatus::Ok, kIdleBody, 20 + kMaxControlBody},
      {"version 2 body not read", WithVersion(Request(1, 7, "abc"), 2), ControlStatus::UnsupportedVersion,
       kUnsupportedVersionBody, 20},
      {"query with a body", Request(1, 7, "abc"), ControlStatus::Ok, kIdleBody, 23},
      {"operation 0 after its body", Request(0, 7, "abc"), ControlStatus::BadRequest, kUnknownOperationBody, 23},
      {"operation 4 after its body", Request(4, 7, "abc"), ControlStatus::BadRequest, kUnknownOperationBody, 23},
  };
  for (const Row& row : rows) {
    MemoryConnection connection(row.input);
    server.HandleConnection(connection);
    const Reply reply = ParseReply(connection.output);
    EXPECT_EQ(reply.header.status, static_cast<std::uint32_t>(row.status)) << row.name;
    EXPECT_EQ(reply.body, row.body) << row.name;
    EXPECT_EQ(reply.header.requestId, 7u) << row.name;
    EXPECT_EQ(connection.consumed, row.consumed) << row.name;
  }
  EXPECT_TRUE(engine.bringUpRequests.empty());
}

TEST_F(ControlServerTest, DeniedCallerGetsIdZeroAndNothingIsRead) {
  MemoryConnection connection(Request(2, 99, R"({"x":1})"), /*allowed=*/false);
  server.HandleConnection(connection);
  const Reply reply = ParseReply(connection.output);
  EXPECT_EQ(reply.header.status, 3u);
  EXPECT_EQ(reply.header.requestId, 0u);
  EXPECT_EQ(reply.body, kAccessDeniedBody);
  EXPECT_EQ(connection.consumed, 0u);
  EXPECT_TRUE(engine.bringUpRequests.empty());
}

TEST_F(ControlServerTest, IncompleteRequestsGetNoReplyAndStartNothing) {
  const std::string full = Request(2, 1, R"({"endpoint":"a:1"})");
  for (const std::string& input : {full.substr(0, 10), full.substr(0, full.size() - 1)}) {
    MemoryConnection connection(input);
    server.HandleConnection(connection);
    EXPECT_TRUE(connection.output.empty()) << input.size();
  }
  EXPECT_TRUE(engine.bringUpRequests.empty());
}

TEST_F(ControlServerTest, OnlySuccessfulStartsAndStopsMoveTheState) {
  struct Step {
    std::uint16_t operation;
    std::string bringUpError;
    std::string tearDownError;
    std::uint32_t status;
    std::string body;
    bool acceleratingAfter;
  };
  const std::string started{kAcceleratingBody};
  const std::string idle{kIdleBody};
  const Step steps[] = {
      {1, "", "", 0, idle, false},
      {3, "", "", 0, idle, false},  // stop while idle succeeds
      {2, "invalid_tunnel_config", "", 4, R"({"error":"invalid_tunnel_config"})", false},
      {1, "", "", 0, idle, false},  // query after a failed start
      {2, "", "", 0, started, true},
      {2, "", "", 4, R"({"error":"tunnel_already_running"})", true},
      {1, "", "", 0, started, true},
      {3, "", "embedded_tunnel_api_invalid", 4, R"({"error":"embedded_tunnel_api_invalid"})", true},
      {1, "", "", 0, started, true},
      {3, "", "", 0, idle, false},
      {1, "", "", 0, idle, false},
  };
  std::uint64_t id = 100;
  for (const Step& step : steps) {
    engine.bringUpError = step.bringUpError;
    engine.tearDownError = step.tearDownError;
    const Reply reply = Exchange(Request(step.operation, ++id, step.operation == 2 ? "{}" : ""));
    EXPECT_EQ(reply.header.status, step.status) << "request " << id;
    EXPECT_EQ(reply.body, step.body) << "request " << id;
    EXPECT_EQ(reply.header.requestId, id);
    EXPECT_EQ(server.Accelerating(), step.acceleratingAfter) << "request " << id;
  }
  // The repeated start was refused before the engine was asked again.
  EXPECT_EQ(engine.bringUpRequests.size(), 2u);
}

TEST_F(ControlServerTest, StartHandsTheBodyToTheEngineVerbatim) {
  const std::string body = R"({"private_key":"k","allowed_ips":["0.0.0.0/0"]})";
  Exchange(Request(2, 1, body));
  engine.running = false;  // idle again for the empty start below
  Exchange(Request(2, 2));
  ASSERT_EQ(engine.bringUpRequests.size(), 2u);
  EXPECT_EQ(engine.bringUpRequests[0], body);
  EXPECT_EQ(engine.bringUpRequests[1], "");
}

TEST(ControlServerLife, DestructionTakesARunningTunnelDown) {
  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  {
    ControlServer server(stopEvent, engine);
    MemoryConnection connection(Request(2, 1, "{}"));
    server.HandleConnection(connection);
    ASSERT_TRUE(engine.running);
  }
  EXPECT_FALSE(engine.running);
  EXPECT_EQ(engine.tearDowns, 1);
}

TEST(ControlServerLife, ShippedEngineRefusesStartsHonestly) {
  StopEvent stopEvent;
  MissingTunnelEngine engine;
  ControlServer server(stopEvent, engine);
  MemoryConnection connection(Request(2, 3, "{}"));
  server.HandleConnection(connection);
  const Reply reply = ParseReply(connection.output);
  EXPECT_EQ(reply.header.status, 4u);
  EXPECT_EQ(reply.body, R"({"error":"embedded_tunnel_component_missing"})");
  EXPECT_FALSE(server.Accelerating());
}

}  // namespace
}  // namespace zv
