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

TEST(LinuxSplitPlatform, TheSnapshotSeesAGameUnderItsExeName) {
  char* argv[] = {const_cast<char*>("C:\\Games\\CS2.exe"), const_cast<char*>("30"), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
  zv::LinuxSplitPlatform platform;
  std::u16string childName, ownName;
  for (int attempt = 0; attempt < 200 && childName != u"CS2.exe"; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // until exec has replaced the command line
    ASSERT_TRUE(platform.ForEachProcess([&](std::uint32_t id, std::u16string_view name) {
      if (id == static_cast<std::uint32_t>(child)) childName = name;
      if (id == static_cast<std::uint32_t>(getpid())) ownName = name;
    }));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(childName, u"CS2.exe");
  EXPECT_EQ(ownName, u"linux_shell_test");
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
