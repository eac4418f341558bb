// The Linux service program itself: serves on its socket, and each stop
// signal ends it cleanly with exit code 0 and its socket removed.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "control_channel.h"
#include "control_frame.h"
#include "control_probe.h"

namespace zv {
namespace {

TEST(LinuxServiceHost, StopSignalsEndTheServiceCleanly) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    char directory[] = "/tmp/zv-host-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/control.sock";
    setenv(kControlSocketVariable, path.c_str(), 1);
    const pid_t service = fork();
    if (service == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its service along
      execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
      _exit(127);
    }
    std::optional<probe::Reply> reply;
    for (int i = 0; i < 500 && !(reply = probe::Exchange(path, 1, 5)); ++i) usleep(5000);
    ASSERT_TRUE(reply) << "the service never answered";
    EXPECT_EQ(reply->body, kIdleBody);
    const auto start = probe::Exchange(path, 2, 6, "{}");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->body, ErrorBody("invalid_tunnel_config")) << "the tunnel engine judges the request";

    kill(service, stopSignal);
    int status = 0;
    ASSERT_EQ(waitpid(service, &status, 0), service);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << stopSignal << ": " << status;
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(directory);
  }
}

// A socket bound at `path`; listening when `live`, else left as a killed run leaves it.
int BoundSocket(const std::string& path, bool live) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (live && listen(fd, 1) != 0)) return -1;
  if (!live) close(fd);
  return fd;
}

std::string Contents(const std::filesystem::path& file) {
  std::ostringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

TEST(LinuxServiceHost, OnlyAStaleSocketAtItsPathIsReplaced) {
  namespace fs = std::filesystem;
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> place;   // puts something at the path
    std::function<bool(const fs::path&)> intact;  // it is still there as it was
    const char* message;                          // empty: the service starts
  };
  const Row rows[] = {
      {"stale socket", [](const fs::path& p) { BoundSocket(p, false); }, nullptr, ""},
      {"regular file", [](const fs::path& p) { std::ofstream(p) << "keep me"; },
       [](const fs::path& p) { return fs::is_regular_file(fs::symlink_status(p)) && Contents(p) == "keep me"; },
       "is a regular file, not a socket"},
      {"directory", [](const fs::path& p) { fs::create_directory(p), std::ofstream(p / "inside") << "x"; },
       [](const fs::path& p) { return fs::is_directory(fs::symlink_status(p)) && Contents(p / "inside") == "x"; },
       "is a directory, not a socket"},
      {"symbolic link", [](const fs::path& p) {
         std::ofstream(p.parent_path() / "target") << "elsewhere";
         fs::create_symlink(p.parent_path() / "target", p);
       },
       [](const fs::path& p) {
         return fs::is_symlink(p) && Contents(p.parent_path() / "target") == "elsewhere";
       },
       "is a symbolic link, not a socket"},
  };
  for (const Row& row : rows) {
    char directory[] = "/tmp/zv-host-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const fs::path path = fs::path(directory) / "control.sock";
    const fs::path errors = fs::path(directory) / "stderr";
    row.place(path);
    setenv(kControlSocketVariable, path.c_str(), 1);
    const pid_t service = fork();
    if (service == 0) {
      const int log = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(log, STDERR_FILENO);
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its service along
      execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
      _exit(127);
    }
    int status = 0;
    if (*row.message == '\0') {
      std::optional<probe::Reply> reply;
      for (int i = 0; i < 500 && !(reply = probe::Exchange(path, 1, 5)); ++i) usleep(5000);
      EXPECT_TRUE(reply) << row.name << ": the service does not answer over the old socket";
      kill(service, SIGTERM);
      waitpid(service, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << row.name;
    } else {
      ASSERT_EQ(waitpid(service, &status, 0), service);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << row.name << " must refuse the start";
      EXPECT_NE(Contents(errors).find(row.message), std::string::npos) << row.name << ": " << Contents(errors);
      EXPECT_TRUE(row.intact(path)) << row.name << " was touched";
    }
    fs::remove_all(directory);
  }
}

TEST(LinuxServiceHost, ALiveSocketIsNeverTakenOver) {
  char directory[] = "/tmp/zv-host-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/control.sock";
  const int other = BoundSocket(path, true);
  ASSERT_GE(other, 0);
  setenv(kControlSocketVariable, path.c_str(), 1);
  const pid_t service = fork();
  if (service == 0) {
    execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(service, &status, 0), service);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
  EXPECT_GE(probe::Connect(path), 0) << "the other listener still has its socket";
  close(other);
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace zv
