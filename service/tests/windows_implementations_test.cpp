// The Windows implementations of the tunnel device, the route table and the
// game steering, at the bytes and rows they hand the thin Win32 layer, which
// here records them: the library beside the program, WireGuardNT's block, the
// IP Helper rows of a whole bring-up and stop, the filtering transaction and
// the driver's bytes. (The layer's own calls run under wine.)
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "driver_game_steering.h"
#include "fake_platform.h"
#include "file_rights.h"
#include "filter_objects.h"
#include "ip_helper_route_table.h"
#include "little_endian.h"
#include "split_protocol.h"
#include "split_rules.h"
#include "wireguard_nt_device.h"
#include "wireguard_tunnel.h"

namespace zv {
namespace {

using test::Text;
using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

// The Win32 calls as made, in order, each answering what the test scripts (0: success).
class Recorder {
 public:
  void Fail(const std::string& call, std::uint32_t result, int nth = 0) { faults.Fail(call, result, nth); }
  std::uint32_t Record(const std::string& call, const std::string& detail = {}) {
    calls.push_back(detail.empty() ? call : call + " " + detail);
    return faults.Answer(call);
  }
  Calls Since(std::size_t from) const { return Calls(calls.begin() + static_cast<long>(from), calls.end()); }
  Calls Last(std::size_t count) const { return Since(calls.size() - std::min(count, calls.size())); }
  std::size_t Size() const { return calls.size(); }

 private:
  test::Faults faults;
  Calls calls;
};

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

std::string Text(const SockaddrInet& address) { return Text(FromSockaddrInet(address)); }

// "destination/length via hop on luid", and what of the row's shared settings is off.
std::string Text(const RouteRow& row) {
  const bool shared = row.protocol == 3 && row.metric == 0 && row.sitePrefixLength == row.prefixLength;
  return Text(row.destination) + "/" + std::to_string(row.prefixLength) + " via " + Text(row.nextHop) + " on " +
         std::to_string(row.interfaceLuid) + (shared ? "" : " (other settings)");
}

template <typename Function>
ExportAddress Export(Function function) {
  return reinterpret_cast<ExportAddress>(function);
}

// The loader and the IP Helper, recorded; the "library" exports functions that report back here.
class FakeWindows final : public NtLibraryCalls, public IpHelperCalls {
 public:
  FakeWindows() { current = this; }
  ~FakeWindows() override { current = nullptr; }

  Recorder log;
  std::u16string program = u"C:\\Program Files\\Zentravolk\\accelerator-service.exe";
  std::set<std::string> missing;  // exports the library lacks
  std::uint32_t lastError = 0;
  Bytes block;     // the last configuration handed over
  Bytes readBack;  // what WireGuardGetConfiguration gives
  bool loaded = false, adapter = false;

