// The Linux shell's own judgements: which name a process goes by, how resolved
// addresses cross into the engine's layout; and wireguard.so through its
// exports. (Which key texts are keys: the tunnel test, whose fake decodes
// with this shell's decoder.)
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "split_platform_linux.h"
#include "tunnel_platform_linux.h"
#include "utf16_text.h"
#include "wireguard_config.h"

namespace {

using namespace std::string_literals;

TEST(ProcessImageName, WindowsGamesGoByTheirExeFile) {
  const struct {
    std::string exe, commandLine, name;
  } rows[] = {
      {"/usr/lib/wine/wine64-preloader", "C:\\Program Files\\Counter-Strike\\cs2.exe\0-novid\0"s, "cs2.exe"},
      {"/usr/lib/wine/wine64-preloader", "Z:/games/PUBG/TslGame.EXE\0"s, "TslGame.EXE"},
      {"/opt/game/run.exe.sh", "/opt/game/run.exe.sh\0"s, "run.exe.sh"},
      {"/usr/bin/python3 (deleted)", "python3\0tool.exe\0"s, "python3"},  // only the first argument counts
      {"/usr/bin/bash", ""s, "bash"},
  };
  for (const auto& row : rows) EXPECT_EQ(zv::ProcessImageName(row.exe, row.commandLine), row.name) << row.exe;
}

// Started as "linux_shell_test rewrite", this program plays wine's first
// moments: a while under its own name, then its first argument rewritten in
// place to the game's Windows path, with no new exec the kernel would report.
const bool kPlaysWine = [] {
  const std::string commandLine = zv::ReadProcFile("/proc/self/cmdline");
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
TEST(LinuxSplitPlatform, TheTableSeesGamesStartAndEndUnderTheirExeNames) {
  ASSERT_EQ(geteuid(), 0u) << "loads kernel programs";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "the split's rule and route in a namespace of the test's own";
  ASSERT_EQ(std::system("ip tuntap add ZENTRAVOLK mode tun && ip link set ZENTRAVOLK up"), 0);
  for (const bool reported : {false, true}) {
    const std::string label = reported ? "kept from the kernel's reports" : "walked";
    char* wineArguments[] = {program_invocation_name, const_cast<char*>("rewrite"), nullptr};
    pid_t wineBefore = -1, sleeper = -1, wineAfter = -1;  // started before the table is first read, and after
    ASSERT_EQ(posix_spawn(&wineBefore, "/proc/self/exe", nullptr, nullptr, wineArguments, environ), 0);
    zv::LinuxSplitPlatform platform;
    zv::FilterEngineHandle engine = nullptr;
    if (reported) {
      std::uint32_t error = 0;
      ASSERT_NE(platform.OpenSplitDevice(error), zv::kNoDevice) << std::strerror(static_cast<int>(error));
      ASSERT_EQ(platform.OpenFilterEngine(0, 0, engine), 0u);
      ASSERT_EQ(platform.CommitTransaction(engine), 0u);
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
    if (reported) platform.CloseFilterEngine(engine);
  }
}

TEST(LinuxTunnelPlatform, ResolvedAddressesTakeTheWindowsLayout) {
  zv::LinuxTunnelPlatform platform;
  zv::SocketAddressInet v4, v6, refused;
  std::memset(&v4, 0xAB, sizeof v4), std::memset(&v6, 0xAB, sizeof v6);  // stale bytes must not survive
  ASSERT_TRUE(platform.ResolveAddress("127.0.0.1", "51820", v4));
  ASSERT_TRUE(platform.ResolveAddress("::1", "443", v6));
  const zv::SocketAddressInet expected4{zv::kFamilyIpv4, htons(51820), {127, 0, 0, 1}};
  zv::SocketAddressInet expected6{zv::kFamilyIpv6, htons(443), {}};
  expected6.rest[4 + 15] = 1;  // after the flow info
  EXPECT_EQ(std::memcmp(&v4, &expected4, sizeof v4), 0);
  EXPECT_EQ(std::memcmp(&v6, &expected6, sizeof v6), 0);
  EXPECT_FALSE(platform.ResolveAddress("", "51820", refused)) << "not this machine";
  EXPECT_FALSE(platform.ResolveAddress("127.0.0.1", "", refused));
}

TEST(Utf8FromUtf16, RoundTripsAndRefusesLoneSurrogates) {
  const std::string text = "/opt/加速/\xF0\x9F\x8E\xAE/wireguard.so";
  EXPECT_EQ(zv::Utf8FromUtf16(*zv::Utf16FromUtf8(text)), text);
  EXPECT_FALSE(zv::Utf8FromUtf16(u"a\xD800"));
  EXPECT_FALSE(zv::Utf8FromUtf16(std::u16string(1, u'\xDC00') + u"b"));
}

}  // namespace

// wireguard.so through its exports, in a network namespace of the test's own:
// a helper that accepts and never answers fails the step within the bound,
// and closing the adapter ends it; the library then leaves memory for good.
TEST(WireGuardLibrary, ASilentHelperFailsTheStepInTimeAndIsEnded) {
  ASSERT_EQ(geteuid(), 0u) << "creates an interface";
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "a namespace of its own";
  void* library = dlopen(ZV_WIREGUARD_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto create = reinterpret_cast<zv::CreateAdapterFunction>(dlsym(library, "WireGuardCreateAdapter"));
  const auto closeAdapter = reinterpret_cast<zv::CloseAdapterFunction>(dlsym(library, "WireGuardCloseAdapter"));
  const auto configure = reinterpret_cast<zv::SetConfigurationFunction>(dlsym(library, "WireGuardSetConfiguration"));
  ASSERT_TRUE(create && closeAdapter && configure);

  void* adapter = create(u"zvsilent0", u"zvsilent0", nullptr);
  ASSERT_NE(adapter, nullptr) << std::strerror(errno);
  pid_t helper = 0;  // our child running wireguard-go
  zv::ForEachProcessFolder([&](std::uint32_t id, const std::string& folder) {
    if (zv::ReadProcessStat(folder).parent == static_cast<std::uint32_t>(getpid()) &&
        zv::ReadProcFile(folder + "/cmdline").starts_with("wireguard-go")) {
      helper = static_cast<pid_t>(id);
    }
  });
  ASSERT_GT(helper, 0);
  ASSERT_EQ(kill(helper, SIGSTOP), 0);

  zv::SocketAddressInet endpoint{zv::kFamilyIpv4, htons(51820), {127, 0, 0, 1}};
  const auto block = zv::ComposeConfigurationBlock(zv::WireGuardKey{1}, zv::WireGuardKey{2}, endpoint, {});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(configure(adapter, block.data(), static_cast<std::uint32_t>(block.size())), 0);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4)) << "the exchange is bounded";

  closeAdapter(adapter);
  EXPECT_NE(kill(helper, 0), 0) << "the silent helper was ended";
  EXPECT_EQ(if_nametoindex("zvsilent0"), 0u);
  EXPECT_FALSE(std::filesystem::exists("/var/run/wireguard/zvsilent0.sock"));
  dlclose(library);
  std::ifstream maps("/proc/self/maps");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(maps), {}).find("/wireguard.so"), std::string::npos)
      << "wireguard.so stays mapped after its unload";
}
