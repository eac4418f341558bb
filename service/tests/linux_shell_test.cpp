// The Linux implementations on this machine's kernel: which name a process
// goes by and which processes the tracker sees, resolved endpoints, the
// wireguard-go helper's bound and private socket, and the service program itself. (Which key texts are keys: the tunnel engine
// test, through this decoder.)
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "control_channel.h"
#include "control_probe.h"
#include "ebpf_game_steering_linux.h"
#include "proc_files_linux.h"
#include "system_lookups.h"
#include "tunnel_record.h"
#include "wireguard_go_device_linux.h"

namespace zv {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

TEST(ProcessImageName, WindowsGamesGoByTheirExeFile) {
  const struct {
    std::string exe, commandLine, name;
  } rows[] = {
      {"/usr/lib/wine/wine64-preloader", "C:\\Program Files\\Counter-Strike\\cs2.exe\0-novid\0"s, "cs2.exe"},
      {"/usr/lib/wine/wine64-preloader", "Z:/games/PUBG/TslGame.EXE\0"s, "TslGame.EXE"},
      {"/opt/game/run.exe.sh", "start.exe.sh\0"s, "run.exe.sh"},  // a script goes by its file
      {"/usr/bin/python3 (deleted)", "python3\0tool.exe\0"s, "python3"},  // only the first argument counts
      {"/usr/bin/bash", ""s, "bash"},
  };
  for (const auto& row : rows) EXPECT_EQ(ProcessImageName(row.exe, row.commandLine), row.name) << row.exe;
}

// Started as "linux_shell_test rewrite", this program plays wine's first
// moments: a while under its own name, then its first argument rewritten in
// place to the game's Windows path and its task named after the game's file,
// with no new exec the kernel would report (as wine 8 does).
const bool kPlaysWine = [] {
  const std::string commandLine = ReadProcFile("/proc/self/cmdline");
  if (commandLine.find("\0rewrite\0"s) == std::string::npos) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const char game[] = "C:\\Games\\CS2.exe";
  std::memcpy(program_invocation_name, game, sizeof game);  // our first argument is longer
  prctl(PR_SET_NAME, "CS2.exe");
  pause();
  return true;
}();

// The process table as the tracker reads it, walked whole without the kernel
// programs and kept from their reports with them: a game is seen under its
// file's name (also one started through a link of another name, one whose
// name is not ASCII, or longer than a task's name), also when the name comes
// only after the start, and no longer once it has ended. Then what stays of a
// split after its stop.
TEST(EbpfGameSteering, TheTableSeesGamesStartAndEndUnderTheirFileNames) {
  ASSERT_EQ(geteuid(), 0u) << "loads kernel programs";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "the split's rule and route in a namespace of the test's own";
  ASSERT_EQ(std::system("ip tuntap add ZENTRAVOLK mode tun && ip link set ZENTRAVOLK up"), 0);
  const fs::path games = fs::temp_directory_path() / ("zv-games-" + std::to_string(getpid()));
  fs::create_directories(games);
  for (const char* name : {"ÜBERGAME.EXE", "a-game-of-a-long-name.exe"}) fs::copy_file("/bin/sleep", games / name);
  fs::create_symlink(games / "a-game-of-a-long-name.exe", games / "play");
  const auto spawn = [](const fs::path& program, std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    EXPECT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ), 0) << program;
    return child;
  };
  for (const bool reported : {false, true}) {
    const std::string label = reported ? "kept from the kernel's reports" : "walked";
    std::vector<pid_t> children = {spawn("/proc/self/exe", {program_invocation_name, "rewrite"})};  // before the first look
    EbpfGameSteering platform;
    if (reported) {
      std::string error;
      ASSERT_TRUE(platform.Start({if_nametoindex("ZENTRAVOLK"), {"cs2.exe", "übergame.exe", "a-game-of-a-long-name.exe"},
                                  0, {}},
                                 error))
          << error;
    }
    const auto nameOf = [&](pid_t process) {
      std::string found;
      EXPECT_TRUE(platform.ForEachProcess([&](std::uint32_t id, std::string_view name) {
        if (id == static_cast<std::uint32_t>(process)) found = name;
      }));
      return found;
    };
    const auto becomes = [&](pid_t process, const std::string& name) {
      for (int look = 0; look < 400 && nameOf(process) != name; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return nameOf(process) == name;
    };
    children.push_back(spawn("/proc/self/exe", {program_invocation_name, "rewrite"}));
    children.push_back(spawn(games / "ÜBERGAME.EXE", {"ÜBERGAME.EXE", "30"}));
    children.push_back(spawn(games / "play", {"play", "30"}));
    const std::string expected[] = {"CS2.exe", "CS2.exe", "ÜBERGAME.EXE", "a-game-of-a-long-name.exe"};
    for (std::size_t i = 0; i < children.size(); ++i) EXPECT_TRUE(becomes(children[i], expected[i])) << label << " " << i;
    // Once a name has settled it is not read again: only the report of the end takes it away.
    if (reported) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    for (const pid_t child : children) kill(child, SIGKILL), waitpid(child, nullptr, 0);
    EXPECT_TRUE(becomes(children[2], "")) << label << ": ended";
    if (reported) {
      platform.Stop();
      // All the split made goes, while the tunnel stays too: a next start finds nothing in its way.
      std::string left(4096, '\0');
      FILE* shown = popen("ip route show table 31352 2>&1; ip rule show priority 31340; ip rule show priority 31339", "r");
      left.resize(fread(left.data(), 1, left.size(), shown));
      pclose(shown);
      EXPECT_EQ(left, "") << label;
    }
  }
  fs::remove_all(games);
  // A kernel that cannot name a socket's namespace (before 5.14) would leave every
  // socket unmarked: the start is refused. Here a filter makes the kernel answer as such a one does.
  const pid_t child = fork();
  if (child == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getsockopt, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SO_NETNS_COOKIE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOPROTOOPT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{std::size(filter), filter};
    std::string error = "no filter";
    EbpfGameSteering platform;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
        platform.Start({if_nametoindex("ZENTRAVOLK"), {"cs2.exe"}, 0, {}}, error)) {
      error = "started";
    }
    const bool refused = error == "smart_split_driver_unavailable_92";
    if (!refused) std::fprintf(stderr, "instead: %s\n", error.c_str());
    _exit(refused ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "a start where the namespace cannot be named";
}

TEST(ResolveUdpAddress, NamesAndLiteralsWithTheirPort) {
  IpAddress v4, v6, refused;
  ASSERT_TRUE(ResolveUdpAddress("127.0.0.1", "51820", v4));
  ASSERT_TRUE(ResolveUdpAddress("::1", "443", v6));
  EXPECT_EQ(v4, IpAddress::V4({127, 0, 0, 1}, 51820));
  IpAddress loopback6{IpFamily::V6, {}, 443};
  loopback6.bytes[15] = 1;
  EXPECT_EQ(v6, loopback6);
  EXPECT_FALSE(ResolveUdpAddress("", "51820", refused)) << "not this machine";
  EXPECT_FALSE(ResolveUdpAddress("127.0.0.1", "", refused));
}

// The helper in a network namespace of the test's own: its socket is its own
// (nothing in the machine's /run/wireguard), a helper that accepts and never
// answers fails the step within the bound, and closing the adapter ends it.
TEST(WireGuardGoDevice, TheHelpersSocketIsItsOwnAndASilentHelperIsBounded) {
  ASSERT_EQ(geteuid(), 0u) << "creates an interface";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "a namespace of its own";
  WireGuardGoDevice device;
  std::string error;
  ASSERT_TRUE(device.Create(error)) << error;
  const pid_t helper = static_cast<pid_t>(device.Trace().processId);
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(std::filesystem::exists("/proc/" + std::to_string(helper) + "/root/run/wireguard/ZENTRAVOLK.sock"));
  EXPECT_FALSE(std::filesystem::exists("/run/wireguard/ZENTRAVOLK.sock")) << "the socket is not the machine's";
  ASSERT_EQ(kill(helper, SIGSTOP), 0);
  // A stop takes hold of each thread as it next runs: until all are stopped, one may still answer.
  const auto allStopped = [helper] {
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(helper) + "/task")) {
      const std::string stat = ReadProcFile(task.path() / "stat");
      const std::size_t state = stat.rfind(')') + 2;  // after the name, which may hold anything
      if (state >= stat.size() || (stat[state] != 't' && stat[state] != 'T')) return false;
    }
    return true;
  };
  for (int i = 0; i < 200 && !allStopped(); ++i) usleep(5000);
  ASSERT_TRUE(allStopped());

  PeerSettings settings;
  settings.privateKey = Secret::Sized(32);
  settings.endpoint = IpAddress::V4({127, 0, 0, 1}, 51820);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(device.Configure(settings, error));
  EXPECT_EQ(error, "set_tunnel_config_failed_" + std::to_string(ETIMEDOUT));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4)) << "the exchange is bounded";
  EXPECT_FALSE(device.Activity()) << "a silent helper's counters are unknown, not zero";

  bool closed = false;
  EXPECT_TRUE(device.Release([&] { closed = true; }, error));
  EXPECT_TRUE(closed);
  EXPECT_NE(kill(helper, 0), 0) << "the silent helper was ended";
  EXPECT_EQ(if_nametoindex("ZENTRAVOLK"), 0u);
}

