// The Windows shells under wine, against the fake wireguard.dll built beside this program.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver_game_steering.h"
#include "ip_helper_route_table.h"
#include "nt_calls_windows.h"
#include "path_probe.h"
#include "split_calls_windows.h"
#include "tunnel_record.h"
#include "split_rules.h"
#include "wireguard_nt_device.h"
#include "wireguard_tunnel.h"

namespace zv {
namespace {

constexpr char kPrivateKey[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";  // bytes 1..32
constexpr char kServerKey[] = "gIGCg4SFhoeIiYqLjI2Oj5CRkpOUlZaXmJmam5ydnp8=";   // bytes 0x80..0x9f

std::u16string ProgramFolder() {
  std::u16string path = WindowsNtLibraryCalls().OwnProgramPath();
  return path.substr(0, path.find_last_of(u'\\') + 1);
}

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::string ReadFile(const std::u16string& path) {
  std::ifstream file(Wide(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The real loader, told that the program lives in another folder. Wine makes
// the prefix's user the owner of every file, with full rights, which the
// service refuses: unless told to read them, the rights are an installed file's.
class RelocatedPlatform final : public WindowsNtLibraryCalls {
 public:
  explicit RelocatedPlatform(std::u16string program, bool realRights = false)
      : program(std::move(program)), realRights(realRights) {}
  std::u16string OwnProgramPath() override { return program; }
  std::string FileSecurity(FileHandle file) override {
    return realRights ? WindowsNtLibraryCalls::FileSecurity(file) : "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  }
  std::u16string program;
  bool realRights;
};

// A start through the real shell: the library is taken from the program's
// folder and no other (the working folder holds one too), held open while it
// loads and refused as wine leaves it (the user's, who may write it), its last error
// becomes the code, CryptStringToBinaryA takes 32-byte keys only, and the
// adapter gets the keys and the endpoint the shell decoded. Wine has no IP
// Helper routes, so a start that gets past the block ends at the endpoint route.
TEST(WindowsShell, BringUpThroughTheRealShell) {
  SetCurrentDirectoryW(Wide(ProgramFolder()));
  struct Row {
    std::u16string folder;  // under the program's folder
    const wchar_t* fail;    // "Function:lastError" for the fake library
    std::string privateKey = kPrivateKey, serverKey = kServerKey;
    const char* code = nullptr;  // nothing: any code after the block
    bool realRights = false;
  };
  const Row rows[] = {
      {u"", nullptr},
      {u"empty\\", nullptr, kPrivateKey, kServerKey, "embedded_tunnel_component_missing"},
      {u"", nullptr, kPrivateKey, kServerKey, "embedded_tunnel_component_untrusted", true},  // the user's file
      {u"lacking\\", nullptr, kPrivateKey, kServerKey, "embedded_tunnel_api_invalid"},
      {u"", L"WireGuardCreateAdapter:5", kPrivateKey, kServerKey, "create_adapter_failed_5"},
      {u"", L"WireGuardSetConfiguration:87", kPrivateKey, kServerKey, "set_tunnel_config_failed_87"},
      {u"", nullptr, "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw==", kServerKey, "invalid_private_key"},  // 31
      {u"", nullptr, kPrivateKey, "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh", "invalid_server_public_key"},
  };
  for (const Row& row : rows) {
    for (const char16_t* file : {u"wireguard-calls.txt", u"wireguard-configuration.bin"}) {
      DeleteFileW(Wide(ProgramFolder() + file));
    }
    SetEnvironmentVariableW(L"ZV_FAKE_WIREGUARD_FAIL", row.fail);
    RelocatedPlatform platform(ProgramFolder() + row.folder + u"accelerator-service.exe", row.realRights);
    WindowsIpHelperCalls ipHelper;
    WindowsSplitCalls splitCalls;
    WireGuardNtDevice device(platform);
    IpHelperRouteTable routes(ipHelper);
    DriverGameSteering steering(splitCalls, routes);
    SmartSplitEngine split(steering);
    WireGuardTunnel tunnel(device, routes, split, {});
    std::string error;
    const std::string request = R"({"private_key":")" + row.privateKey +
                                R"(","assigned_ip":"10.240.0.2/32","server_public_key":")" + row.serverKey +
                                R"(","endpoint":"127.0.0.1:51820","allowed_ips":["0.0.0.0/0","2001:db8::/32"]})";
    if (tunnel.BringUp(request, 0, error)) {
      ASSERT_TRUE(tunnel.TearDown(error)) << error;
    }
    EXPECT_EQ(GetModuleHandleW(L"wireguard.dll"), nullptr) << "unloaded, or never loaded: " << error;
    if (row.code) {
      EXPECT_EQ(error, row.code);
      continue;
    }
    const std::string calls = ReadFile(ProgramFolder() + u"wireguard-calls.txt");  // beside the library loaded
    EXPECT_EQ(calls.rfind("WireGuardCreateAdapter ZENTRAVOLK ZENTRAVOLK\nWireGuardSetConfiguration 1 288\n", 0), 0u)
        << calls;
    EXPECT_NE(calls.find("WireGuardCloseAdapter 1\n"), std::string::npos) << calls;
    // The keys as CryptStringToBinaryA decoded them and the endpoint as GetAddrInfoW
    // resolved it, where the adapter reads them; the rest of the block is portable.
    std::string keys(64, '\0');
    for (int i = 0; i < 32; ++i) keys[i] = static_cast<char>(1 + i), keys[32 + i] = static_cast<char>(0x80 + i);
    const std::string block = ReadFile(ProgramFolder() + u"wireguard-configuration.bin");
    EXPECT_EQ(block.substr(6, 32) + block.substr(88, 32), keys);
    EXPECT_EQ(block.substr(156, 8), std::string("\2\0\xCA\x6C\x7F\0\0\1", 8)) << "AF_INET, 51820, 127.0.0.1";
  }
}

TEST(WindowsShell, TheTunnelRecordLivesBesideTheProgramAndIsGoneAfterRecovery) {
  RelocatedPlatform platform(ProgramFolder() + u"accelerator-service.exe");
  const std::filesystem::path expected = std::filesystem::path(Wide(ProgramFolder())) / L"tunnel.state";
  EXPECT_EQ(TunnelRecordBesideProgram(platform), expected);
  SaveTunnelRecord(expected, {true, {}, std::nullopt});
  SaveTunnelRecord(expected, {true, {7, 8}, std::nullopt});  // replaces the first whole
  EXPECT_TRUE(std::filesystem::exists(expected));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(expected) += L".new")) << "not renamed over the old";
  const auto taken = TakeTunnelRecord(expected);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->trace, (AdapterTrace{7, 8}));
  EXPECT_FALSE(std::filesystem::exists(expected));
  RelocatedPlatform nowhere(u"");
  EXPECT_TRUE(TunnelRecordBesideProgram(nowhere).empty()) << "no program path, no record";
}

// The snapshot's names and the invariant locale's case tables, as the tracker folds them.
TEST(WindowsShell, AGameStartedInCapitalsIsFoundByItsFoldedName) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"zv-game";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring game = folder + L"\\\u00DCBERGAME.EXE";
  ASSERT_TRUE(CopyFileW(Wide(ProgramFolder() + u"sleeper.exe"), game.c_str(), FALSE)) << GetLastError();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(game.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));

  std::vector<std::uint32_t> found;
  EXPECT_TRUE(WindowsSplitCalls().ForEachProcess([&](std::uint32_t id, std::string_view name) {
    if (FoldName(name) == FoldName("übergame.exe")) found.push_back(id);
  }));
  EXPECT_EQ(found, std::vector<std::uint32_t>{process.dwProcessId});

  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 5000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  DeleteFileW(game.c_str());
}

