// The Unix socket listener's own life: closing, the read bound, stopping and
// the caller check. The frame rules run through it in
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
#include <vector>

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

// Stands in for systemd-logind where libsystemd looks: a session scope in the
// cgroup trees (how sd_pid_get_session finds a process's session) and the
// session's state file.
class LoginSession {
 public:
  LoginSession(bool active, bool remote) {
    for (const char* tree : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified"}) {
      if (!fs::is_directory(tree)) continue;
      scopes.push_back(fs::path(tree) / "user.slice/user-65534.slice/session-zv9.scope");
      fs::create_directories(scopes.back());
    }
    fs::create_directories(stateFile.parent_path());
    std::ofstream(stateFile) << "ACTIVE=" << active << "\nREMOTE=" << remote << "\n";
  }
  ~LoginSession() {
    // Each is empty again once its process has ended; a folder still in use stays.
    for (const fs::path& scope : scopes) {
      for (const fs::path& folder : {scope, scope.parent_path(), scope.parent_path().parent_path()}) {
        rmdir(folder.c_str());
      }
    }
    fs::remove(stateFile);
  }
  bool Join(pid_t pid) const {
    bool joined = !scopes.empty();
    for (const fs::path& scope : scopes) joined = static_cast<bool>(std::ofstream(scope / "cgroup.procs") << pid) && joined;
    return joined;
  }

 private:
  std::vector<fs::path> scopes;
  fs::path stateFile = "/run/systemd/sessions/zv9";
};

// A QueryState from a child that joins `session` (if any) and then becomes user
// nobody. Gives the reply's status after checking that the reply fits it, or 10
// and up when something failed.
int QueryStatusAsNobody(const std::string& directory, const LoginSession* session) {
  const pid_t child = fork();
  if (child == 0) {
    if (session != nullptr && !session->Join(getpid())) _exit(10);
    // Entered as root: the folders above the temporary one may be closed to others (a private /tmp).
    if (chdir(directory.c_str()) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(11);
    const int fd = probe::Connect("control.sock");  // needs the socket's 0666 to connect at all
    if (fd < 0) _exit(12);
    // A refusal is sent before anything is read, and the service may close before this is sent.
    probe::SendAll(fd, probe::RequestBytes(1, 42, "abc"));
    const auto reply = probe::ReadReply(fd);
    if (!reply) _exit(13);
    const bool denied = reply->header.requestId == 0 && reply->body == kAccessDeniedBody;
    const bool served = reply->header.requestId == 42 && reply->body == kIdleBody;
    _exit((reply->header.status == 3 && denied) || (reply->header.status == 0 && served) ? reply->header.status : 14);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 20;
}

// Root passes; anyone else only from an active local session. No session at all
// is the case of a service or a cron job, as session 0 is on Windows.
TEST_F(LinuxListenerTest, UnprivilegedCallersPassOnlyFromAnActiveLocalSession) {
  ASSERT_EQ(geteuid(), 0u) << "this test drops to another user and must run as root";
  Start();
  EXPECT_EQ(QueryStatusAsNobody(directory, nullptr), 3) << "no session";
  struct Row {
    const char* name;
    bool active, remote;
    int status;
  };
  const Row rows[] = {
      {"active and local", true, false, 0},
      {"active but remote", true, true, 3},
      {"local but not active", false, false, 3},
  };
  for (const Row& row : rows) {
    const LoginSession session(row.active, row.remote);
    EXPECT_EQ(QueryStatusAsNobody(directory, &session), row.status) << row.name;
  }
  EXPECT_EQ(QueryBody(3), kIdleBody) << "root is served";
}

}  // namespace
}  // namespace zv
