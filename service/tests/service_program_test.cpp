// The service program itself, started as the system starts it, on a socket in
// a folder of its own: where it starts and how it stops, who may call it, what
// callers cost one another, and its state folder. Each run reads the logind of
// its rows (a /run/systemd of its own) and may never set a mode through a path,
// where a link put there meanwhile would aim it at another file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "control_channel.h"
#include "control_connection.h"
#include "control_probe.h"
#include "proc_files_linux.h"
#include "tunnel_record.h"

namespace zv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr uid_t kAnna = 1000, kBen = 1001, kGreeter = 1002;

// A login session as logind records it; on a seat it is in front when `active`.
struct Session { const char* id; uid_t user; const char* kind = "user"; bool active = true, remote = false, seated = false; };

// The service on a socket in a fresh folder, its standard error kept in a file.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::function<void(const fs::path&)>& prepare = {}, fs::path socket = {}) {
    std::string made = (fs::temp_directory_path() / "zv-service-XXXXXX").string();
    if (mkdtemp(made.data()) == nullptr) ADD_FAILURE() << "no temporary folder";
    folder = made;
    chmod(folder.c_str(), 0711);  // its socket is for every user
    path = socket.empty() ? folder / "control.sock" : socket;
    Login({});
    if (prepare) prepare(path);
    setenv(kControlSocketVariable, path.c_str(), 1);
    if ((pid = fork()) != 0) return;
    dup2(open((folder / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its service along
    sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_chmod, 1, 0),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fchmodat, 0, 1),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog noModeByPath{std::size(filter), filter};
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount((folder / "login").c_str(), "/run/systemd", nullptr, MS_BIND, nullptr) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &noModeByPath) != 0) {
      _exit(126);
    }
    execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
    _exit(127);
  }
  ~ServiceProcess() {
    if (pid > 0) End(SIGKILL);
    fs::remove_all(folder);
  }
  // Writes logind's records anew: the sessions, and seat0 with the one in front of it.
  void Login(const std::vector<Session>& sessions) {
    for (const char* kind : {"seats", "sessions"}) {  // never the folder itself: the service sees it through a mount
      fs::remove_all(folder / "login" / kind), fs::create_directories(folder / "login" / kind);
    }
    std::ofstream seat(folder / "login/seats/seat0");
    for (const Session& s : sessions) {
      std::ofstream(folder / "login/sessions" / s.id) << "UID=" << s.user << "\nCLASS=" << s.kind << "\nACTIVE="
                                                      << s.active << "\nREMOTE=" << s.remote << "\n";
      if (s.seated && s.active) seat << "ACTIVE=" << s.id << "\nACTIVE_UID=" << s.user << "\n";
    }
  }
  bool Serving() {
    siginfo_t ended{};  // looked at, not reaped: End gives its exit code
    for (int i = 0; i < 500; ++i, usleep(5000)) {
      if (probe::Exchange(path.string(), 1, 1)) return true;
      if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid) return false;
    }
    return false;
  }
  // Sends the signal (0: none) and gives the exit code, or -1 for a death by
  // signal; one still running after 5 s is killed.
  int End(int signal) {
    if (signal != 0) kill(pid, signal);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 500 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(10000);
    if (ended == 0) {
      ADD_FAILURE() << "the service still ran 5 s later";
      kill(pid, SIGKILL), waitpid(pid, &status, 0);
    }
    pid = -1;
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Errors() const { return ReadProcFile(folder / "stderr"); }
  // Turns the calling child into `user` beside the socket (the folders above may be closed to others).
  void Become(uid_t user) const {
    if (chdir(folder.c_str()) != 0 || setgid(user) != 0 || setuid(user) != 0) _exit(20);
  }
  // A QueryState from `user`: the reply's status (idle or refused), 12 when none came within `timeoutMs`.
  int QueryAs(uid_t user, int timeoutMs = 10000) const {
    const pid_t child = fork();
    if (child == 0) {
      Become(user);
      const auto asked = Clock::now();
      const auto reply = probe::Exchange("control.sock", 1, 42);  // needs the socket's 0666 to connect at all
      if (!reply || Clock::now() - asked > std::chrono::milliseconds(timeoutMs)) _exit(12);
      _exit(reply->body == (reply->header.status == 0 ? kIdleBody : kAccessDeniedBody) ? reply->header.status : 14);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 20;
  }

  fs::path folder, path;
  pid_t pid = -1;
};

// Another program listening at `path`, for the test's life.
void Listen(const fs::path& path) {
  sockaddr_un address{AF_UNIX, {}};
  std::memcpy(address.sun_path, path.c_str(), path.string().size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) close(fd);
}

// It starts on a free path (over a stale socket: the netns world's restarts),
// judges starts with the real engine, notices either stop signal at once though
// a caller is half way through a request, and takes its socket along; anything
// else at its path makes it refuse to start and stays as it was.
TEST(ServiceProgram, StartsOnlyWhereNothingElseIsAndStopsAtOnce) {
  ServiceProcess service;
  ASSERT_TRUE(service.Serving()) << service.Errors();
  const auto start = probe::Exchange(service.path, 2, 6, "{}");
  ASSERT_TRUE(start);
  EXPECT_EQ(start->body, ErrorBody("invalid_tunnel_config")) << "the tunnel engine judges the request";
  const int half = probe::Connect(service.path);
  ASSERT_TRUE(probe::SendAll(half, probe::RequestBytes(1, 1, "").substr(0, 5)));
  usleep(100 * 1000);  // being read now
  const auto before = Clock::now();
  EXPECT_EQ(service.End(SIGINT), 0);
  EXPECT_LT(Clock::now() - before, kRequestReadBound / 2) << "the stop waited for the reading";
  close(half);
  EXPECT_FALSE(fs::exists(service.path)) << "the socket goes with the service";

  const struct {
    const char* name;
    std::function<void(const fs::path&)> place;   // puts something at the path
    std::function<bool(const fs::path&)> intact;  // it is still there as it was
    const char* message;
  } refusals[] = {
      {"a symbolic link", [](const fs::path& p) { std::ofstream(p.string() + "-to") << "x", fs::create_symlink(p.string() + "-to", p); },
       [](const fs::path& p) { return fs::is_symlink(p) && ReadProcFile(p.string() + "-to") == "x"; },
       "is a symbolic link, not a socket"},
      {"a live socket", Listen, [](const fs::path& p) { return probe::Connect(p.string()) >= 0; },
       "another accelerator-service is listening"},
      // Its record and lock live in a folder only it may write, or a link there could aim its writes.
      {"a state folder open to others",
       [](const fs::path& p) { fs::create_directory(p.string() + ".state"), fs::permissions(p.string() + ".state", fs::perms::all); },
       [](const fs::path& p) { return fs::status(p.string() + ".state").permissions() == fs::perms::all; },
       "is not a folder of the service's own"},
  };
  for (const auto& row : refusals) {
    ServiceProcess refused(row.place);
    EXPECT_EQ(refused.End(0), 1) << row.name << " must refuse the start";
    EXPECT_NE(refused.Errors().find(row.message), std::string::npos) << row.name << ": " << refused.Errors();
    EXPECT_TRUE(row.intact(refused.path)) << row.name << " was touched";
  }
}

// Root passes (every other test calls as root); anyone else only as the person
// at this machine: the user in front of a seat, or, with no one at any seat,
// the one user with active local sessions of class user. After a switch of
// users the one now at the seat may stop what the other started.
TEST(ServiceProgram, OnlyThePersonAtTheMachineMayCall) {
  ASSERT_EQ(geteuid(), 0u) << "calls as other users";
  const std::vector<Session> switched = {{"c1", kAnna, "user", false, false, true}, {"c2", kBen, "user", true, false, true}};
  const struct { const char* name; std::vector<Session> sessions; uid_t caller; int status; } rows[] = {
      {"no session at all (a service, a cron job)", {}, kAnna, 3},
      {"in front of the seat", {{"c1", kAnna, "user", true, false, true}}, kAnna, 0},
      {"the greeter in front of the seat", {{"g1", kGreeter, "greeter", true, false, true}}, kGreeter, 3},
      {"switched away", switched, kAnna, 3},
      {"switched to", switched, kBen, 0},
      {"no one at the seat: the one local user", {{"c3", kAnna}}, kAnna, 0},
      {"the greeter at the seat, another's own login", {{"g1", kGreeter, "greeter", true, false, true}, {"c3", kBen}}, kBen, 3},
      {"an inactive session", {{"c3", kAnna, "user", false}}, kAnna, 3},
      {"a remote session", {{"c3", kAnna, "user", true, true}}, kAnna, 3},
      {"a background session", {{"c3", kAnna, "background"}}, kAnna, 3},
      {"two local users: neither is the one", {{"c3", kAnna}, {"c4", kBen}}, kAnna, 3},
  };
  ServiceProcess service;
  ASSERT_TRUE(service.Serving()) << service.Errors();
  for (const auto& row : rows) {
    service.Login(row.sessions);
    EXPECT_EQ(service.QueryAs(row.caller), row.status) << row.name;
  }
}

long ResidentKiB(pid_t process) {
  const std::string status = ReadProcFile("/proc/" + std::to_string(process) + "/status");
  const std::size_t line = status.find("\nVmRSS:");
  return line == std::string::npos ? -1 : std::strtol(status.c_str() + line + 7, nullptr, 10);
}

// A sweep of 10 000 bad connections: the desktop user's client gets every
// answer within a second, and the service's memory stays flat (every reader's
// thread is joined). (A process of the user's holding 145 half-sent requests
// beside the client: the netns world.)
TEST(ServiceProgram, BadCallersCostOnlyThemselves) {
  ServiceProcess service;
  service.Login({{"c1", kAnna, "user", true, false, true}});
  ASSERT_TRUE(service.Serving()) << service.Errors();
  std::mt19937 random(20261207);
  const std::string header = probe::RequestBytes(1, 7, "");
  const auto big = EncodeRequestHeader(2, 8, kMaxControlBody + 1);
  std::string noise(200, '\0');
  long early = 0;
  for (int i = 0; i < 10000; ++i) {
    const int fd = probe::Connect(service.path);
    ASSERT_GE(fd, 0) << "connection " << i << " was not accepted";
    for (char& c : noise) c = static_cast<char>(random());
    // A cut header, one announcing too long a body, noise, a cut body, and nothing (it leaves at once).
    const std::string bad[] = {header.substr(0, 1 + random() % (header.size() - 1)), std::string(big.begin(), big.end()),
                               noise.substr(0, 1 + random() % 200),
                               probe::RequestBytes(2, 9, R"({"private_key":"abc"})").substr(0, kRequestHeaderSize + 5), ""};
    probe::SendAll(fd, bad[i % 5]);
    close(fd);  // without reading
    if (i % 1250 == 0) {
      EXPECT_EQ(service.QueryAs(kAnna, 1000), 0) << "the client's answer at connection " << i;
    }
    if (i == 1000) early = ResidentKiB(service.pid);
  }
  ASSERT_GT(early, 0);
#ifndef __SANITIZE_ADDRESS__
  // AddressSanitizer keeps freed blocks and ended threads' records on purpose, so
  // there resident memory says nothing: only the plain build bounds the growth.
  const long late = ResidentKiB(service.pid);
  EXPECT_LT(late - early, 512) << "resident memory grew from " << early << " KiB to " << late << " KiB";
#endif
  EXPECT_EQ(service.End(SIGTERM), 0) << "it lived through the sweep and ends cleanly";
}

// In a network namespace of the test's own. A record of a killed run is read at
// the start, whoever wrote it: one naming a process that is not the service's
// helper ends nothing, and it goes with its half-written successor. Later
// records go into the folder the service opened, though a link now stands at
// its name (the folder around it may be another user's).
TEST(ServiceProgram, ItsStateFolderIsTheOneItOpened) {
  ASSERT_EQ(geteuid(), 0u) << "undoes what a killed service left";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "never the machine's tunnel";
  const pid_t bystander = fork();
  if (bystander == 0) execl("/bin/sleep", "sleep", "30", nullptr), _exit(127);
  const auto plant = [bystander](const fs::path& socket) {
    const fs::path folder = socket.string() + ".state";
    fs::create_directory(folder), fs::permissions(folder, fs::perms::owner_all);
    const auto started = ReadProcessStat("/proc/" + std::to_string(bystander)).startTime;
    SaveTunnelRecord(folder / "tunnel", {true, {static_cast<std::uint32_t>(bystander), started}, std::nullopt});
    std::ofstream(folder / "tunnel.new") << "half";
  };
  ServiceProcess service(plant);
  ASSERT_TRUE(service.Serving()) << service.Errors();
  EXPECT_NE(service.Errors().find("removed what a killed run left"), std::string::npos) << "the record was read";
  EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the process the record named was ended";
  const fs::path state = service.path.string() + ".state", elsewhere = service.folder / "elsewhere";
  EXPECT_FALSE(fs::exists(state / "tunnel") || fs::exists(state / "tunnel.new"));

  fs::create_directory(elsewhere), std::ofstream(elsewhere / "tunnel") << "keep";
  fs::rename(state, service.folder / "moved"), fs::create_directory_symlink(elsewhere, state);
  const std::string start = R"({"private_key":"SH42jI20TMb3iMKTVHAvQF0yFlB4fpKUY21Ikzzfw3k=","assigned_ip":"10.240.0.2/32",)"
                            R"("server_public_key":"YRlWpM7sGw8USwZjTiiuMCl31/7MQExA4ElAvSOygA4=","route_mode":"full",)"
                            R"("allowed_ips":["0.0.0.0/0"],"endpoint":)";
  const auto refused = probe::Exchange(service.path, 2, 5, start + R"("127.0.0.1:51820"})");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->header.status, 4u) << "no route to the node here: it fails after saving its record";
  EXPECT_EQ(ReadProcFile(elsewhere / "tunnel"), "keep") << "the record went through the link";

  EXPECT_EQ(service.End(SIGTERM), 0);
  kill(bystander, SIGKILL), waitpid(bystander, nullptr, 0);
}

}  // namespace
}  // namespace zv
