// The Linux service program itself, started as the system starts it: each stop
// signal ends it cleanly, it takes over only a stale socket, and a sweep of bad
// connections neither disturbs the well-formed clients among them nor costs
// memory. (How long a stalled client may hold the others: the listener test.)
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
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "control_channel.h"
#include "control_frame.h"
#include "control_probe.h"

namespace zv {
namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& file) {
  std::ostringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

// The service on a socket in a fresh folder, its standard error kept in a file.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::function<void(const fs::path&)>& prepare = {}, fs::path socket = {}) {
    const std::string pattern = (fs::temp_directory_path() / "zv-service-XXXXXX").string();
    std::vector<char> made(pattern.begin(), pattern.end() + 1);
    if (mkdtemp(made.data()) == nullptr) ADD_FAILURE() << "no temporary folder";
    folder = made.data();
    path = socket.empty() ? folder / "control.sock" : socket;
    if (prepare) prepare(path);
    setenv(kControlSocketVariable, path.c_str(), 1);
    pid = fork();
    if (pid == 0) {
      dup2(open((folder / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its service along
      execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
      _exit(127);
    }
  }
  // A second service on another's socket path, with a folder of its own for its errors.
  explicit ServiceProcess(const fs::path& socket) : ServiceProcess({}, socket) {}
  ~ServiceProcess() {
    if (pid > 0) End(SIGKILL);
    fs::remove_all(folder);
  }
  bool Serving() {
    for (int i = 0; i < 500; ++i, usleep(5000)) {
      if (probe::Exchange(path.string(), 1, 1)) return true;
      if (waitpid(pid, nullptr, WNOHANG) != 0) return false;
    }
    return false;
  }
  // Sends the signal (0: none, it ends by itself) and gives the exit code, or -1 for a death by signal.
  int End(int signal) {
    if (signal != 0) kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Errors() const { return Contents(folder / "stderr"); }

  fs::path folder, path;
  pid_t pid = -1;
};

// A socket bound at `path`; listening when `live`, else closed as a killed run leaves it.
int BoundSocket(const fs::path& path, bool live) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.string().size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (live && listen(fd, 1) != 0)) return -1;
  if (!live) close(fd);
  return fd;
}

// It starts on a free path or over a stale socket, judges starts with the real
// engine and ends cleanly on either stop signal; anything else at its path
// makes it refuse to start and stays as it was.
TEST(ServiceProgram, StartsOnlyOverAStaleSocketAndStopsCleanly) {
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> place;   // puts something at the path
    std::function<bool(const fs::path&)> intact;  // it is still there as it was
    const char* message;                          // empty: the service starts
    int stopSignal = SIGTERM;
  };
  const Row rows[] = {
      {"free path", nullptr, nullptr, "", SIGINT},
      {"stale socket", [](const fs::path& p) { BoundSocket(p, false); }, nullptr, ""},
      {"regular file", [](const fs::path& p) { std::ofstream(p) << "keep me"; },
       [](const fs::path& p) { return fs::is_regular_file(fs::symlink_status(p)) && Contents(p) == "keep me"; },
       "is a regular file, not a socket"},
      {"directory", [](const fs::path& p) { fs::create_directory(p), std::ofstream(p / "inside") << "x"; },
       [](const fs::path& p) { return Contents(p / "inside") == "x"; }, "is a directory, not a socket"},
      {"symbolic link",
       [](const fs::path& p) {
         std::ofstream(p.parent_path() / "target") << "elsewhere";
         fs::create_symlink(p.parent_path() / "target", p);
       },
       [](const fs::path& p) { return fs::is_symlink(p) && Contents(p.parent_path() / "target") == "elsewhere"; },
       "is a symbolic link, not a socket"},
      {"live socket", [](const fs::path& p) { BoundSocket(p, true); },  // the test keeps it open
       [](const fs::path& p) { return probe::Connect(p.string()) >= 0; }, "another accelerator-service is listening"},
  };
  for (const Row& row : rows) {
    ServiceProcess service(row.place);
    if (*row.message == '\0') {
      ASSERT_TRUE(service.Serving()) << row.name << ": " << service.Errors();
      const auto start = probe::Exchange(service.path, 2, 6, "{}");
      ASSERT_TRUE(start) << row.name;
      EXPECT_EQ(start->body, ErrorBody("invalid_tunnel_config")) << "the tunnel engine judges the request";
      EXPECT_EQ(service.End(row.stopSignal), 0) << row.name;
      EXPECT_FALSE(fs::exists(service.path)) << row.name;
    } else {
      EXPECT_EQ(service.End(0), 1) << row.name << " must refuse the start";
      EXPECT_NE(service.Errors().find(row.message), std::string::npos) << row.name << ": " << service.Errors();
      EXPECT_TRUE(row.intact(service.path)) << row.name << " was touched";
    }
  }
}

