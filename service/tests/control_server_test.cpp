// The control server's rules, each table over bytes in memory (which also tells
// how much of the request was read) and through the real socket listener; then
// the listener's own life, and the quality figures the server reports. Reply
// bodies are written out: they are the wire's text, not the constants'.
#include "control_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <vector>

#include "bytes_connection.h"
#include "control_channel.h"
#include "control_probe.h"
#include "fake_tunnel_engine.h"

namespace zv {
namespace {

namespace fs = std::filesystem;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// A ControlServer serving the real Unix socket listener in a fresh temporary
// folder, for tests that talk to it as a client does.
class ListeningServer {
 public:
  explicit ListeningServer(TunnelEngine& engine, LinkQuality* quality = nullptr) : engine(engine), quality(quality) {
    std::string pattern = (fs::temp_directory_path() / "zv-listener-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no temporary folder";
    chmod(pattern.c_str(), 0755);  // lets an unprivileged test child reach the socket
    directory = pattern;
    path = (directory / "control.sock").string();
    setenv(kControlSocketVariable, path.c_str(), 1);
  }
  ~ListeningServer() {
    if (server) Stop();
    std::filesystem::remove_all(directory);
  }

  // Ready once a connection is accepted; a stale socket file alone refuses it.
  void Start() {
    server.emplace(stopEvent, engine, quality).StartListener();
    int ready = -1;
    for (int i = 0; i < 500 && (ready = probe::Connect(path)) < 0; ++i) usleep(2000);
    ASSERT_GE(ready, 0) << "the listener never accepted";
    close(ready);
  }
  void Stop() {
    stopEvent.Signal();
    server->JoinListener();
    server.reset();
  }

  std::filesystem::path directory;
  std::string path;
  StopEvent stopEvent;  // manual reset: one run per rig
  std::optional<ControlServer> server;
  TunnelEngine& engine;
  LinkQuality* quality;
};

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
  std::optional<ListeningServer> rig;
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
    EXPECT_EQ(outcome.id, row.status == kNoReply ? 0 : row.id) << row.name;
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
      {kQuality, "", 0, off},
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
      {1, "", 0, off},
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
  // Bodies arrive verbatim, with the caller's user (root's, over either transport).
  EXPECT_EQ(engine.bringUps, (std::vector<std::string>(4, "{\"k\":1} by 0")));
}

// The Unix socket listener's own life: each connection read on its own with
// its own bound, stopping, and the caller check.
class LinuxListenerTest : public ::testing::Test {
 protected:
  test::FakeTunnelEngine engine;
  ListeningServer rig{engine};
  const std::string& path = rig.path;
};

// Callers that send half a request cost only themselves: one behind them is
// answered at once, and they are dropped at the bound; callers that come and
// go at once never hold the tunnel's upkeep off. A stop is noticed while one
// is still being read, and takes the socket with it.
TEST_F(LinuxListenerTest, HalfRequestsCostOnlyTheirSendersAndAStopIsNoticedWhileReading) {
  engine.upkeepEvery = milliseconds(200);
  rig.Start();
  std::vector<int> stalled;
  for (int i = 0; i < 8; ++i) {
    stalled.push_back(probe::Connect(path));
    ASSERT_TRUE(probe::SendAll(stalled.back(), probe::RequestBytes(2, 1, "{}").substr(0, 12)));
  }
  const int waiting = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(waiting, probe::RequestBytes(1, 9, "")));
  const auto reply = probe::ReadReply(waiting, 1000);
  ASSERT_TRUE(reply) << "the caller behind the stalled ones waited";
  EXPECT_EQ(reply->body, kIdleBody);
  close(waiting);
  const int upkeeps = engine.upkeeps;
  for (int i = 0; i < 20; ++i) close(probe::Connect(path)), usleep(50 * 1000);
  EXPECT_GE(engine.upkeeps - upkeeps, 3) << "a second of callers held the upkeep off";
  for (const int fd : stalled) {
    EXPECT_FALSE(probe::ReadReply(fd, static_cast<int>(2 * kRequestReadBound.count())));
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "not closed by the service within twice the bound";
    close(fd);
  }
  const int reading = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(reading, probe::RequestBytes(1, 1, "").substr(0, 5)));
  usleep(100 * 1000);  // let the listener take the connection
  const auto before = std::chrono::steady_clock::now();
  rig.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, kRequestReadBound / 2) << "the stop waited for the bound";
  close(reading);
  EXPECT_FALSE(fs::exists(path)) << "the socket goes with the listener";
}

// A start that takes longer than the read bound is still answered, and a stop
// signalled meanwhile lets it finish and answer before the listener ends.
TEST_F(LinuxListenerTest, ASlowStartIsAnsweredEvenWhenTheServiceStopsMeanwhile) {
  engine.bringUpTime = kRequestReadBound + std::chrono::seconds(2);
  rig.Start();
  const int fd = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(fd, probe::RequestBytes(2, 77, "{}")));
  usleep(500 * 1000);
  rig.stopEvent.Signal();
  const auto reply = probe::ReadReply(fd, 3 * static_cast<int>(kRequestReadBound.count()));
  close(fd);
  ASSERT_TRUE(reply) << "the reply was lost";
  EXPECT_EQ(reply->header.requestId, 77u);
  EXPECT_EQ(reply->body, kAcceleratingBody);
}

