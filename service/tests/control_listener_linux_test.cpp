// The control server end to end through the real Unix socket listener.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "control_channel.h"
#include "control_probe.h"
#include "control_server.h"
#include "fake_tunnel_engine.h"

namespace zv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class LinuxListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zv-listener-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    chmod(directory.c_str(), 0755);  // lets the unprivileged child below reach the socket
    path = (directory / "control.sock").string();
    setenv(kControlSocketVariable, path.c_str(), 1);
  }
  void TearDown() override {
    if (server) Stop();
    fs::remove_all(directory);
  }

  void Start() {
    stopEvent = std::make_unique<StopEvent>();  // manual reset: each run needs a fresh one
    server = std::make_unique<ControlServer>(*stopEvent, engine);
    server->StartListener();
    // Ready once a connection is accepted; a stale socket file alone refuses it.
    int ready = -1;
    for (int i = 0; i < 500 && (ready = probe::Connect(path)) < 0; ++i) usleep(2000);
    ASSERT_GE(ready, 0);
    close(ready);
  }
  void Stop() {
    stopEvent->Signal();
    server->JoinListener();
    server.reset();
  }
  std::optional<probe::Reply> Query(std::uint64_t id) {
    return probe::Exchange(path, 1, id);
  }

  fs::path directory;
  std::string path;
  std::unique_ptr<StopEvent> stopEvent;
  test::FakeTunnelEngine engine;
  std::unique_ptr<ControlServer> server;
};

TEST_F(LinuxListenerTest, AnswersTheWorkedExampleByteForByte) {
  Start();
  const int fd = probe::Connect(path);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(probe::SendAll(fd, probe::RequestBytes(1, 5, "")));
  std::string reply(24 + 16, '\0');
  std::size_t got = 0;
  while (got < reply.size()) {
    const ssize_t n = read(fd, reply.data() + got, reply.size() - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  char extra;
  EXPECT_EQ(read(fd, &extra, 1), 0) << "one reply per connection, then the service closes";
  close(fd);
  const std::string expected("\x43\x43\x41\x47\x01\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00"
                             "\x00\x00\x00\x00\x10\x00\x00\x00{\"state\":\"idle\"}",
                             40);
  EXPECT_EQ(reply, expected);
}

TEST_F(LinuxListenerTest, SocketIsOpenToEveryLocalUser) {
  Start();
  struct stat info {};
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
}

TEST_F(LinuxListenerTest, StartStopAndStateThroughTheSocket) {
  Start();
  const auto started = probe::Exchange(path, 2, 11, R"({"endpoint":"x:1"})");
  ASSERT_TRUE(started);
  EXPECT_EQ(started->body, kAcceleratingBody);
  const auto again = probe::Exchange(path, 2, 12, "{}");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->header.status, 4u);
  EXPECT_EQ(again->body, R"({"error":"tunnel_already_running"})");
  EXPECT_EQ(Query(13)->body, kAcceleratingBody);
  EXPECT_EQ(probe::Exchange(path, 3, 14)->body, kIdleBody);
  EXPECT_EQ(Query(15)->body, kIdleBody);
  EXPECT_EQ(engine.bringUpRequests, std::vector<std::string>{R"({"endpoint":"x:1"})"});
}

TEST_F(LinuxListenerTest, BrokenRequestsGetNoReplyAndTheNextClientIsServed) {
  Start();
  const std::string full = probe::RequestBytes(2, 1, R"({"private_key":"abc"})");
  for (const std::string& partial : {full.substr(0, 10), full.substr(0, full.size() - 4)}) {
    const int fd = probe::Connect(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(probe::SendAll(fd, partial));
    shutdown(fd, SHUT_WR);
    EXPECT_FALSE(probe::ReadReply(fd)) << partial.size();
    close(fd);
    const auto next = Query(2);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, kIdleBody);
  }
  EXPECT_TRUE(engine.bringUpRequests.empty());
}

TEST_F(LinuxListenerTest, OversizedBodyIsRefusedWithoutReadingIt) {
  Start();
  const int fd = probe::Connect(path);
  ASSERT_GE(fd, 0);
  const auto header = EncodeRequestHeader(1, 77, kMaxControlBody + 1);
  ASSERT_TRUE(probe::SendAll(fd, std::string(header.begin(), header.end())));
  const auto reply = probe::ReadReply(fd);  // no body was ever sent, so the reply proves none was awaited
  close(fd);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header.status, 1u);
  EXPECT_EQ(reply->header.requestId, 77u);
  EXPECT_EQ(reply->body, kInvalidFrameBody);
}