  std::u16string OwnProgramPath() override { return log.Record("OwnProgramPath") ? u"" : program; }
  FileHandle HoldFile(const std::u16string& path) override { return log.Record("HoldFile", Narrow(path)) ? nullptr : this; }
  // As the installer leaves it, or (failed) owned by the user who placed it.
  std::string FileSecurity(FileHandle) override {
    return log.Record("FileSecurity") ? "O:S-1-5-21-7-8-9-1001D:(A;;FA;;;SY)" : "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
  }
  void ReleaseFile(FileHandle) override { log.Record("ReleaseFile"); }
  ModuleHandle LoadLibraryAt(const std::u16string& path) override {
    if (log.Record("LoadLibraryAt", Narrow(path))) return nullptr;
    return loaded = true, this;
  }
  void UnloadLibrary(ModuleHandle) override { log.Record("UnloadLibrary"), loaded = false; }
  std::uint32_t LastError() override { return lastError; }
  bool InterfaceExists(std::uint64_t luid) override { return adapter && luid == 4097; }
  ExportAddress FindExport(ModuleHandle, const char* name) override {
    log.Record("FindExport", name);
    static const std::map<std::string, ExportAddress> all = {
        {"WireGuardCreateAdapter",
         Export<CreateAdapterFunction>([](const char16_t* name, const char16_t* type, const void* guid) -> void* {
           if (Call("WireGuardCreateAdapter " + Narrow(name) + " " + Narrow(type) + (guid ? " guid" : ""))) return nullptr;
           return current->adapter = true, current;
         })},
        {"WireGuardCloseAdapter",
         Export<CloseAdapterFunction>([](void*) { Call("WireGuardCloseAdapter"), current->adapter = false; })},
        {"WireGuardGetAdapterLUID",
         Export<GetAdapterLuidFunction>([](void*, std::uint64_t* luid) { Call("WireGuardGetAdapterLUID"), *luid = 4097; })},
        {"WireGuardSetConfiguration",
         Export<SetConfigurationFunction>([](void*, const void* block, std::uint32_t bytes) -> std::int32_t {
           current->block.assign(static_cast<const std::uint8_t*>(block), static_cast<const std::uint8_t*>(block) + bytes);
           return Call("WireGuardSetConfiguration") == 0;
         })},
        {"WireGuardSetAdapterState", Export<SetAdapterStateFunction>([](void*, std::int32_t state) -> std::int32_t {
           return Call("WireGuardSetAdapterState " + std::to_string(state)) == 0;
         })},
        {"WireGuardGetConfiguration",
         Export<GetConfigurationFunction>([](void*, void* block, std::uint32_t* bytes) -> std::int32_t {
           if (*bytes < current->readBack.size()) return 0;
           std::memcpy(block, current->readBack.data(), *bytes = static_cast<std::uint32_t>(current->readBack.size()));
           return 1;
         })}};
    const auto found = all.find(name);
    return found != all.end() && !missing.contains(name) ? found->second : nullptr;
  }

  std::uint32_t GetBestRoute(const SockaddrInet& destination, RouteRow& best) override {
    if (const auto result = log.Record("GetBestRoute2", Text(destination)); result != 0) return result;
    best.interfaceLuid = 7;
    best.nextHop = ToSockaddrInet(test::Address("192.0.2.1"));
    return 0;
  }
  std::uint32_t CreateRoute(const RouteRow& row) override { return log.Record("CreateIpForwardEntry2", Text(row)); }
  std::uint32_t DeleteRoute(const RouteRow& row) override { return log.Record("DeleteIpForwardEntry2", Text(row)); }
  std::uint32_t CreateAddress(const AddressRow& row) override {
    return log.Record("CreateUnicastIpAddressEntry", Text(row.address) + "/" + std::to_string(row.onLinkPrefixLength) +
                                                         " on " + std::to_string(row.interfaceLuid) + " dad " +
                                                         std::to_string(row.dadState));
  }
  std::uint32_t SetInterfaceMetric(std::uint64_t luid, std::uint16_t family, std::uint32_t metric) override {
    return log.Record("SetIpInterfaceEntry", std::to_string(family) + " metric " + std::to_string(metric) + " on " +
                                                 std::to_string(luid));
  }
  std::uint32_t RoutesTo(const SockaddrInet&, std::vector<RouteRowChoice>&) override { return 50; }

