// The Windows shells under wine, against the fake wireguard.dll built beside this program.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "endpoint.h"
#include "split_platform_windows.h"
#include "tunnel_platform_windows.h"
#include "utf16_text.h"
#include "wireguard_config.h"
#include "tunnel_record.h"
#include "wireguard_tunnel.h"

namespace zv {
namespace {

constexpr char kPrivateKey[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";  // bytes 1..32
constexpr char kServerKey[] = "gIGCg4SFhoeIiYqLjI2Oj5CRkpOUlZaXmJmam5ydnp8=";   // bytes 0x80..0x9f

std::u16string ProgramFolder() {
  std::u16string path = WindowsTunnelPlatform().OwnProgramPath();
  return path.substr(0, path.find_last_of(u'\\') + 1);
}

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::string ReadFile(const std::u16string& path) {
  std::ifstream file(Wide(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The real shell, told that the program lives in another folder.
class RelocatedPlatform final : public WindowsTunnelPlatform {
 public:
  explicit RelocatedPlatform(std::u16string program) : program(std::move(program)) {}
  std::u16string OwnProgramPath() override { return program; }
  std::u16string program;
};

class NoSplit final : public SplitRouting {
 public:
  bool Start(std::uint64_t, const std::vector<std::string>&, std::string&) override { return true; }
  void Stop() override {}
};

class FakeLibraryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteFileW(Wide(ProgramFolder() + u"wireguard-calls.txt"));
    DeleteFileW(Wide(ProgramFolder() + u"wireguard-configuration.bin"));
    SetEnvironmentVariableW(L"ZV_FAKE_WIREGUARD_FAIL", nullptr);
  }
  std::string Calls() { return ReadFile(ProgramFolder() + u"wireguard-calls.txt"); }
  bool Loaded(const std::u16string& folder) { return GetModuleHandleW(Wide(folder + u"wireguard.dll")) != nullptr; }
};

TEST_F(FakeLibraryRun, TheLibraryIsTakenFromTheProgramFolderOnly) {
  WindowsTunnelPlatform platform;
  ModuleHandle module = nullptr;
  WireGuardApi api;
  std::string error;
  ASSERT_TRUE(LoadWireGuardApi(platform, module, api, error)) << error;
  EXPECT_EQ(module, GetModuleHandleW(Wide(ProgramFolder() + u"wireguard.dll")));
  platform.UnloadLibrary(module);
  EXPECT_FALSE(Loaded(ProgramFolder()));

  // The working folder holds a wireguard.dll; a program elsewhere must not pick it up.
  SetCurrentDirectoryW(Wide(ProgramFolder()));
  RelocatedPlatform elsewhere(ProgramFolder() + u"empty\\accelerator-service.exe");
  error.clear();
  EXPECT_FALSE(LoadWireGuardApi(elsewhere, module, api, error));
  EXPECT_EQ(error, "embedded_tunnel_component_missing");
  EXPECT_FALSE(Loaded(ProgramFolder()));

  RelocatedPlatform lacking(ProgramFolder() + u"lacking\\accelerator-service.exe");
  error.clear();
  EXPECT_FALSE(LoadWireGuardApi(lacking, module, api, error));
  EXPECT_EQ(error, "embedded_tunnel_api_invalid");
  EXPECT_EQ(module, nullptr);
  EXPECT_FALSE(Loaded(ProgramFolder() + u"lacking\\")) << "unloaded again";
}

TEST_F(FakeLibraryRun, BringUpHandsTheAdapterTheExpectedBlock) {
  WindowsTunnelPlatform platform;
  NoSplit split;
  WireGuardTunnel tunnel(platform, split);
  const std::string request = std::string(R"({"private_key":")") + kPrivateKey +
                              R"(","assigned_ip":"10.240.0.2/32","server_public_key":")" + kServerKey +
                              R"(","endpoint":"127.0.0.1:51820","allowed_ips":["0.0.0.0/0","2001:db8::/32"]})";
  std::string error;
  // Wine has no IP Helper routes, so the start ends at the endpoint route, after the block.
  if (tunnel.BringUp(request, error)) {
    ASSERT_TRUE(tunnel.TearDown(error)) << error;
  }
  const std::string calls = Calls();
  EXPECT_EQ(calls.rfind("WireGuardCreateAdapter ZENTRAVOLK ZENTRAVOLK\nWireGuardSetConfiguration 1 288\n", 0), 0u)
      << calls;
  EXPECT_NE(calls.find("WireGuardCloseAdapter 1\n"), std::string::npos) << calls;
  EXPECT_FALSE(Loaded(ProgramFolder()));

  WireGuardKey privateKey, serverKey;
  for (int i = 0; i < 32; ++i) {
    privateKey[i] = static_cast<std::uint8_t>(1 + i);
    serverKey[i] = static_cast<std::uint8_t>(0x80 + i);
  }
  SocketAddressInet endpoint{};
  endpoint.family = kFamilyIpv4;
  endpoint.port = htons(51820);
  const std::uint8_t loopback[] = {127, 0, 0, 1};
  std::memcpy(endpoint.rest, loopback, 4);
  TunnelLists lists;
  ASSERT_TRUE(BuildTunnelLists(false, {"0.0.0.0/0", "2001:db8::/32"}, lists));
  const auto expected = ComposeConfigurationBlock(privateKey, serverKey, endpoint, lists.peer);
  const std::string block = ReadFile(ProgramFolder() + u"wireguard-configuration.bin");
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.end()), expected);
}

