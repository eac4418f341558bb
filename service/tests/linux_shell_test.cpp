// The Linux implementations on this machine's kernel: which name a process
// goes by, what a split leaves after its stop, resolved endpoints, and the
// wireguard-go helper's bound and private socket. (Which key texts are keys:
// the tunnel engine test, through this decoder; the service program:
// service_program_test.)
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
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

// What a split leaves after its stop while the tunnel stays: nothing a next
// start could find in its way. (Which games it sees, under which names, is the
// netns world's, through the real service.)
TEST(EbpfGameSteering, AStoppedSplitLeavesNothingAndAKernelWithoutNamespaceCookiesIsRefused) {
  ASSERT_EQ(geteuid(), 0u) << "loads kernel programs";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "the split's rule and route in a namespace of the test's own";
  ASSERT_EQ(std::system("ip tuntap add ZENTRAVOLK mode tun && ip link set ZENTRAVOLK up"), 0);
  {
    EbpfGameSteering platform;
    std::string error;
    ASSERT_TRUE(platform.Start({if_nametoindex("ZENTRAVOLK"), {"cs2.exe"}, 0, {}}, error)) << error;
    platform.Stop();
    std::string left(4096, '\0');
    FILE* shown = popen("ip route show table 31352 2>&1; ip rule show priority 31340; ip rule show priority 31339", "r");
    left.resize(fread(left.data(), 1, left.size(), shown));
    pclose(shown);
    EXPECT_EQ(left, "");
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

}  // namespace
}  // namespace zv