 private:
  // Records a call of the library; a scripted failure becomes the last error.
  static std::uint32_t Call(const std::string& call) {
    const std::uint32_t result = current->log.Record(call);
    if (result != 0) current->lastError = result;
    return result;
  }
  static inline FakeWindows* current = nullptr;
};

// The block the adapter must be handed, at WireGuardNT's published offsets:
// keys 1..32 and 0x80..0x9f, the endpoint 198.51.100.7:51820, then the networks.
Bytes ExpectedBlock(const Calls& networks) {
  Bytes block(216 + 24 * networks.size(), 0);
  block[0] = 10;    // a private key, replace peers; no listen port, no public key
  block[72] = 1;    // one peer
  block[80] = 45;   // public key, keepalive, endpoint, replace allowed IPs; no preshared key
  block[152] = 25;  // keepalive seconds
  for (int i = 0; i < 32; ++i) block[6 + i] = static_cast<std::uint8_t>(1 + i), block[88 + i] = static_cast<std::uint8_t>(0x80 + i);
  block[156] = 2, block[158] = 0xCA, block[159] = 0x6C;  // AF_INET, port 51820
  inet_pton(AF_INET, "198.51.100.7", &block[160]);
  block[208] = static_cast<std::uint8_t>(networks.size());
  for (std::size_t i = 0; i < networks.size(); ++i) {
    const std::size_t slash = networks[i].find('/');
    std::uint8_t* entry = &block[216 + 24 * i];
    const std::string address = networks[i].substr(0, slash);
    entry[16] = inet_pton(AF_INET, address.c_str(), entry) == 1 ? 2 : (inet_pton(AF_INET6, address.c_str(), entry), 23);
    entry[18] = static_cast<std::uint8_t>(std::stoi(networks[i].substr(slash + 1)));
  }
  return block;
}

struct WindowsRig {
  std::string Start(const std::string& allowedIps) { return test::Start(tunnel, {.allowedIps = allowedIps}, 0); }
  FakeWindows windows;
  test::Faults steeringFaults;
  test::FakeGameSteering steering{steeringFaults};
  WireGuardNtDevice device{windows};
  IpHelperRouteTable routes{windows};
  SmartSplitEngine split{steering};
  WireGuardTunnel tunnel{device, routes, split, {}, UpkeepClock::now, false};
};

const Calls kResolve = {"FindExport WireGuardCreateAdapter", "FindExport WireGuardCloseAdapter",
                        "FindExport WireGuardGetAdapterLUID", "FindExport WireGuardSetConfiguration",
                        "FindExport WireGuardSetAdapterState"};

// The whole start and stop as the Win32 layer sees it: the library from the
// program's own folder, routes that are networks (a destination with host bits
// is "The parameter is incorrect"), the endpoint's host route without its
// port, every row with the shared route settings, and the counters read back
// from the adapter's block.
TEST(WindowsImplementations, AStartAndAStopAsTheWin32CallsSeeThem) {
  const std::pair<std::u16string, std::u16string> paths[] = {
      {u"C:\\Program Files\\X\\service.exe", u"C:\\Program Files\\X\\wireguard.dll"},
      {u"C:\\X\\\\\\service.exe", u"C:\\X\\wireguard.dll"},
      {u"C:/X/service.exe", u"C:/X\\wireguard.dll"},
      {u"C:\\service.exe", u"C:\\wireguard.dll"},
  };
  for (const auto& [program, library] : paths) EXPECT_EQ(LibraryPathBeside(program, u"wireguard.dll"), library) << Narrow(program);

  WindowsRig rig;
  ASSERT_EQ(rig.Start(R"(["0.0.0.0/0","10.1.2.3/8","::/0"])"), "started");
  const std::string library = "C:\\Program Files\\Zentravolk\\wireguard.dll";
  // The library is held while it is judged and loaded.
  Calls expected = {"OwnProgramPath", "HoldFile " + library, "FileSecurity", "LoadLibraryAt " + library, "ReleaseFile"};
  expected.insert(expected.end(), kResolve.begin(), kResolve.end());
  expected.insert(expected.end(), {"WireGuardCreateAdapter ZENTRAVOLK ZENTRAVOLK", "FindExport WireGuardGetConfiguration",
                                   "WireGuardSetConfiguration", "GetBestRoute2 198.51.100.7:51820",
                                   "CreateIpForwardEntry2 198.51.100.7/32 via 192.0.2.1 on 7", "WireGuardGetAdapterLUID",
                                   "SetIpInterfaceEntry 2 metric 0 on 4097", "SetIpInterfaceEntry 23 metric 0 on 4097",
                                   "CreateUnicastIpAddressEntry 10.240.0.2/32 on 4097 dad 4",
                                   "CreateIpForwardEntry2 0.0.0.0/0 via 0.0.0.0 on 4097",
                                   "CreateIpForwardEntry2 10.0.0.0/8 via 0.0.0.0 on 4097",
                                   "CreateIpForwardEntry2 ::/0 via :: on 4097",
                                   "CreateIpForwardEntry2 10.240.0.1/32 via 0.0.0.0 on 4097", "WireGuardSetAdapterState 1"});
  EXPECT_EQ(rig.windows.log.Since(0), expected);
  EXPECT_EQ(rig.windows.block, ExpectedBlock({"0.0.0.0/0", "10.1.2.3/8", "::/0", "10.240.0.1/32"}))
      << "the peer keeps its networks as written";

  rig.windows.readBack = rig.windows.block;
  WireGuardPeer peer;
  std::memcpy(&peer, rig.windows.readBack.data() + sizeof(WireGuardInterface), sizeof peer);
  peer.rxBytes = 4321;
  // 100 ns ticks since 1601: ten seconds ago.
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  peer.lastHandshake = static_cast<std::uint64_t>(now.count() - 10 + 11644473600LL) * 10000000;
  std::memcpy(rig.windows.readBack.data() + sizeof(WireGuardInterface), &peer, sizeof peer);
  const std::optional<PeerActivity> activity = rig.device.Activity();
  ASSERT_TRUE(activity && activity->sinceHandshake);
  EXPECT_EQ(activity->receivedBytes, 4321u);
  EXPECT_NEAR(static_cast<double>(activity->sinceHandshake->count()), 10.0, 1.0);
  rig.windows.readBack.resize(rig.windows.readBack.size() + 1);  // more than the room given: the read fails
  EXPECT_FALSE(rig.device.Activity()) << "unread counters are unknown, not zero";

  const std::size_t stopAt = rig.windows.log.Size();
  ASSERT_EQ(test::Stop(rig.tunnel), "stopped");
  expected = kResolve;
  expected.insert(expected.end(), {"WireGuardSetAdapterState 0", "WireGuardCloseAdapter",
                                   "DeleteIpForwardEntry2 198.51.100.7/32 via 192.0.2.1 on 7", "UnloadLibrary"});
  EXPECT_EQ(rig.windows.log.Since(stopAt), expected);
}

TEST(WindowsImplementations, EachWin32FailureGivesItsCodeAndUnloadsTheLibrary) {
  struct Row {
    const char* call;  // fails with `result`, or, with none, is an export the library lacks
    std::uint32_t result;
    const char* code;
    Calls tail;
  };
  const Row rows[] = {
      {"OwnProgramPath", 1, "resolve_service_path_failed", {"OwnProgramPath"}},
      {"HoldFile", 2, "embedded_tunnel_component_missing", {}},
      {"FileSecurity", 1, "embedded_tunnel_component_untrusted", {"FileSecurity", "ReleaseFile"}},
      {"LoadLibraryAt", 126, "embedded_tunnel_component_missing", {"ReleaseFile"}},
      {"WireGuardSetAdapterState", 0, "embedded_tunnel_api_invalid", {"FindExport WireGuardSetAdapterState", "UnloadLibrary"}},
      {"WireGuardCreateAdapter ZENTRAVOLK ZENTRAVOLK", 5, "create_adapter_failed_5", {"UnloadLibrary"}},
      {"WireGuardSetConfiguration", 87, "set_tunnel_config_failed_87", {"WireGuardCloseAdapter", "UnloadLibrary"}},
      {"WireGuardSetAdapterState 1", 31, "start_adapter_failed_31",
       {"WireGuardCloseAdapter", "DeleteIpForwardEntry2 198.51.100.7/32 via 192.0.2.1 on 7", "UnloadLibrary"}},
      // The tunnel's metric is not fixed (the interface has no IPv4 either): its routes could lose.
      {"SetIpInterfaceEntry", 1168, "configure_address_failed_1168",
       {"WireGuardCloseAdapter", "DeleteIpForwardEntry2 198.51.100.7/32 via 192.0.2.1 on 7", "UnloadLibrary"}},
  };
  for (const Row& row : rows) {
    WindowsRig rig;
    if (row.result == 0) rig.windows.missing = {row.call};
    else rig.windows.log.Fail(row.call, row.result);
    EXPECT_EQ(rig.Start(R"(["0.0.0.0/0"])"), row.code) << row.call;
    EXPECT_EQ(rig.windows.log.Last(row.tail.size()), row.tail) << row.call;
    EXPECT_FALSE(rig.windows.loaded || rig.windows.adapter) << row.call;
  }
  WindowsRig withoutIpv6;  // IPv6 turned off: its route is left out and the start goes on
  withoutIpv6.windows.log.Fail("SetIpInterfaceEntry", 1168, 2);
  ASSERT_EQ(withoutIpv6.Start(R"(["0.0.0.0/0","::/0"])"), "started");
  const Calls made = withoutIpv6.windows.log.Since(0);
  EXPECT_EQ(std::count(made.begin(), made.end(), "CreateIpForwardEntry2 ::/0 via :: on 4097"), 0);
  EXPECT_EQ(std::count(made.begin(), made.end(), "CreateIpForwardEntry2 0.0.0.0/0 via 0.0.0.0 on 4097"), 1);
  WindowsRig refused;  // any other answer about IPv6 leaves its metric automatic: the start fails
  refused.windows.log.Fail("SetIpInterfaceEntry", 5, 2);
  EXPECT_EQ(refused.Start(R"(["0.0.0.0/0","::/0"])"), "configure_address_failed_5");

  WindowsRig rig;  // a stop that cannot resolve the functions again touches nothing
  ASSERT_EQ(rig.Start(R"(["0.0.0.0/0"])"), "started");
  rig.windows.missing = {"WireGuardCloseAdapter"};
  EXPECT_EQ(test::Stop(rig.tunnel), "embedded_tunnel_api_invalid");
  EXPECT_TRUE(rig.windows.adapter && rig.windows.loaded);
}

// wireguard.dll as Windows describes it: loaded only when no one but the
// system, the administrators and TrustedInstaller owns it or may change it.
TEST(WindowsImplementations, TheLibraryIsLoadedOnlyWhenNoUserMayChangeIt) {
  const std::string installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", user = "S-1-5-21-4-5-6-1001";
  const std::pair<std::string, std::string> rows[] = {
      {"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", ""},  // as /WIREGUARD= places it
      {"O:" + installer + "G:" + installer + "D:PAI(A;;FA;;;" + installer + ")(A;;0x1200a9;;;BA)(A;;0x1200a9;;;BU)", ""},
      {"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIIOID;GXGR;;;BU)(A;ID;0x1200a9;;;BU)", ""},
      // Moved there from the user's downloads: it keeps its owner and their entry.
      {"O:" + user + "D:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;" + user + ")", "owner " + user + ", " + user + " may change it (FA)"},
      // Copied into a folder made at a drive's root: Authenticated Users may modify it.
      {"O:BAD:AI(A;ID;FA;;;SY)(A;ID;0x1301bf;;;AU)", "AU may change it (0x1301bf)"},
      {"O:SYD:(A;;FA;;;SY)(A;;RCWD;;;BU)", "BU may change it (RCWD)"},
      {"O:SYD:(D;;FA;;;WD)(A;;FA;;;WD)", "WD may change it (FA)"},  // a denial first is not relied on
      {"O:SYD:(XA;;FA;;;BU;(WIN://SYSAPPID Contains \"x\"))", "BU may change it (FA)"},  // a conditional grant
      {"O:SYD:NO_ACCESS_CONTROL", "everyone (no access list)"},
      {"O:SYD:(A;;ZZ;;;BU)", "an access entry it cannot read"},
      {"", "an unknown owner, everyone (no access list)"},
  };
  for (const auto& [sddl, others] : rows) EXPECT_EQ(OthersWhoMayChange(sddl), others) << sddl;
}

// The filtering calls and the driver's bytes, recorded.
class FakeSplitCalls final : public SplitCalls {
 public:
  Recorder log;
  std::uint32_t openError = 0;
  std::deque<Bytes> pending;
  std::chrono::steady_clock::time_point clock{};
  std::vector<std::chrono::milliseconds> pauses;

