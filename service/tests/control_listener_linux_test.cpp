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

// A start that takes longer than the read bound is still answered, and a stop
// signalled meanwhile lets it finish and answer before the listener ends.
TEST_F(LinuxListenerTest, ASlowStartIsAnsweredEvenWhenTheServiceStopsMeanwhile) {
  engine.bringUpTime = kRequestReadBound + std::chrono::seconds(2);
  Start();
  const int fd = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(fd, probe::RequestBytes(2, 77, "{}")));
  usleep(500 * 1000);
  rig.stopEvent->Signal();
  const auto reply = probe::ReadReply(fd, 3 * static_cast<int>(kRequestReadBound.count()));
  close(fd);
  ASSERT_TRUE(reply) << "the reply was lost";
  EXPECT_EQ(reply->header.requestId, 77u);
  EXPECT_EQ(reply->body, kAcceleratingBody);
  Stop();
}

// Stands in for systemd-logind where libsystemd looks: the cgroup trees (a
// session's scope, and an app scope of the user's own service manager, where
// desktops start programs), the session's state file and the user's file that
// lists their sessions.
class LoginSession {
 public:
  enum Scope { kSessionScope, kAppScope };

  LoginSession(bool active, bool remote) {
    for (const char* tree : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified"}) {
      if (!fs::is_directory(tree)) continue;
      const fs::path user = fs::path(tree) / "user.slice/user-65534.slice";
      scopes[kSessionScope].push_back(user / "session-zv9.scope");
      scopes[kAppScope].push_back(user / "user@65534.service/app.slice/app-zv.scope");
    }
    for (const auto& trees : scopes) {
      for (const fs::path& scope : trees) fs::create_directories(scope);
    }
    for (const fs::path& file : {sessionFile, userFile}) fs::create_directories(file.parent_path());
    std::ofstream(sessionFile) << "ACTIVE=" << active << "\nREMOTE=" << remote << "\nUID=65534\n";
    std::ofstream(userFile) << "STATE=" << (active ? "active" : "online") << "\nSESSIONS=zv9\nONLINE_SESSIONS=zv9\n"
                            << "ACTIVE_SESSIONS=" << (active ? "zv9" : "") << "\n";
  }
  ~LoginSession() {
    // Each folder is empty again once its process has ended; one still in use stays.
    for (const auto& trees : scopes) {
      for (const fs::path& scope : trees) {
        for (fs::path folder = scope; folder.filename() != "user.slice"; folder = folder.parent_path()) {
          rmdir(folder.c_str());
        }
      }
    }
    fs::remove(sessionFile);
    fs::remove(userFile);
  }
  bool Join(pid_t pid, Scope scope) const {
    bool joined = !scopes[scope].empty();
    for (const fs::path& folder : scopes[scope]) {
      joined = static_cast<bool>(std::ofstream(folder / "cgroup.procs") << pid) && joined;
    }
    return joined;
  }

 private:
  std::vector<fs::path> scopes[2];
  fs::path sessionFile = "/run/systemd/sessions/zv9";
  fs::path userFile = "/run/systemd/users/65534";
};

// A QueryState from a child that joins `scope` of `session` (if any) and then
// becomes user nobody. Gives the reply's status after checking that the reply
// fits it, or 10 and up when something failed.
int QueryStatusAsNobody(const std::string& directory, const LoginSession* session, LoginSession::Scope scope) {
  const pid_t child = fork();
  if (child == 0) {
    if (session != nullptr && !session->Join(getpid(), scope)) _exit(10);
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

// Root passes; anyone else only when their user has an active, local session,
// whatever scope the calling process runs in. A user without any session is a
// service or a cron job, as session 0 is on Windows.
TEST_F(LinuxListenerTest, UnprivilegedCallersPassOnlyWhenTheirUserIsActiveHere) {
  ASSERT_EQ(geteuid(), 0u) << "this test drops to another user and must run as root";
  Start();
  EXPECT_EQ(QueryStatusAsNobody(directory, nullptr, LoginSession::kAppScope), 3) << "no session";
  struct Row {
    const char* name;
    bool active, remote;
    LoginSession::Scope scope;
    int status;
  };
  const Row rows[] = {
      {"in its active local session", true, false, LoginSession::kSessionScope, 0},
      {"a desktop program of an active local user", true, false, LoginSession::kAppScope, 0},
      {"a desktop program of a remote user", true, true, LoginSession::kAppScope, 3},
      {"in an active remote session", true, true, LoginSession::kSessionScope, 3},
      {"a desktop program of an inactive user", false, false, LoginSession::kAppScope, 3},
  };
  for (const Row& row : rows) {
    const LoginSession session(row.active, row.remote);
    EXPECT_EQ(QueryStatusAsNobody(directory, &session, row.scope), row.status) << row.name;
  }
  EXPECT_EQ(QueryBody(3), kIdleBody) << "root is served";
}

}  // namespace
}  // namespace zv
