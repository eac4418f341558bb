// The Linux shell's own judgements: which name a process goes by, which key
// texts are keys, how resolved addresses cross into the engine's layout.
#include <gtest/gtest.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "allowed_ip.h"
#include "split_platform_linux.h"
#include "tunnel_platform_linux.h"
#include "utf16_text.h"

namespace {

using namespace std::string_literals;

TEST(ProcessImageName, WindowsGamesGoByTheirExeFile) {
  const struct {
    std::string exe, commandLine, name;
  } rows[] = {
      {"/usr/bin/sleep", "sleep\0" "5\0"s, "sleep"},
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

  std::uint32_t error = 0;
  EXPECT_EQ(platform.OpenSplitDevice(error), zv::kNoDevice);
  EXPECT_EQ(error, 2u) << "the number a missing driver gives on Windows too";
}

TEST(LinuxTunnelPlatform, OnlyTheCanonicalTextOfThirtyTwoBytesIsAKey) {
  zv::LinuxTunnelPlatform platform;
  zv::WireGuardKey key{};
  ASSERT_TRUE(platform.DecodeKey("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", key));
  for (std::size_t i = 0; i < key.size(); ++i) ASSERT_EQ(key[i], i);
  const char* refused[] = {
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg==",   // 31 bytes
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8g",   // 33 bytes
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9=",   // spare bits set
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8",    // no pad
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd Hh8=",  // a space inside
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd-h8=",   // not in the alphabet
      "",
  };
  for (const char* text : refused) EXPECT_FALSE(platform.DecodeKey(text, key)) << text;
}

TEST(LinuxTunnelPlatform, ResolvedAddressesTakeTheWindowsLayout) {
  zv::LinuxTunnelPlatform platform;
  zv::SocketAddressInet address{};
  ASSERT_TRUE(platform.ResolveAddress("127.0.0.1", "51820", address));
  EXPECT_EQ(address.family, zv::kFamilyIpv4);
  EXPECT_EQ(address.port, htons(51820));
  EXPECT_EQ(std::memcmp(address.rest, "\x7f\0\0\x01", 4), 0);

  ASSERT_TRUE(platform.ResolveAddress("::1", "443", address));
  EXPECT_EQ(address.family, zv::kFamilyIpv6);
  EXPECT_EQ(address.port, htons(443));
  const std::uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(address.rest + 4, loopback, 16), 0) << "after the flow info";

  EXPECT_FALSE(platform.ResolveAddress("", "51820", address)) << "not this machine";
  EXPECT_FALSE(platform.ResolveAddress("127.0.0.1", "", address));
}

TEST(Utf8FromUtf16, RoundTripsAndRefusesLoneSurrogates) {
  const std::string text = "/opt/加速/\xF0\x9F\x8E\xAE/wireguard.so";
  EXPECT_EQ(zv::Utf8FromUtf16(*zv::Utf16FromUtf8(text)), text);
  EXPECT_FALSE(zv::Utf8FromUtf16(u"a\xD800"));
  EXPECT_FALSE(zv::Utf8FromUtf16(std::u16string(1, u'\xDC00') + u"b"));
}

}  // namespace
