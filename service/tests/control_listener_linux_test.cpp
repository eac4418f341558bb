// The Unix socket listener's own life: closing, the read bound, stopping, the
// socket file and the caller check. The frame rules run through it in
// control_server_test.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fake_tunnel_engine.h"
#include "listening_server.h"

namespace zv {
namespace {

namespace fs = std::filesystem;

class LinuxListenerTest : public ::testing::Test {
 protected:
  void Start() { rig.Start(); }
  void Stop() { rig.Stop(); }
  std::string QueryBody(std::uint64_t id) {
    const auto reply = probe::Exchange(path, 1, id);
    return reply && reply->header.requestId == id ? reply->body : "<no reply>";
  }

  test::FakeTunnelEngine engine;
  test::ListeningServer rig{engine};
  const fs::path& directory = rig.directory;
  const std::string& path = rig.path;
};

TEST_F(LinuxListenerTest, AnswersTheWorkedExampleAndCloses) {
  Start();
  const int fd = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(fd, probe::RequestBytes(1, 5, "")));
  std::string reply(64, '\0');
  std::size_t got = 0;
  for (ssize_t n; (n = read(fd, reply.data() + got, reply.size() - got)) > 0;) got += static_cast<std::size_t>(n);
  close(fd);
  reply.resize(got);  // read to the end: one reply per connection, then the service closes
  EXPECT_EQ(reply, std::string("CCAG\x01\0\0\0\x05\0\0\0\0\0\0\0\0\0\0\0\x10\0\0\0", 24) + std::string(kIdleBody));
}

TEST_F(LinuxListenerTest, SilentClientIsDroppedAndThoseBehindItAreServed) {
  Start();
  const int silent = probe::Connect(path);
  const int waiting = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(waiting, probe::RequestBytes(1, 9, "")));
  const int patience = static_cast<int>(3 * std::chrono::milliseconds(kRequestReadBound).count());

  EXPECT_FALSE(probe::ReadReply(silent, patience));
  char byte;
  EXPECT_EQ(read(silent, &byte, 1), 0) << "closed by the service, not by the test's own wait";
  const auto reply = probe::ReadReply(waiting, patience);
  close(silent);
  close(waiting);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, kIdleBody);
}

TEST_F(LinuxListenerTest, StopIsNoticedWhileReadingAndWhileWaiting) {
  Start();
  const int stalled = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(stalled, probe::RequestBytes(1, 1, "").substr(0, 5)));
  usleep(100 * 1000);  // let the listener take the connection
  const auto before = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, kRequestReadBound / 2) << "the stop waited for the bound";
  close(stalled);
  EXPECT_FALSE(fs::exists(path)) << "the socket goes with the listener";

  Start();
  Stop();  // with no client at all
  EXPECT_LT(probe::Connect(path), 0);
}

TEST_F(LinuxListenerTest, StaleSocketIsReplacedButOtherFilesAreNot) {
  const int leftover = socket(AF_UNIX, SOCK_STREAM, 0);  // as a killed service leaves it
  sockaddr_un address{AF_UNIX, {}};
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(bind(leftover, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(leftover);
  Start();
  EXPECT_EQ(QueryBody(1), kIdleBody);
  Stop();

  std::ofstream(path) << "not ours";
  rig.Launch();
  rig.server->JoinListener();  // gives up at once rather than delete what it does not own
  std::string text;
  std::getline(std::ifstream(path) >> std::ws, text);
  EXPECT_EQ(text, "not ours");
}

// No logind session exists for this user here, as for a session-0 caller on Windows.
TEST_F(LinuxListenerTest, UnprivilegedCallerOutsideALoginSessionIsDenied) {
  ASSERT_EQ(geteuid(), 0u) << "this test drops to another user and must run as root";
  Start();
  const pid_t child = fork();
  if (child == 0) {
    // Entered as root: the folders above the temporary one may be closed to others (a private /tmp).
    if (chdir(directory.c_str()) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const int fd = probe::Connect("control.sock");  // needs the socket's 0666 to connect at all
    if (fd < 0) _exit(11);
    if (!probe::SendAll(fd, probe::RequestBytes(2, 42, "{}"))) _exit(12);
    const auto reply = probe::ReadReply(fd);
    _exit(reply && reply->header.status == 3 && reply->header.requestId == 0 && reply->body == kAccessDeniedBody
              ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(engine.bringUpRequests.empty());
  EXPECT_EQ(QueryBody(3), kIdleBody) << "root is still served";
}

}  // namespace
}  // namespace zv