// Two services started on one path at the same instant: exactly one serves it,
// and the other ends at once, saying why, rather than running deaf.
TEST(ServiceProgram, OfTwinsStartedAtOnceExactlyOneListens) {
  for (int round = 0; round < 20; ++round) {
    ServiceProcess first;
    ServiceProcess twin(first.path);
    pid_t ended = -1;
    int status = 0;
    for (int i = 0; i < 1000 && ended <= 0; ++i, usleep(5000)) {
      for (ServiceProcess* service : {&first, &twin}) {
        if (ended <= 0 && waitpid(service->pid, &status, WNOHANG) == service->pid) ended = service->pid, service->pid = -1;
      }
    }
    ASSERT_GT(ended, 0) << "round " << round << ": both run";
    ServiceProcess& loser = first.pid < 0 ? first : twin;
    ServiceProcess& winner = first.pid < 0 ? twin : first;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "round " << round;
    EXPECT_NE(loser.Errors().find("another accelerator-service"), std::string::npos) << loser.Errors();
    EXPECT_TRUE(winner.Serving()) << "round " << round;
  }
}

long ResidentKiB(pid_t process) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

TEST(ServiceProgram, BadConnectionsCostTheOthersNothing) {
  ServiceProcess service;
  ASSERT_TRUE(service.Serving()) << service.Errors();

  std::mt19937 random(20261207);
  const std::string header = probe::RequestBytes(1, 7, "");
  const auto big = EncodeRequestHeader(2, 8, kMaxControlBody + 1);
  const auto badBytes = [&](int i) -> std::string {
    switch (i % 5) {
      case 0: return header.substr(0, 1 + random() % (header.size() - 1));
      case 1: return std::string(big.begin(), big.end());
      case 2: {
        std::string noise(1 + random() % 200, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        return noise;
      }
      case 3: return probe::RequestBytes(2, 9, R"({"private_key":"abc"})").substr(0, kRequestHeaderSize + 5);
      default: return "";  // connect and leave at once
    }
  };
  long early = 0;
  for (int i = 0; i < 10000; ++i) {
    const int fd = probe::Connect(service.path);
    ASSERT_GE(fd, 0) << "connection " << i << " was not accepted";
    probe::SendAll(fd, badBytes(i));
    close(fd);  // without reading
    if (i % 250 == 0 || i == 9999) {  // a well-formed query gets exactly the idle reply for its own id
      const auto reply = probe::Exchange(service.path, 1, 1000 + i);
      ASSERT_TRUE(reply && reply->header.status == 0 && reply->body == kIdleBody) << "request " << i;
      EXPECT_EQ(reply->header.requestId, 1000u + i);
    }
    if (i == 1000) early = ResidentKiB(service.pid);
  }
  const long late = ResidentKiB(service.pid);
  ASSERT_GT(early, 0);
  EXPECT_LT(late - early, 512) << "resident memory grew from " << early << " KiB to " << late << " KiB";
  EXPECT_EQ(service.End(SIGTERM), 0) << "it lived through the sweep and ends cleanly";
}

}  // namespace
}  // namespace zv
