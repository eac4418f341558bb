// The Unix socket listener's own life: each connection read on its own with
// its own bound, stopping, and the caller check. The frame rules, and the
// close after each reply, run through it in control_server_test.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
  test::FakeTunnelEngine engine;
  test::ListeningServer rig{engine};
  const std::string& path = rig.path;
};

// Callers that send half a request cost only themselves: one behind them is
// answered at once, and they are dropped at the bound.
TEST_F(LinuxListenerTest, HalfRequestsCostOnlyTheirSenders) {
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
  for (const int fd : stalled) {
    EXPECT_FALSE(probe::ReadReply(fd, static_cast<int>(3 * kRequestReadBound.count())));
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0) << "closed by the service, not by the test's own wait";
    close(fd);
  }
}

TEST_F(LinuxListenerTest, StopIsNoticedWhileReading) {
  rig.Start();
  const int stalled = probe::Connect(path);
  ASSERT_TRUE(probe::SendAll(stalled, probe::RequestBytes(1, 1, "").substr(0, 5)));
  usleep(100 * 1000);  // let the listener take the connection
  const auto before = std::chrono::steady_clock::now();
  rig.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, kRequestReadBound / 2) << "the stop waited for the bound";
  close(stalled);
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
  LoginSession(bool active, bool remote) {
    for (const char* tree : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified"}) {
      if (fs::is_directory(tree)) scopes.push_back(fs::path(tree) / "user.slice/user-65534.slice");
    }
    for (const fs::path& scope : scopes) fs::create_directories(scope / kAppScope);
    for (const fs::path& file : {sessionFile, userFile}) fs::create_directories(file.parent_path());
    std::ofstream(sessionFile) << "ACTIVE=" << active << "\nREMOTE=" << remote << "\nUID=65534\n";
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

// Root passes (every other socket test runs as root); anyone else only when
// their user has an active, local session, though the calling program itself
// runs outside it. A user without any session is a service or a cron job, as
// session 0 is on Windows.
TEST_F(LinuxListenerTest, UnprivilegedCallersPassOnlyWhenTheirUserIsActiveHere) {
  ASSERT_EQ(geteuid(), 0u) << "this test drops to another user and must run as root";
  rig.Start();
  EXPECT_EQ(QueryStatusAsNobody(rig.directory, nullptr), 3) << "no session";
  struct Row {
    const char* name;
    bool active, remote;
    int status;
  };
  const Row rows[] = {
      {"a desktop program of an active local user", true, false, 0},
      {"a desktop program of a remote user", true, true, 3},
      {"a desktop program of an inactive user", false, false, 3},
  };
  for (const Row& row : rows) {
    const LoginSession session(row.active, row.remote);
    EXPECT_EQ(QueryStatusAsNobody(rig.directory, &session), row.status) << row.name;
  }
}

}  // namespace
}  // namespace zv
