// The control server's rules, each table over bytes in memory (which also tells
// how much of the request was read), and the quality figures the server
// reports. Reply bodies are written out: they are the wire's text, not the
// constants'. (The real socket and program: service_program_test.)
#include "control_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <semaphore>
#include <optional>
#include <regex>
#include <vector>

#include "bytes_connection.h"
#include "fake_tunnel_engine.h"

namespace zv {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

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
  std::size_t consumed = 0;
};

class ControlServerTest : public ::testing::Test {
 protected:
  // Everything written back parsed as one reply frame, and how much was read.
  Outcome Exchange(const std::string& input, bool allowed = true) {
    test::MemoryConnection connection(input, allowed);
    server.HandleConnection(connection);
    const std::string& output = connection.output;
    ReplyHeaderBytes raw{};
    if (output.size() < raw.size()) {
      EXPECT_EQ(output, "") << "a cut header";
      return {kNoReply, 0, {}, connection.consumed};
    }
    std::memcpy(raw.data(), output.data(), raw.size());
    const ControlReplyHeader header = DecodeReplyHeader(raw);
    EXPECT_EQ(header.bodyLength, output.size() - raw.size()) << "one whole frame";
    return {header.status, header.requestId, output.substr(raw.size()), connection.consumed};
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
};

TEST_F(ControlServerTest, CallerThenHeaderChecksRunInOrderAndReadOnlyWhatTheyMust) {
  const std::string full(kMaxControlBody, 'x');
  const std::string start = Request(2, 7, R"({"endpoint":"a:1"})");
  struct Row {
    const char* name;
    std::string input;
    std::uint32_t status;
    std::string_view body;
    std::size_t consumed;
    bool allowed = true;
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
    const Outcome outcome = Exchange(row.input, row.allowed);
    EXPECT_EQ(outcome.status, row.status) << row.name;
    EXPECT_EQ(outcome.body, row.body) << row.name;
    EXPECT_EQ(outcome.id, row.status == kNoReply ? 0 : row.id) << row.name;
    EXPECT_EQ(outcome.consumed, row.consumed) << row.name;
  }
  EXPECT_TRUE(engine.bringUps.empty());
}

// Every reply is the engine's one state, whatever happened before it: only a
// successful start or stop moves it, a repair is still the acceleration asked
// for, and the quality operation tells the path's health apart.
TEST_F(ControlServerTest, EveryReplyComesFromTheOneState) {
  constexpr std::uint16_t kRepair = 0, kQuality = 16;  // kRepair: the engine's own upkeep found the tunnel broken
  struct Step {
    std::uint16_t operation;
    const char* error;  // the start's or the stop's
    std::uint32_t status;
    std::string body;  // a pattern
  };
  const std::string on = R"(\{"state":"accelerating"\})", off = R"(\{"state":"idle"\})";
  const std::string up = R"(\{"state":"accelerating","path":"up","repair_ms":0,"reason":"","up_ms":\d+,"probes":\d+,)"
                         R"("rtt_ms":(-1|2),"loss_percent":0,"silent_ms":\d+,"heard_ms":-?\d+,"handshake_ms":-1,)"
                         R"("game_before_start":false\})";
  const std::string repairing = R"(\{"state":"accelerating","path":"repairing","repair_ms":\d+,)"
                                R"("reason":"create_adapter_failed_17","up_ms":0,"probes":0,"rtt_ms":-1,)"
                                R"("loss_percent":0,"silent_ms":\d+,"heard_ms":-1,"handshake_ms":-1,)"
                                R"("game_before_start":true\})";
  const Step steps[] = {
      {3, "", 0, off},  // stop while idle succeeds
      {2, "invalid_tunnel_config", 4, R"(\{"error":"invalid_tunnel_config"\})"},
      {1, "", 0, off},  // query after a failed start
      {2, "", 0, on},
      {kQuality, "", 0, up},
      {2, "", 4, R"(\{"error":"tunnel_already_running"\})"},
      {1, "", 0, on},
      {3, "embedded_tunnel_api_invalid", 4, R"(\{"error":"embedded_tunnel_api_invalid"\})"},
      {1, "", 0, on},
      {kRepair, "", 0, on},  // broken and being repaired: still the acceleration asked for
      {kQuality, "", 0, repairing},
      {2, "", 4, R"(\{"error":"tunnel_already_running"\})"},  // a refused start leaves the repair going
      {kQuality, "", 0, repairing},
      {3, "", 0, off},
      {kQuality, "", 0, off},
  };
  std::uint64_t id = 100;
  for (const Step& step : steps) {
    engine.bringUpError = engine.tearDownError = step.error;
    if (step.operation == kRepair) {  // for a second now, so that an up time would show
      engine.state = {TunnelPhase::Repairing, UpkeepClock::now() - std::chrono::seconds(1), "create_adapter_failed_17",
                      engine.state.ups, {}, {}, true};
    }
    const std::uint16_t operation = step.operation == kRepair ? 1 : step.operation;
    const Outcome outcome = Exchange(Request(operation, ++id, operation == 2 ? "{\"k\":1}" : ""));
    EXPECT_EQ(outcome.status, step.status) << "request " << id;
    EXPECT_TRUE(std::regex_match(outcome.body, std::regex(step.body))) << "request " << id << ": " << outcome.body;
    EXPECT_EQ(outcome.id, id);
  }
  // Bodies arrive verbatim, with the caller's user.
  EXPECT_EQ(engine.bringUps, (std::vector<std::string>(4, "{\"k\":1} by 0")));
}

// The quality figures: what the last ten echoes add up to, and the meter's
// thread, which counts only echoes of the tunnel that runs.
TEST(QualityWindow, TheFiguresSumUpTheLastTenEchoes) {
  constexpr std::optional<microseconds> kLost;
  struct Row {
    const char* name;
    std::vector<std::optional<microseconds>> echoes;  // one a second from the start
    std::string figures;  // probes, rtt, loss, the last answer's second
  };
  std::vector<std::optional<microseconds>> twelve(11, microseconds(5000));  // two lost, then the last one slower
  twelve[0] = twelve[1] = kLost, twelve.push_back(microseconds(7000));
  const Row rows[] = {
      {"nothing yet", {}, "0 -1 0 none"},
      {"a good path: the last answer, to the nearest ms", {microseconds(20400), microseconds(23600)}, "2 24 0 2"},
      {"under half a millisecond", {microseconds(400)}, "1 0 0 1"},
      {"one of three lost", {microseconds(9000), kLost, microseconds(9000)}, "3 9 33 3"},
      {"two of three lost: the last answer stands, and when it came", {microseconds(9000), kLost, kLost}, "3 9 67 1"},
      {"only ten count", twelve, "10 7 0 12"},
      {"a broken path: none of the ten answered", std::vector<std::optional<microseconds>>(12, kLost), "10 -1 100 none"},
  };
  for (const Row& row : rows) {
    const QualityClock::time_point start{std::chrono::hours(1)};
    QualityWindow window;
    window.Record(microseconds(1000), start - std::chrono::minutes(1));  // an earlier tunnel's
    window.Reset();
    for (std::size_t i = 0; i < row.echoes.size(); ++i) window.Record(row.echoes[i], start + milliseconds(1000 * (i + 1)));
    const QualityFigures figures = window.Figures();
    const std::string answered =
        figures.lastAnswer ? std::to_string(std::chrono::duration_cast<std::chrono::seconds>(*figures.lastAnswer - start).count())
                           : "none";
    EXPECT_EQ(std::to_string(figures.probes) + " " + std::to_string(figures.rttMs) + " " +
                  std::to_string(figures.lossPercent) + " " + answered,
              row.figures)
        << row.name;
  }
}

// A node whose echoes the test lets through one at a time.
class HeldNode final : public NodeEcho {
 public:
  std::optional<microseconds> Echo(milliseconds) override {
    started.release();
    released.acquire();
    return microseconds(3000);
  }
  std::counting_semaphore<> started{0}, released{0};  // an echo has begun; the test lets one end
};

TEST(LinkQuality, CountsOnlyEchoesOfTheTunnelThatRuns) {
  HeldNode node;
  LinkQuality quality(node, milliseconds(1));
  quality.Begin();
  node.started.acquire();
  EXPECT_EQ(quality.Figures().probes, 0u);
  quality.End();
  quality.Begin();  // a new tunnel while the old one's echo is under way
  node.released.release();
  node.started.acquire();  // the next echo: the one before was the old tunnel's
  EXPECT_EQ(quality.Figures().probes, 0u);
  node.released.release();
  node.started.acquire();
  EXPECT_EQ(quality.Figures().probes, 1u);
  EXPECT_EQ(quality.Figures().rttMs, 3);
  quality.Begin();  // a tunnel rebuilt within one upkeep, never seen down
  EXPECT_EQ(quality.Figures().probes, 0u) << "the rebuilt tunnel's figures start afresh";
  quality.End();
  EXPECT_EQ(quality.Figures().probes, 0u) << "nothing of an ended tunnel stays";
  node.released.release();  // the destructor waits for the echo under way
}

}  // namespace
}  // namespace zv