  static std::string Key(const Guid& key) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", key.data1, key.data2,
                  key.data3, key.data4[0], key.data4[1], key.data4[2], key.data4[3], key.data4[4], key.data4[5],
                  key.data4[6], key.data4[7]);
    return text;
  }
  static std::string Name(const char16_t* name) { return "'" + Narrow(name) + "'"; }

  DeviceHandle OpenSplitDevice(std::uint32_t& error) override {
    log.Record("CreateFileW");
    error = openError;
    return openError ? kNoDevice : 0x5a;
  }
  bool ControlDevice(DeviceHandle, std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
                     std::uint32_t outputLength, std::uint32_t& returned) override {
    const auto* in = static_cast<const std::uint8_t*>(input);
    std::string bytes;
    for (std::uint32_t i = 0; i < inputLength && i < 40; ++i) bytes += (i % 8 ? "" : " ") + std::to_string(in[i]) + (i % 8 == 7 ? "" : ".");
    log.Record("DeviceIoControl " + std::to_string(code) + " in " + std::to_string(inputLength) + bytes);
    returned = 0;
    if (code != kGetPendingFlow || pending.empty()) return code != kGetPendingFlow;
    std::memcpy(output, pending.front().data(), std::min<std::size_t>(outputLength, pending.front().size()));
    returned = static_cast<std::uint32_t>(pending.front().size());
    pending.pop_front();
    return true;
  }
  void CloseSplitDevice(DeviceHandle) override { log.Record("CloseHandle"); }
  std::uint32_t OpenFilterEngine(std::uint32_t authn, std::uint32_t flags, FilterEngineHandle& engine) override {
    const auto result = log.Record("OpenFilterEngine", "authn " + std::to_string(authn) + " flags " + std::to_string(flags));
    if (result == 0) engine = this;
    return result;
  }
  std::uint32_t BeginTransaction(FilterEngineHandle) override { return log.Record("BeginTransaction"); }
  std::uint32_t AbortTransaction(FilterEngineHandle) override { return log.Record("AbortTransaction"); }
  std::uint32_t CommitTransaction(FilterEngineHandle) override { return log.Record("CommitTransaction"); }
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider& p) override {
    return log.Record("AddProvider", Key(p.key) + " " + Name(p.name));
  }
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer& s) override {
    return log.Record("AddSubLayer", Key(s.key) + " " + Name(s.name) + " provider " + Key(s.providerKey) + " weight " +
                                         std::to_string(s.weight));
  }
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout& c) override {
    return log.Record("AddCallout", Key(c.key) + " " + Name(c.name) + " provider " + Key(c.providerKey) + " layer " +
                                        Key(c.applicableLayer));
  }
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter& f) override {
    return log.Record("AddFilter", Name(f.name) + " provider " + Key(f.providerKey) + " layer " + Key(f.layerKey) +
                                       " sublayer " + Key(f.subLayerKey) + " action " + std::to_string(f.actionType) +
                                       " callout " + Key(f.calloutKey));
  }
  void CloseFilterEngine(FilterEngineHandle) override { log.Record("FwpmEngineClose0"); }
  bool ForEachProcess(const ProcessVisitor&) override { return true; }
  std::chrono::steady_clock::time_point Now() override { return clock; }
  void Sleep(std::chrono::milliseconds duration) override {
    pauses.push_back(duration);
    clock += duration - std::chrono::microseconds(300);  // a sleep may come back early
  }
};

