// The control server's rules, each table over bytes in memory (which also tells
// how much of the request was read) and through the real socket listener.
// Reply bodies are written out: they are the wire's text, not the constants'.
#include "control_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "bytes_connection.h"
#include "fake_tunnel_engine.h"
#include "listening_server.h"

namespace zv {
namespace {

constexpr std::size_t kUnmeasured = ~std::size_t{0};  // a socket does not tell what the server read
constexpr std::uint32_t kNoReply = 99;

std::string Request(std::uint16_t operation, std::uint64_t id, std::string_view body = {}, std::uint8_t magic0 = 0x43,
                    std::uint8_t version = 1) {
  auto header = EncodeRequestHeader(operation, id, static_cast<std::uint32_t>(body.size()));
  header[0] = magic0;
  header[4] = version;
  return std::string(header.begin(), header.end()) + std::string(body);
}

struct Outcome {
  std::uint32_t status = kNoReply;
  std::uint64_t id = 0;
  std::string body;
  std::size_t consumed = kUnmeasured;
};

enum class Transport { Memory, Socket };

class ControlServerTest : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    if (GetParam() == Transport::Socket) rig.emplace(engine, &quality).Start();
  }

  // Everything written back, up to the server's close, parsed as one reply frame.
  Outcome Exchange(const std::string& input, bool allowed = true) {
    std::string output;
    std::size_t consumed = kUnmeasured;
    if (GetParam() == Transport::Memory) {
      test::MemoryConnection connection(input, allowed);
      server.HandleConnection(connection);
      output = connection.output;
      consumed = connection.consumed;
    } else {
      const int fd = probe::Connect(rig->path);
      probe::SendAll(fd, input);  // may fail: a refused header is answered, and closed, before its body is read
      shutdown(fd, SHUT_WR);      // a cut-off request ends here rather than at the read bound
      char chunk[256];
      for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) output.append(chunk, static_cast<std::size_t>(n));
      close(fd);
    }
    if (output.empty()) return {kNoReply, 0, {}, consumed};
    ReplyHeaderBytes raw{};
    const std::size_t headerBytes = std::min(output.size(), raw.size());
    EXPECT_EQ(headerBytes, raw.size()) << "a cut header";
    std::memcpy(raw.data(), output.data(), headerBytes);
    const ControlReplyHeader header = DecodeReplyHeader(raw);
    EXPECT_EQ(header.bodyLength, output.size() - headerBytes) << "one whole frame";
    return {header.status, header.requestId, output.substr(headerBytes), consumed};
  }

  // The node always answers in 2 ms; the figures' own rules are the quality test's.
  struct QuickNode final : NodeEcho {
    std::optional<std::chrono::microseconds> Echo(std::chrono::milliseconds) override {
      return std::chrono::microseconds(2000);
    }
  } node;
  LinkQuality quality{node, std::chrono::milliseconds(5)};
  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  ControlServer server{stopEvent, engine, &quality};
  std::optional<test::ListeningServer> rig;
};

INSTANTIATE_TEST_SUITE_P(Transports, ControlServerTest, ::testing::Values(Transport::Memory, Transport::Socket),
                         [](const auto& info) { return info.param == Transport::Memory ? "Memory" : "Socket"; });

TEST_P(ControlServerTest, CallerThenHeaderChecksRunInOrderAndReadOnlyWhatTheyMust) {
  const std::string full(kMaxControlBody, 'x');
  const std::string start = Request(2, 7, R"({"endpoint":"a:1"})");
  struct Row {
    const char* name;
    std::string input;
    std::uint32_t status;
    std::string_view body;
    std::size_t consumed;
    bool allowed = true;  // through the socket, a refused caller is the listener test's
    std::uint64_t id = 7;
  };
  const Row rows[] = {
      {"refused caller, nothing read", Request(2, 7, "{}"), 3, R"({"error":"access_denied"})", 0, false, 0},
      {"wrong magic and version", Request(1, 7, "", 0x44, 2), 1, R"({"error":"invalid_frame"})", 20},
      {"65537 is refused unread", Request(1, 7, full + "x"), 1, R"({"error":"invalid_frame"})", 20},
      {"65536 is read", Request(1, 7, full), 0, R"({"state":"idle"})", 20 + kMaxControlBody},
      {"version 2 unread", Request(1, 7, "abc", 0x43, 2), 2, R"({"error":"unsupported_version"})", 20},
      {"query body read and ignored", Request(1, 7, "abc"), 0, R"({"state":"idle"})", 23},
      {"operation 0 after its body", Request(0, 7, "abc"), 1, R"({"error":"unknown_operation"})", 23},
      {"operation 4 after its body", Request(4, 7, "abc"), 1, R"({"error":"unknown_operation"})", 23},
      {"10 header bytes", start.substr(0, 10), kNoReply, "", 10},
      {"short body", start.substr(0, start.size() - 1), kNoReply, "", start.size() - 1},
  };
  for (const Row& row : rows) {
    if (!row.allowed && GetParam() == Transport::Socket) continue;
    const Outcome outcome = Exchange(row.input, row.allowed);
    EXPECT_EQ(outcome.status, row.status) << row.name;
    EXPECT_EQ(outcome.body, row.body) << row.name;
    if (row.status != kNoReply) {
      EXPECT_EQ(outcome.id, row.id) << row.name;
    }
    if (outcome.consumed != kUnmeasured) {
      EXPECT_EQ(outcome.consumed, row.consumed) << row.name;
    }
  }
  EXPECT_TRUE(engine.bringUps.empty());
}