// The gain's probes on loopback, where the tunnel's address stands for itself:
// an echo answered, a connection accepted and one refused are answers; no answer is no figure.
TEST(WindowsShell, TheGainsProbesTakeAnAnswerAcceptedOrRefusedAndMakeNoneUp) {
  const std::uint8_t loopback[4] = {127, 0, 0, 1}, nowhere[4] = {203, 0, 113, 1};  // TEST-NET-3: nobody answers
  const TunnelEnds ends{IpAddress::V4(nowhere, 51820), IpAddress::V4(loopback)};
  const auto probe = OpenPathProbe();  // starts Winsock for the listener too
  EXPECT_TRUE(probe->Echo(IpAddress::V4(loopback), PathWay::Tunnel, ends, std::chrono::seconds(1)));
  EXPECT_FALSE(probe->Echo(IpAddress::V4(nowhere), PathWay::Tunnel, ends, std::chrono::milliseconds(300)));
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(27817);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  listen(listener, 4);
  const IpAddress server = IpAddress::V4(loopback, 27817);
  EXPECT_TRUE(probe->Connect(server, PathWay::Tunnel, ends, std::chrono::seconds(1))) << "accepted";
  closesocket(listener);
  EXPECT_TRUE(probe->Connect(server, PathWay::Tunnel, ends, std::chrono::seconds(1))) << "refused";
}

}  // namespace
}  // namespace zv