// The service program itself, started as the system starts it: each stop
// signal ends it cleanly, it takes over only a stale socket, and a sweep of bad
// connections neither disturbs the well-formed clients among them nor costs
// memory. (How long a stalled client may hold the others: the listener test.)
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
  ~ServiceProcess() {
    if (pid > 0) End(SIGKILL);
    fs::remove_all(folder);
  }
  bool Serving() {
    for (int i = 0; i < 500; ++i, usleep(5000)) {
      if (probe::Exchange(path.string(), 1, 1)) return true;
      siginfo_t ended{};  // looked at, not reaped: End gives its exit code
      if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid) return false;
    }
    return false;
  }
  // Sends the signal (0: none, it ends by itself) and gives the exit code, or
  // -1 for a death by signal; one still running after 5 s is killed.
  int End(int signal) {
    if (signal != 0) kill(pid, signal);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 500 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(10000);
    if (ended == 0) {
      ADD_FAILURE() << "the service still ran 5 s later (" << (signal != 0 ? strsignal(signal) : "no signal") << ")";
      kill(pid, SIGKILL);
      ended = waitpid(pid, &status, 0);
    }
    const bool reaped = ended == pid;
    pid = -1;
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Errors() const { return ReadProcFile(folder / "stderr"); }

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
       [](const fs::path& p) { return fs::is_regular_file(fs::symlink_status(p)) && ReadProcFile(p) == "keep me"; },
       "is a regular file, not a socket"},
      {"directory", [](const fs::path& p) { fs::create_directory(p), std::ofstream(p / "inside") << "x"; },
       [](const fs::path& p) { return ReadProcFile(p / "inside") == "x"; }, "is a directory, not a socket"},
      {"symbolic link",
       [](const fs::path& p) {
         std::ofstream(p.parent_path() / "target") << "elsewhere";
         fs::create_symlink(p.parent_path() / "target", p);
       },
       [](const fs::path& p) { return fs::is_symlink(p) && ReadProcFile(p.parent_path() / "target") == "elsewhere"; },
       "is a symbolic link, not a socket"},
      {"live socket", [](const fs::path& p) { BoundSocket(p, true); },  // the test keeps it open
       [](const fs::path& p) { return probe::Connect(p.string()) >= 0; }, "another accelerator-service is listening"},
      // Its record and lock live in a folder only it may write, or a link there could aim its writes.
      {"state folder open to others",
       [](const fs::path& p) {
         fs::create_directory(p.string() + ".state");
         fs::permissions(p.string() + ".state", fs::perms::all);
       },
       [](const fs::path& p) { return fs::status(p.string() + ".state").permissions() == fs::perms::all; },
       "is not a folder of the service's own"},
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
    ServiceProcess twin({}, first.path);  // with a folder of its own for its errors
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