// Stands in for systemd-logind where libsystemd looks: the user's file that
// lists their sessions, the session's state file, and an app scope of the
// user's own service manager (where desktops start programs), which belongs
// to no session.
class LoginSession {
 public:
  explicit LoginSession(bool active) {
    for (const char* tree : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified"}) {
      if (fs::is_directory(tree)) scopes.push_back(fs::path(tree) / "user.slice/user-65534.slice");
    }
    for (const fs::path& scope : scopes) fs::create_directories(scope / kAppScope);
    for (const fs::path& file : {sessionFile, userFile}) fs::create_directories(file.parent_path());
    std::ofstream(sessionFile) << "ACTIVE=" << active << "\nREMOTE=0\nUID=65534\n";
    std::ofstream(userFile) << "STATE=" << (active ? "active" : "online") << "\nSESSIONS=zv9\nONLINE_SESSIONS=zv9\n"
                            << "ACTIVE_SESSIONS=" << (active ? "zv9" : "") << "\n";
  }
  ~LoginSession() {
    // Each folder is empty again once its process has ended; one still in use stays.
    for (const fs::path& slice : scopes) {
      for (fs::path folder = slice / kAppScope; folder != slice.parent_path(); folder = folder.parent_path()) {
        rmdir(folder.c_str());
      }
    }
    fs::remove(sessionFile);
    fs::remove(userFile);
  }
  bool Join(pid_t pid) const {
    bool joined = !scopes.empty();
    for (const fs::path& slice : scopes) {
      joined = static_cast<bool>(std::ofstream(slice / kAppScope / "cgroup.procs") << pid) && joined;
    }
    return joined;
  }

 private:
  static constexpr char kAppScope[] = "user@65534.service/app.slice/app-zv.scope";
  std::vector<fs::path> scopes;
  fs::path sessionFile = "/run/systemd/sessions/zv9";
  fs::path userFile = "/run/systemd/users/65534";
};

// A QueryState from a child that joins the app scope of `session` (if any) and
// then becomes user nobody.
// Gives the reply's status after checking that the reply fits it, or 10 and
// up when something failed.
int QueryStatusAsNobody(const std::string& directory, const LoginSession* session) {
  const pid_t child = fork();
  if (child == 0) {
    if (session != nullptr && !session->Join(getpid())) _exit(10);
    // Entered as root: the folders above the temporary one may be closed to others (a private /tmp).
    if (chdir(directory.c_str()) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(11);
    const auto reply = probe::Exchange("control.sock", 1, 42, "abc");  // needs the socket's 0666 to connect at all
    if (!reply) _exit(12);
    const bool denied = reply->header.requestId == 0 && reply->body == kAccessDeniedBody;
    const bool served = reply->header.requestId == 42 && reply->body == kIdleBody;
    _exit((reply->header.status == 3 && denied) || (reply->header.status == 0 && served) ? reply->header.status : 14);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 20;
}

// Root passes (every other socket test runs as root); anyone else only when
// their user has an active, local session, though the calling program itself
// runs outside it. A user without any session is a service or a cron job, as
// session 0 is on Windows.
TEST_F(LinuxListenerTest, UnprivilegedCallersPassOnlyWhenTheirUserIsActiveHere) {
  ASSERT_EQ(geteuid(), 0u) << "this test drops to another user and must run as root";
  rig.Start();
  EXPECT_EQ(QueryStatusAsNobody(rig.directory, nullptr), 3) << "no session";
  // A remote session is refused too: the booted machine shows it with a real logind.
  for (const bool active : {true, false}) {
    const LoginSession session(active);
    EXPECT_EQ(QueryStatusAsNobody(rig.directory, &session), active ? 0 : 3) << "a desktop program, active " << active;
  }
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
    std::unique_lock lock(mutex);
    ++started;
    changed.notify_all();
    changed.wait(lock, [&] { return released > 0; });
    --released;
    return microseconds(3000);
  }
  void AwaitEcho(int number) {  // until the number-th echo has begun
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return started >= number; });
  }
  void Release() {
    const std::lock_guard lock(mutex);
    ++released;
    changed.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0, released = 0;
};

TEST(LinkQuality, CountsOnlyEchoesOfTheTunnelThatRuns) {
  HeldNode node;
  LinkQuality quality(node, milliseconds(1));
  quality.Begin();
  node.AwaitEcho(1);
  EXPECT_EQ(quality.Figures().probes, 0u);
  quality.End();
  quality.Begin();  // a new tunnel while the old one's echo is under way
  node.Release();
  node.AwaitEcho(2);  // the next echo: the one before was the old tunnel's
  EXPECT_EQ(quality.Figures().probes, 0u);
  node.Release();
  node.AwaitEcho(3);
  EXPECT_EQ(quality.Figures().probes, 1u);
  EXPECT_EQ(quality.Figures().rttMs, 3);
  quality.Begin();  // a tunnel rebuilt within one upkeep, never seen down
  EXPECT_EQ(quality.Figures().probes, 0u) << "the rebuilt tunnel's figures start afresh";
  quality.End();
  EXPECT_EQ(quality.Figures().probes, 0u) << "nothing of an ended tunnel stays";
  node.Release();  // the destructor waits for the echo under way
}

}  // namespace
}  // namespace zv