TEST_F(LinuxListenerTest, SilentClientIsDroppedAndThoseBehindItAreServed) {
  Start();
  const int silent = probe::Connect(path);
  ASSERT_GE(silent, 0);
  const int waiting = probe::Connect(path);
  ASSERT_GE(waiting, 0);
  ASSERT_TRUE(probe::SendAll(waiting, probe::RequestBytes(1, 9, "")));

  // The silent one is closed without a reply once the bound has passed...
  const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(kRequestReadBound).count();
  EXPECT_FALSE(probe::ReadReply(silent, static_cast<int>(bound * 3)));
  char probeByte;
  EXPECT_EQ(read(silent, &probeByte, 1), 0) << "closed by the service, not by the test's own wait";
  close(silent);
  // ...and the client queued behind it then gets its answer.
  const auto reply = probe::ReadReply(waiting, static_cast<int>(bound * 3));
  close(waiting);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header.requestId, 9u);
  EXPECT_EQ(reply->body, kIdleBody);
}

TEST_F(LinuxListenerTest, StopIsNoticedWhileAConnectionIsBeingRead) {
  Start();
  const int silent = probe::Connect(path);
  ASSERT_GE(silent, 0);
  ASSERT_TRUE(probe::SendAll(silent, probe::RequestBytes(1, 1, "").substr(0, 5)));
  usleep(100 * 1000);  // let the listener take the connection
  const auto before = Clock::now();
  Stop();
  EXPECT_LT(Clock::now() - before, kRequestReadBound / 2) << "the stop waited for the read bound";
  EXPECT_FALSE(probe::ReadReply(silent, 1000));
  close(silent);
  EXPECT_FALSE(fs::exists(path)) << "the socket is removed when the listener ends";
}

TEST_F(LinuxListenerTest, StopWhileWaitingEndsTheListenerWithoutAClient) {
  Start();
  Stop();
  EXPECT_LT(probe::Connect(path), 0);
}

TEST_F(LinuxListenerTest, StaleSocketIsReplacedButOtherFilesAreNot) {
  Start();
  Stop();
  // A socket file left behind (a killed service) does not keep the next one out.
  {
    const int leftover = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(leftover, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(leftover);
  }
  Start();
  const auto reply = Query(1);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, kIdleBody);
  Stop();

  std::ofstream(path) << "not ours";
  stopEvent = std::make_unique<StopEvent>();
  server = std::make_unique<ControlServer>(*stopEvent, engine);
  server->StartListener();
  server->JoinListener();  // gives up at once rather than delete what it does not own
  server.reset();
  std::ifstream kept(path);
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "not ours");
}

// A non-root user outside any active login session (no logind session here at
// all) is refused exactly as the pipe refuses a session-0 caller.
TEST_F(LinuxListenerTest, UnprivilegedCallerOutsideALoginSessionIsDenied) {
  ASSERT_EQ(geteuid(), 0u) << "this test drops to another user and must run as root";
  Start();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const int fd = probe::Connect(path);
    if (fd < 0) _exit(11);
    if (!probe::SendAll(fd, probe::RequestBytes(2, 42, "{}"))) _exit(12);
    const auto reply = probe::ReadReply(fd);
    if (!reply) _exit(13);
    const bool denied = reply->header.status == 3 && reply->header.requestId == 0 &&
                        reply->body == kAccessDeniedBody;
    _exit(denied ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(engine.bringUpRequests.empty());
  const auto reply = Query(1);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, kIdleBody) << "root is still served";
}

}  // namespace
}  // namespace zv