// A record of a killed run is read at the start, whoever wrote it: one naming
// a process that is not the service's helper ends nothing, and the record goes
// with its half-written successor.
TEST(ServiceProgram, ARecordNamingAnotherProcessEndsNothing) {
  ASSERT_EQ(geteuid(), 0u) << "undoes what a killed service left";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "in a namespace of the test's own, never the machine's tunnel";
  const pid_t bystander = fork();
  if (bystander == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execl("/bin/sleep", "sleep", "30", nullptr);
    _exit(127);
  }
  struct Reaped {
    pid_t process;
    ~Reaped() { kill(process, SIGKILL), waitpid(process, nullptr, 0); }
  } reaped{bystander};
  const auto plant = [bystander](const fs::path& socket) {
    const fs::path folder = socket.string() + ".state";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all);
    const auto started = ReadProcessStat("/proc/" + std::to_string(bystander)).startTime;
    SaveTunnelRecord(folder / "tunnel", {true, {static_cast<std::uint32_t>(bystander), started}, std::nullopt});
    std::ofstream(folder / "tunnel.new") << "half";
  };
  ServiceProcess service(plant);
  ASSERT_TRUE(service.Serving()) << service.Errors();
  EXPECT_NE(service.Errors().find("removed what a killed run left"), std::string::npos) << "the record was read";
  EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the process the record named was ended";
  EXPECT_FALSE(fs::exists(service.path.string() + ".state/tunnel"));
  EXPECT_FALSE(fs::exists(service.path.string() + ".state/tunnel.new"));
  EXPECT_EQ(service.End(SIGTERM), 0);
}

long ResidentKiB(pid_t process) {
  const std::string status = ReadProcFile("/proc/" + std::to_string(process) + "/status");
  const std::size_t line = status.find("\nVmRSS:");
  return line == std::string::npos ? -1 : std::strtol(status.c_str() + line + 7, nullptr, 10);
}

TEST(ServiceProgram, BadConnectionsCostTheOthersNothing) {
  ServiceProcess service;
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
    if (i % 250 == 0 || i == 9999) {  // a well-formed query gets exactly the idle reply for its own id
      const auto reply = probe::Exchange(service.path, 1, 1000 + i);
      ASSERT_TRUE(reply && reply->header.status == 0 && reply->body == kIdleBody) << "request " << i;
      EXPECT_EQ(reply->header.requestId, 1000u + i);
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

}  // namespace
}  // namespace zv
