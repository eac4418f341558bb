// The Linux implementations on this machine's kernel: which name a process
// goes by and which processes the tracker sees, how resolved addresses cross
// into the engine's layout, and the wireguard-go helper's bound and private
// socket. (Which key texts are keys: the tunnel engine test, through this
// decoder; the service program: service_program_test.)
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
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "ebpf_game_steering_linux.h"
#include "proc_files_linux.h"
#include "system_lookups.h"
#include "utf16_text.h"
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
// place to the game's Windows path, with no new exec the kernel would report.
const bool kPlaysWine = [] {
  const std::string commandLine = ReadProcFile("/proc/self/cmdline");
  if (commandLine.find("\0rewrite\0"s) == std::string::npos) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const char game[] = "C:\\Games\\CS2.exe";
  std::memcpy(program_invocation_name, game, sizeof game);  // our first argument is longer
  pause();
  return true;
}();

// The process table as the tracker reads it, walked whole without the kernel
// programs and kept from their reports of starts and ends with them: a game is
// seen under its exe name once started, also when the name comes only after the
// start, and no longer once it has ended.
TEST(EbpfGameSteering, TheTableSeesGamesStartAndEndUnderTheirExeNames) {
  ASSERT_EQ(geteuid(), 0u) << "loads kernel programs";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "the split's rule and route in a namespace of the test's own";
  ASSERT_EQ(std::system("ip tuntap add ZENTRAVOLK mode tun && ip link set ZENTRAVOLK up"), 0);
  for (const bool reported : {false, true}) {
    const std::string label = reported ? "kept from the kernel's reports" : "walked";
    char* wineArguments[] = {program_invocation_name, const_cast<char*>("rewrite"), nullptr};
    pid_t wineBefore = -1, sleeper = -1, wineAfter = -1;  // started before the table is first read, and after
    ASSERT_EQ(posix_spawn(&wineBefore, "/proc/self/exe", nullptr, nullptr, wineArguments, environ), 0);
    EbpfGameSteering platform;
    if (reported) {
      std::string error;
      ASSERT_TRUE(platform.Start({if_nametoindex("ZENTRAVOLK"), {u"cs2.exe"}, 0, {}}, error)) << error;
    }
    const auto nameOf = [&](pid_t process) {
      std::u16string found;
      EXPECT_TRUE(platform.ForEachProcess([&](std::uint32_t id, std::u16string_view name) {
        if (id == static_cast<std::uint32_t>(process)) found = name;
      }));
      return found;
    };
    const auto becomes = [&](pid_t process, const std::u16string& name) {
      for (int look = 0; look < 400 && nameOf(process) != name; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return nameOf(process) == name;
    };
    EXPECT_EQ(nameOf(getpid()), u"linux_shell_test") << label;

    char* sleeperArguments[] = {const_cast<char*>("C:\\Games\\CS2.exe"), const_cast<char*>("30"), nullptr};
    ASSERT_EQ(posix_spawn(&sleeper, "/bin/sleep", nullptr, nullptr, sleeperArguments, environ), 0);
    ASSERT_EQ(posix_spawn(&wineAfter, "/proc/self/exe", nullptr, nullptr, wineArguments, environ), 0);
    EXPECT_TRUE(becomes(sleeper, u"CS2.exe")) << label;
    EXPECT_TRUE(becomes(wineBefore, u"CS2.exe")) << label << ": renamed after its start";
    EXPECT_TRUE(becomes(wineAfter, u"CS2.exe")) << label << ": renamed after its start";
    // Once a name has settled it is not read again: only the report of the end takes it away.
    if (reported) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    for (const pid_t child : {wineBefore, sleeper, wineAfter}) kill(child, SIGKILL), waitpid(child, nullptr, 0);
    EXPECT_TRUE(becomes(sleeper, u"")) << label << ": ended";
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
        platform.Start({if_nametoindex("ZENTRAVOLK"), {u"cs2.exe"}, 0, {}}, error)) {
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

TEST(ResolveUdpAddress, ResolvedAddressesTakeTheWindowsLayout) {
  SocketAddressInet v4, v6, refused;
  std::memset(&v4, 0xAB, sizeof v4), std::memset(&v6, 0xAB, sizeof v6);  // stale bytes must not survive
  ASSERT_TRUE(ResolveUdpAddress("127.0.0.1", "51820", v4));
  ASSERT_TRUE(ResolveUdpAddress("::1", "443", v6));
  const SocketAddressInet expected4{kFamilyIpv4, htons(51820), {127, 0, 0, 1}};
  SocketAddressInet expected6{kFamilyIpv6, htons(443), {}};
  expected6.rest[4 + 15] = 1;  // after the flow info
  EXPECT_EQ(std::memcmp(&v4, &expected4, sizeof v4), 0);
  EXPECT_EQ(std::memcmp(&v6, &expected6, sizeof v6), 0);
  EXPECT_FALSE(ResolveUdpAddress("", "51820", refused)) << "not this machine";
  EXPECT_FALSE(ResolveUdpAddress("127.0.0.1", "", refused));
}

TEST(Utf8FromUtf16, RoundTripsAndRefusesLoneSurrogates) {
  const std::string text = "/opt/加速/\xF0\x9F\x8E\xAE/wireguard.so";
  EXPECT_EQ(Utf8FromUtf16(*Utf16FromUtf8(text)), text);
  EXPECT_FALSE(Utf8FromUtf16(u"a\xD800"));
  EXPECT_FALSE(Utf8FromUtf16(std::u16string(1, u'\xDC00') + u"b"));
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
  settings.endpoint = {kFamilyIpv4, htons(51820), {127, 0, 0, 1}};
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

}  // namespace
}  // namespace zv