TEST_F(FakeLibraryRun, TheLibrarysLastErrorBecomesTheCode) {
  const std::pair<const wchar_t*, const char*> rows[] = {
      {L"WireGuardCreateAdapter:5", "create_adapter_failed_5"},
      {L"WireGuardSetConfiguration:87", "set_tunnel_config_failed_87"},
  };
  for (const auto& [script, code] : rows) {
    SetEnvironmentVariableW(L"ZV_FAKE_WIREGUARD_FAIL", script);
    WindowsTunnelPlatform platform;
    NoSplit split;
    WireGuardTunnel tunnel(platform, split);
    std::string error;
    EXPECT_FALSE(tunnel.BringUp(std::string(R"({"private_key":")") + kPrivateKey +
                                    R"(","assigned_ip":"10.240.0.2/32","server_public_key":")" + kServerKey +
                                    R"(","endpoint":"127.0.0.1:51820","allowed_ips":["10.0.0.0/8"]})",
                                error));
    EXPECT_EQ(error, code);
    EXPECT_FALSE(Loaded(ProgramFolder())) << code;
  }
}

TEST(WindowsShell, TheTunnelRecordLivesBesideTheProgramAndIsGoneAfterRecovery) {
  RelocatedPlatform platform(ProgramFolder() + u"accelerator-service.exe");
  const std::filesystem::path expected = std::filesystem::path(Wide(ProgramFolder())) / L"tunnel.state";
  EXPECT_EQ(platform.TunnelRecordPath(), expected);
  SaveTunnelRecord(platform, {true, {}, std::nullopt});
  SaveTunnelRecord(platform, {true, {7, 8}, std::nullopt});  // replaces the first whole
  EXPECT_TRUE(std::filesystem::exists(expected));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(expected) += L".new")) << "not renamed over the old";
  EXPECT_TRUE(RecoverStaleTunnel(platform));
  EXPECT_FALSE(std::filesystem::exists(expected));
  EXPECT_TRUE(RelocatedPlatform(u"").TunnelRecordPath().empty()) << "no program path, no record";
}

TEST(WindowsShell, KeysAndEndpointsThroughTheSystemDecoders) {
  WindowsTunnelPlatform platform;
  const std::pair<const char*, bool> keys[] = {
      {kPrivateKey, true},
      {"AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw==", false},  // 31 bytes
      {"AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh", false},  // 33 bytes
  };
  for (const auto& [text, accepted] : keys) {
    WireGuardKey key{};
    EXPECT_EQ(platform.DecodeKey(text, key), accepted) << text;
    if (accepted) {
      EXPECT_EQ(key[31], 32);
    }
  }
  SocketAddressInet address{};
  ASSERT_TRUE(ResolveEndpoint(platform, "127.0.0.1:51820", address));
  EXPECT_EQ(address.family, kFamilyIpv4);
  EXPECT_EQ(address.port, htons(51820));
  EXPECT_EQ(address.rest[0], 127);
  EXPECT_EQ(address.rest[3], 1);
}

TEST(WindowsShell, AGameStartedAsGameExeIsFoundByItsLowerCaseName) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"zv-game";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring game = folder + L"\\GAME.EXE";
  const std::u16string sleeper = ProgramFolder() + u"sleeper.exe";
  ASSERT_TRUE(CopyFileW(Wide(sleeper), game.c_str(), FALSE)) << GetLastError();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(game.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));

  WindowsSplitPlatform platform;
  std::u16string folded;
  std::vector<std::uint32_t> found;
  EXPECT_TRUE(platform.ForEachProcess([&](std::uint32_t id, std::u16string_view name) {
    FoldCase(name, folded);
    if (folded == u"game.exe") found.push_back(id);
  }));
  EXPECT_EQ(found, std::vector<std::uint32_t>{process.dwProcessId});

  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 5000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  DeleteFileW(game.c_str());
}

}  // namespace
}  // namespace zv