// The objects of one transaction; those that exist already are kept, and any
// other failure aborts the transaction and names its call. Then what the
// steering says to the driver, and the host routes it makes for the flows the
// driver holds.
TEST(WindowsImplementations, OneFilteringTransactionOfExactlyTheseObjectsThenTheDriversBytes) {
  const std::string provider = "{b8eb2037-2c5c-43a6-8d8e-51ebdbc46191}", sublayer = "{3947d46a-96b7-463b-a25c-68f0e58b9dc2}",
                    v4 = "{11ae83ec-749d-4a12-932f-789a62879531}", v6 = "{8357822a-2f8c-42e6-a3d8-71afd345587c}",
                    layer4 = "{c38d57d1-05a7-4c33-904f-7fbceee60e82}", layer6 = "{4a72393b-319f-44bc-84c3-ba54dcb3b6b4}";
  const auto filter = [&](const std::string& layer, const std::string& callout) {
    return "AddFilter 'ZENTRAVOLK Game Process Filter' provider " + provider + " layer " + layer + " sublayer " +
           sublayer + " action 20483 callout " + callout;
  };
  const Calls transaction = {
      "CreateFileW", "OpenFilterEngine authn 10 flags 1", "BeginTransaction",
      "AddProvider " + provider + " 'ZENTRAVOLK Smart Split'",
      "AddSubLayer " + sublayer + " 'ZENTRAVOLK Process Split' provider " + provider + " weight 28672",
      "AddCallout " + v4 + " 'ZENTRAVOLK Flow Classifier' provider " + provider + " layer " + layer4,
      filter(layer4, v4),
      "AddCallout " + v6 + " 'ZENTRAVOLK Flow Classifier' provider " + provider + " layer " + layer6,
      filter(layer6, v6), "CommitTransaction"};
  constexpr std::uint32_t kExists = 0x80320009;
  struct Row {
    const char* call;
    std::uint32_t result;
    const char* code;  // empty: the start succeeds
    int nth = 0;
  };
  const Row rows[] = {
      {"CreateFileW", 2, "smart_split_driver_unavailable_2"},
      {"OpenFilterEngine", 5, "wfp_engine_open_failed_5"},
      {"BeginTransaction", 0x80320017, "wfp_transaction_failed_2150760471"},
      {"AddProvider", kExists, ""},
      {"AddProvider", 0x80320001, "wfp_provider_failed_2150760449"},
      {"AddSubLayer", kExists, ""},
      {"AddSubLayer", 87, "wfp_sublayer_failed_87"},
      {"AddCallout", kExists, ""},
      {"AddCallout", 0x80320002, "wfp_callout_failed_2150760450", 2},
      {"AddFilter", kExists, "wfp_filter_failed_2150760457", 1},  // the engine gives every filter a fresh key
      {"AddFilter", 5, "wfp_filter_failed_5", 2},
      {"CommitTransaction", 0x80320011, "wfp_commit_failed_2150760465"},
  };
  FakeWindows windows;
  IpHelperRouteTable routes(windows);
  const SteeringTarget target{4097, {"game.exe"}, 0, {std::begin(kDirectRanges), std::end(kDirectRanges)}};
  for (const Row& row : rows) {
    FakeSplitCalls calls;
    DriverGameSteering steering(calls, routes);
    if (std::string_view(row.call) == "CreateFileW") calls.openError = row.result;
    else calls.log.Fail(row.call, row.result, row.nth);
    std::string error;
    const std::string label = std::string(row.call) + " " + std::to_string(row.result);
    EXPECT_EQ(steering.Start(target, error), *row.code == '\0') << label;
    EXPECT_EQ(error, row.code) << label;
    const Calls made = calls.log.Since(0);
    if (*row.code == '\0') {
      EXPECT_EQ(made, transaction) << label;
    } else if (std::string_view(row.call).starts_with("Add")) {
      EXPECT_EQ(calls.log.Last(2), (Calls{"AbortTransaction", "CloseHandle"})) << label;
    }
    steering.Start(target, error);  // as a rebuild does
    const bool sessionOpened = std::string_view(row.call) != "OpenFilterEngine" && std::string_view(row.call) != "CreateFileW";
    EXPECT_EQ(calls.log.Since(made.size()).size() >= 1 && calls.log.Since(made.size()).front() == "FwpmEngineClose0",
              sessionOpened)
        << "an opened session waits for the next start or stop: " << label;
    steering.Stop();
  }

  // The driver's bytes: id lists (each id zero-extended, at most 128), flow
  // records read only when whole, verdicts (routed only with a host route in
  // place, which a second flow finds made), the tracker's pause of whole
  // milliseconds to 25, and at the stop the routes, the filtering session,
  // then the clearing list.
  FakeSplitCalls calls;
  DriverGameSteering steering(calls, routes);
  std::string error;
  ASSERT_TRUE(steering.Start(target, error)) << error;
  const std::size_t from = calls.log.Size(), routesFrom = windows.log.Size();
  std::vector<std::uint32_t> many = {0x80000007};
  for (std::uint32_t id = 1; id < 130; ++id) many.push_back(id);
  steering.SetGameProcesses({7, 0x80000007});
  steering.SetGameProcesses(many);
  const auto record = [](std::uint32_t version, std::uint32_t family, std::size_t size, const char* remote) {
    Bytes bytes(64, 0xEE);  // the fields the service does not read hold noise
    PutLittleEndian(&bytes[0], version), PutLittleEndian(&bytes[4], family), PutLittleEndian(&bytes[8], std::uint64_t{9});
    inet_pton(AF_INET, remote, &bytes[48]);
    bytes.resize(size);
    return bytes;
  };
  windows.log.Fail("CreateIpForwardEntry2", 5010, 2);  // the second flow finds the first one's route
  windows.log.Fail("CreateIpForwardEntry2", 87, 3);
  calls.pending = {record(1, 2, 64, "8.8.4.4"), record(1, 2, 64, "8.8.4.4"), record(1, 2, 64, "203.0.113.9"),
                   record(1, 2, 64, "192.168.1.1"), record(1, 23, 64, "8.8.4.4"), record(2, 2, 64, "8.8.4.4"),
                   record(1, 2, 63, "8.8.4.4")};
  steering.AwaitChange(kTrackerCadence);
  steering.Stop();
  const auto verdict = [](int routed) {
    return "DeviceIoControl 2147524620 in 16 1.0.0.0." + std::to_string(routed) + ".0.0.0 9.0.0.0.0.0.0.0";
  };
  const std::string fetch = "DeviceIoControl 2147508232 in 0";
  const Calls expected = {
      "DeviceIoControl 2147524612 in 24 1.0.0.0.2.0.0.0 7.0.0.0.0.0.0.0 7.0.0.128.0.0.0.0",
      "DeviceIoControl 2147524612 in 1032 1.0.0.0.128.0.0.0 7.0.0.128.0.0.0.0 1.0.0.0.0.0.0.0 2.0.0.0.0.0.0.0 3.0.0.0.0.0.0.0",
      fetch, verdict(1), fetch, verdict(1), fetch, verdict(0),  // the third route refused
      fetch, verdict(0), fetch, verdict(0), fetch, verdict(0), fetch, verdict(0),  // direct; IPv6; version 2; short
      fetch,  // nothing pending
      "FwpmEngineClose0", "DeviceIoControl 2147524612 in 1032 1.0.0.0.0.0.0.0 0.0.0.0.0.0.0.0 0.0.0.0.0.0.0.0 "
                          "0.0.0.0.0.0.0.0 0.0.0.0.0.0.0.0",
      "CloseHandle"};
  EXPECT_EQ(calls.log.Since(from), expected);
  EXPECT_EQ(windows.log.Since(routesFrom),
            (Calls{"CreateIpForwardEntry2 8.8.4.4/32 via 0.0.0.0 on 4097", "CreateIpForwardEntry2 8.8.4.4/32 via 0.0.0.0 on 4097",
                   "CreateIpForwardEntry2 203.0.113.9/32 via 0.0.0.0 on 4097",
                   "DeleteIpForwardEntry2 8.8.4.4/32 via 0.0.0.0 on 4097"}))
      << "a route made, found made, refused; only the one made removed";
  EXPECT_EQ(calls.pauses, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(25), std::chrono::milliseconds(1)}))
      << "25 ms, in whole milliseconds rounded up, by the clock";

  // A driver that always has another flow: one pause answers a bounded number, the rest wait for the next.
  FakeSplitCalls busy;
  DriverGameSteering flooded(busy, routes);
  ASSERT_TRUE(flooded.Start(target, error));
  for (int i = 0; i < 3 * kMaxFlowsPerDrain; ++i) busy.pending.push_back(record(1, 2, 64, "10.0.0.1"));
  const std::size_t floodFrom = busy.log.Size();
  flooded.AwaitChange(kTrackerCadence);
  const Calls answered = busy.log.Since(floodFrom);
  EXPECT_EQ(std::count(answered.begin(), answered.end(), verdict(0)), kMaxFlowsPerDrain);
}

}  // namespace
}  // namespace zv