// Every reply is the engine's one state, whatever happened before it: only a
// successful start or stop moves it, a repair is still the acceleration asked
// for, and the quality operation tells the path's health apart.
TEST_P(ControlServerTest, EveryReplyComesFromTheOneState) {
  constexpr std::uint16_t kRepair = 0, kQuality = 16;  // kRepair: the engine's own upkeep found the tunnel broken
  struct Step {
    std::uint16_t operation;
    const char* bringUpError;
    const char* tearDownError;
    std::uint32_t status;
    std::string body;  // a pattern
  };
  const std::string on = R"(\{"state":"accelerating"\})", off = R"(\{"state":"idle"\})";
  const std::string up = R"(\{"state":"accelerating","path":"up","repair_ms":0,"reason":"","up_ms":\d+,"probes":\d+,)"
                         R"("rtt_ms":(-1|2),"loss_percent":0,"silent_ms":\d+,"heard_ms":-?\d+,"handshake_ms":-1\})";
  const std::string repairing = R"(\{"state":"accelerating","path":"repairing","repair_ms":\d+,)"
                                R"("reason":"create_adapter_failed_17","up_ms":0,"probes":0,"rtt_ms":-1,)"
                                R"("loss_percent":0,"silent_ms":\d+,"heard_ms":-1,"handshake_ms":-1\})";
  const Step steps[] = {
      {3, "", "", 0, off},  // stop while idle succeeds
      {kQuality, "", "", 0, off},
      {2, "invalid_tunnel_config", "", 4, R"(\{"error":"invalid_tunnel_config"\})"},
      {1, "", "", 0, off},  // query after a failed start
      {2, "", "", 0, on},
      {kQuality, "", "", 0, up},
      {2, "", "", 4, R"(\{"error":"tunnel_already_running"\})"},
      {1, "", "", 0, on},
      {3, "", "embedded_tunnel_api_invalid", 4, R"(\{"error":"embedded_tunnel_api_invalid"\})"},
      {1, "", "", 0, on},
      {kRepair, "", "", 0, on},  // broken and being repaired: still the acceleration asked for
      {kQuality, "", "", 0, repairing},
      {2, "", "", 4, R"(\{"error":"tunnel_already_running"\})"},  // a refused start leaves the repair going
      {kQuality, "", "", 0, repairing},
      {3, "", "", 0, off},
      {1, "", "", 0, off},
      {kQuality, "", "", 0, off},
  };
  std::uint64_t id = 100;
  for (const Step& step : steps) {
    engine.bringUpError = step.bringUpError;
    engine.tearDownError = step.tearDownError;
    if (step.operation == kRepair) {
      engine.state.phase = TunnelPhase::Repairing;
      engine.state.reason = "create_adapter_failed_17";
    }
    const std::uint16_t operation = step.operation == kRepair ? 1 : step.operation;
    const Outcome outcome = Exchange(Request(operation, ++id, operation == 2 ? "{\"k\":1}" : ""));
    EXPECT_EQ(outcome.status, step.status) << "request " << id;
    EXPECT_TRUE(std::regex_match(outcome.body, std::regex(step.body))) << "request " << id << ": " << outcome.body;
    EXPECT_EQ(outcome.id, id);
  }
  // Bodies arrive verbatim, with the caller's user (root's, over either transport).
  EXPECT_EQ(engine.bringUps, (std::vector<std::string>(4, "{\"k\":1} by 0")));
}

}  // namespace
}  // namespace zv
