// The control server's rules, each table over bytes in memory (which also tells
// how much of the request was read) and through the real socket listener.
#include "control_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

#include "fake_tunnel_engine.h"
#include "listening_server.h"
#include "memory_connection.h"

namespace zv {
namespace {

using test::Outcome;
using test::Request;

constexpr std::size_t kUnmeasured = ~std::size_t{0};  // a socket does not tell what the server read

enum class Transport { Memory, Socket };

class ControlServerTest : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    if (GetParam() == Transport::Socket) rig.emplace(engine).Start();
  }

  Outcome Exchange(const std::string& input) {
    if (GetParam() == Transport::Memory) return test::Exchange(server, input);
    Outcome outcome{{}, {}, kUnmeasured};
    const int fd = probe::Connect(rig->path);
    EXPECT_GE(fd, 0);
    probe::SendAll(fd, input);  // may fail: a refused header is answered, and closed, before its body is read
    shutdown(fd, SHUT_WR);  // a cut-off request ends here rather than at the read bound
    if (const auto reply = probe::ReadReply(fd)) outcome = {reply->header, reply->body, kUnmeasured};
    close(fd);
    return outcome;
  }

  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  ControlServer server{stopEvent, engine};
  std::optional<test::ListeningServer> rig;
};

INSTANTIATE_TEST_SUITE_P(Transports, ControlServerTest, ::testing::Values(Transport::Memory, Transport::Socket),
                         [](const auto& info) { return info.param == Transport::Memory ? "Memory" : "Socket"; });

TEST_P(ControlServerTest, HeaderChecksRunInOrderAndReadOnlyWhatTheyMust) {
  const std::string full(kMaxControlBody, 'x');
  const std::string start = Request(2, 7, R"({"endpoint":"a:1"})");
  struct Row {
    const char* name;
    std::string input;
    std::uint32_t status;  // 99: no reply at all
    std::string_view body;
    std::size_t consumed;
  };
  const Row rows[] = {
      {"wrong magic and version", Request(1, 7, "", 0x44, 2), 1, kInvalidFrameBody, 20},
      {"65537 is refused unread", Request(1, 7, full + "x"), 1, kInvalidFrameBody, 20},
      {"65536 is read", Request(1, 7, full), 0, kIdleBody, 20 + kMaxControlBody},
      {"version 2 unread", Request(1, 7, "abc", 0x43, 2), 2, kUnsupportedVersionBody, 20},
      {"query body read and ignored", Request(1, 7, "abc"), 0, kIdleBody, 23},
      {"operation 0 after its body", Request(0, 7, "abc"), 1, kUnknownOperationBody, 23},
      {"operation 4 after its body", Request(4, 7, "abc"), 1, kUnknownOperationBody, 23},
      {"10 header bytes", start.substr(0, 10), 99, "", 10},
      {"short body", start.substr(0, start.size() - 1), 99, "", start.size() - 1},
  };
  for (const Row& row : rows) {
    const Outcome outcome = Exchange(row.input);
    if (row.status == 99) {
      EXPECT_TRUE(outcome.body.empty() && outcome.header.magic == 0) << row.name;
    } else {
      EXPECT_EQ(outcome.header.status, row.status) << row.name;
      EXPECT_EQ(outcome.header.requestId, 7u) << row.name;
      EXPECT_EQ(outcome.body, row.body) << row.name;
    }
    if (outcome.consumed != kUnmeasured) {
      EXPECT_EQ(outcome.consumed, row.consumed) << row.name;
    }
  }
  EXPECT_TRUE(engine.bringUpRequests.empty());
}

// Through the socket this needs a caller outside a login session: the listener test.
TEST(ControlServerCaller, DeniedCallerGetsIdZeroAndNothingIsRead) {
  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  ControlServer server{stopEvent, engine};
  const Outcome outcome = test::Exchange(server, Request(2, 99, "{}"), /*allowed=*/false);
  EXPECT_EQ(outcome.header.status, 3u);
  EXPECT_EQ(outcome.header.requestId, 0u);
  EXPECT_EQ(outcome.body, kAccessDeniedBody);
  EXPECT_EQ(outcome.consumed, 0u);
  EXPECT_TRUE(engine.bringUpRequests.empty());
}

TEST_P(ControlServerTest, OnlySuccessfulStartsAndStopsMoveTheState) {
  struct Step {
    std::uint16_t operation;
    const char* bringUpError;
    const char* tearDownError;
    std::uint32_t status;
    std::string body;
  };
  const std::string on{kAcceleratingBody}, off{kIdleBody};
  const Step steps[] = {
      {3, "", "", 0, off},  // stop while idle succeeds
      {2, "invalid_tunnel_config", "", 4, ErrorBody("invalid_tunnel_config")},
      {1, "", "", 0, off},  // query after a failed start
      {2, "", "", 0, on},
      {2, "", "", 4, ErrorBody("tunnel_already_running")},
      {1, "", "", 0, on},
      {3, "", "embedded_tunnel_api_invalid", 4, ErrorBody("embedded_tunnel_api_invalid")},
      {1, "", "", 0, on},
      {3, "", "", 0, off},
      {1, "", "", 0, off},
  };
  std::uint64_t id = 100;
  for (const Step& step : steps) {
    engine.bringUpError = step.bringUpError;
    engine.tearDownError = step.tearDownError;
    const Outcome outcome = Exchange(Request(step.operation, ++id, step.operation == 2 ? "{\"k\":1}" : ""));
    EXPECT_EQ(outcome.header.status, step.status) << "request " << id;
    EXPECT_EQ(outcome.body, step.body) << "request " << id;
    EXPECT_EQ(outcome.header.requestId, id);
  }
  // The repeated start was refused before the engine was asked, and bodies arrive verbatim.
  EXPECT_EQ(engine.bringUpRequests, (std::vector<std::string>{"{\"k\":1}", "{\"k\":1}"}));
}

}  // namespace
}  // namespace zv
