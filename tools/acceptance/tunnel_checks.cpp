// A full-routing start through the installed service, its routes read back
// from the system's table, and the endpoint's route following a new path.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <iphlpapi.h>
#include <wincrypt.h>

#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "control_frame.h"
#include "kit.h"
#include "x25519.h"

namespace zv::kit {
namespace {

constexpr char kEndpointHost[] = "192.0.2.1";  // TEST-NET-1: nothing answers there, nothing else routes there
constexpr wchar_t kAdapterName[] = L"ZENTRAVOLK";
constexpr ULONGLONG kFollowLimitMs = 2000;
constexpr char kOutsideAddress[] = "198.51.100.1";  // TEST-NET-2: outside every LAN, only a default route reaches it
constexpr char kTunnelAddress[] = "10.240.0.2";

std::string Base64(const Bytes32& key) {
  char text[64] = {};
  DWORD length = sizeof text;
  CryptBinaryToStringA(key.data(), key.size(), CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &length);
  return std::string(text, length);
}

Bytes32 RandomKey() {
  Bytes32 key{};
  BCryptGenRandom(nullptr, key.data(), key.size(), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return key;
}

std::string Text(const SOCKADDR_INET& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.si_family == AF_INET) inet_ntop(AF_INET, &address.Ipv4.sin_addr, text, sizeof text);
  else inet_ntop(AF_INET6, &address.Ipv6.sin6_addr, text, sizeof text);
  return text;
}

struct SeenRoute {
  ULONG64 interfaceLuid;
  std::string destination;  // "address/length"
  std::string nextHop;
  ULONG protocol, metric;
};

std::vector<SeenRoute> Routes() {
  std::vector<SeenRoute> routes;
  PMIB_IPFORWARD_TABLE2 table = nullptr;
  if (GetIpForwardTable2(AF_UNSPEC, &table) != NO_ERROR) return routes;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& row = table->Table[i];
    routes.push_back({row.InterfaceLuid.Value,
                      Text(row.DestinationPrefix.Prefix) + "/" + std::to_string(row.DestinationPrefix.PrefixLength),
                      Text(row.NextHop), static_cast<ULONG>(row.Protocol), row.Metric});
  }
  FreeMibTable(table);
  return routes;
}

// The host route the service pinned to the endpoint, off the tunnel.
std::optional<SeenRoute> Pin(ULONG64 tunnel) {
  for (const SeenRoute& route : Routes()) {
    if (route.protocol == MIB_IPPROTO_NETMGMT && route.interfaceLuid != tunnel &&
        route.destination == std::string(kEndpointHost) + "/32") {
      return route;
    }
  }
  return std::nullopt;
}

bool Within(ULONGLONG limitMs, const std::function<bool()>& done, ULONGLONG& tookMs) {
  const ULONGLONG start = GetTickCount64();
  while (!done()) {
    if (GetTickCount64() - start > limitMs) return false;
    Sleep(20);
  }
  tookMs = GetTickCount64() - start;
  return true;
}

// A full-routing tunnel to an endpoint that never answers, stopped again whatever happens.
class FullTunnel {
 public:
  FullTunnel() {
    const std::string request = R"({"private_key":")" + Base64(RandomKey()) +
                                R"(","assigned_ip":"10.240.0.2/32","server_public_key":")" +
                                Base64(X25519(RandomKey(), kBasePoint)) + R"(","endpoint":")" + kEndpointHost +
                                R"(:51820","allowed_ips":["0.0.0.0/0","10.1.2.3/8","::/0"]})";
    start = AskService(static_cast<std::uint16_t>(ControlOperation::StartTunnel), request);
    up = start.replied && start.status == 0 && start.body == kAcceleratingBody;
    NET_LUID found{};
    if (up && ConvertInterfaceAliasToLuid(kAdapterName, &found) == NO_ERROR) luid = found.Value;
  }
  ~FullTunnel() {
    if (up) Stop();
  }
  Answer Stop() {
    up = false;
    return AskService(static_cast<std::uint16_t>(ControlOperation::StopTunnel), {});
  }
  Answer start;
  bool up = false;
  ULONG64 luid = 0;
};

bool HasAddress(ULONG64 luid, const char* address, int prefixLength) {
  PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
  if (GetUnicastIpAddressTable(AF_INET, &table) != NO_ERROR) return false;
  bool found = false;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_UNICASTIPADDRESS_ROW& row = table->Table[i];
    found |= row.InterfaceLuid.Value == luid && Text(row.Address) == address && row.OnLinkPrefixLength == prefixLength;
  }
  FreeMibTable(table);
  return found;
}

// The interface's own metric for a family, unless it is automatic; nothing when
// the interface lacks the family or its metric is automatic.
std::optional<ULONG> FixedMetric(ULONG64 luid, ADDRESS_FAMILY family, bool& present) {
  MIB_IPINTERFACE_ROW row;
  InitializeIpInterfaceEntry(&row);
  row.Family = family;
  row.InterfaceLuid.Value = luid;
  present = GetIpInterfaceEntry(&row) == NO_ERROR;
  if (!present || row.UseAutomaticMetric) return std::nullopt;
  return row.Metric;
}

// Where a game's datagram to an address outside the LAN goes: the source address
// the system gives a connected socket that sent one, and the best route's interface.
std::pair<std::string, ULONG64> DatagramPath(const char* address) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKADDR_INET to{};
  to.Ipv4.sin_family = AF_INET;
  to.Ipv4.sin_port = htons(9);
  inet_pton(AF_INET, address, &to.Ipv4.sin_addr);
  SOCKADDR_INET from{};
  const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  int length = sizeof from.Ipv4;
  if (socket != INVALID_SOCKET) {
    if (connect(socket, reinterpret_cast<sockaddr*>(&to.Ipv4), sizeof to.Ipv4) != 0 || send(socket, "zv", 2, 0) != 2 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&from.Ipv4), &length) != 0) {
      from = {};
    }
    closesocket(socket);
  }
  WSACleanup();
  MIB_IPFORWARD_ROW2 best{};
  SOCKADDR_INET bestSource{};
  const bool routed = GetBestRoute2(nullptr, 0, nullptr, &to, 0, &best, &bestSource) == NO_ERROR;
  return {from.Ipv4.sin_family == AF_INET ? Text(from) : "nowhere", routed ? best.InterfaceLuid.Value : 0};
}

// Another address of the pin's LAN than the gateway and our own: a next hop
// for a new path that nobody needs to answer.
std::optional<std::string> OtherNextHop(ULONG64 luid, const std::string& gateway) {
  PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
  if (GetUnicastIpAddressTable(AF_INET, &table) != NO_ERROR) return std::nullopt;
  std::optional<std::string> chosen;
  for (ULONG i = 0; i < table->NumEntries && !chosen; ++i) {
    const MIB_UNICASTIPADDRESS_ROW& row = table->Table[i];
    if (row.InterfaceLuid.Value != luid || row.OnLinkPrefixLength > 29) continue;
    const ULONG own = ntohl(row.Address.Ipv4.sin_addr.s_addr);
    const ULONG network = own & ~((1UL << (32 - row.OnLinkPrefixLength)) - 1);
    for (ULONG host = 1; host < 6 && !chosen; ++host) {
      SOCKADDR_INET candidate{};
      candidate.si_family = AF_INET;
      candidate.Ipv4.sin_addr.s_addr = htonl(network + host);
      if (network + host != own && Text(candidate) != gateway) chosen = Text(candidate);
    }
  }
  FreeMibTable(table);
  return chosen;
}

}  // namespace

Outcome CheckFullRouting(const Options&) {
  FullTunnel tunnel;
  if (!tunnel.up) return Fail("StartTunnel: " + Describe(tunnel.start));
  if (tunnel.luid == 0) return Fail("the service accelerates, but there is no adapter named ZENTRAVOLK");
  std::set<std::string> ours;
  for (const SeenRoute& route : Routes()) {
    if (route.interfaceLuid == tunnel.luid && route.protocol == MIB_IPPROTO_NETMGMT) {
      ours.insert(route.destination + " via " + route.nextHop + " metric " + std::to_string(route.metric));
    }
  }
  // A machine with IPv6 turned off gives the tunnel no IPv6: its route is left out.
  bool ipv4 = false, ipv6 = false;
  const auto metric = FixedMetric(tunnel.luid, AF_INET, ipv4);
  const auto metric6 = FixedMetric(tunnel.luid, AF_INET6, ipv6);
  std::set<std::string> expected = {"0.0.0.0/0 via 0.0.0.0 metric 0", "10.0.0.0/8 via 0.0.0.0 metric 0"};
  if (ipv6) expected.insert("::/0 via :: metric 0");
  std::string seen;
  for (const std::string& route : ours) seen += (seen.empty() ? "" : ", ") + route;
  const auto pin = Pin(tunnel.luid);
  const bool addressed = HasAddress(tunnel.luid, kTunnelAddress, 32);
  // Routes read back prove nothing if a LAN adapter of a lower metric wins: the datagram must take the tunnel.
  const auto [source, through] = DatagramPath(kOutsideAddress);
  const Answer stop = tunnel.Stop();
  if (ours != expected) return Fail("the tunnel's routes are " + seen);
  if (metric != 0 || (ipv6 && metric6 != 0)) {
    return Fail("the tunnel's interface metric is not fixed at 0 for every family it has");
  }
  if (source != kTunnelAddress || through != tunnel.luid) {
    return Fail("a datagram to " + std::string(kOutsideAddress) + " leaves from " + source +
                (through == tunnel.luid ? "" : ", not through the tunnel") + ": the game would go direct");
  }
  if (!pin) return Fail("no host route to the endpoint " + std::string(kEndpointHost) + " off the tunnel");
  if (!addressed) return Fail("the adapter has no address 10.240.0.2/32");
  if (!stop.replied || stop.status != 0 || stop.body != kIdleBody) return Fail("StopTunnel: " + Describe(stop));
  if (Pin(tunnel.luid)) return Fail("the endpoint's host route stayed after the stop");
  return Pass("routes " + seen + (ipv6 ? "" : " (IPv6 is off here: ::/0 left out)") +
              "; interface metric 0; a datagram to " + kOutsideAddress + " left from " + source +
              " through the tunnel; the endpoint pinned via " + pin->nextHop + "; stopped, the pin gone");
}

Outcome CheckNetworkChange(const Options&) {
  FullTunnel tunnel;
  if (!tunnel.up) return Fail("StartTunnel: " + Describe(tunnel.start));
  const auto pin = Pin(tunnel.luid);
  if (!pin) return Fail("no host route to the endpoint after the start");
  const auto other = OtherNextHop(pin->interfaceLuid, pin->nextHop);
  NET_LUID luid{};
  luid.Value = pin->interfaceLuid;
  NET_IFINDEX index = 0;
  if (!other || ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR) {
    return Fail("the endpoint's path has no LAN of /29 or wider to find another next hop in");
  }
  // A narrower route to the endpoint's network through another next hop: a new
  // best path (a second default route would only tie with the first). Adding
  // routes needs an administrator, so the system's route tool runs elevated.
  const std::wstring hop(other->begin(), other->end());
  std::wstring arguments = L"/c route ADD 192.0.2.0 MASK 255.255.255.0 " + hop + L" IF " + std::to_wstring(index) +
                           L" & ping -n 8 127.0.0.1 >nul & route DELETE 192.0.2.0 MASK 255.255.255.0 " + hop;
  const HANDLE routeTool = RunElevated(L"cmd.exe", arguments);
  if (routeTool == nullptr) return Fail("the route tool did not run elevated (error " + std::to_string(GetLastError()) + ")");
  const auto pinnedVia = [&](const std::string& hop) {
    const auto now = Pin(tunnel.luid);
    return now && now->nextHop == hop;
  };
  const auto newPath = [&] {
    for (const SeenRoute& route : Routes()) {
      if (route.destination == "192.0.2.0/24" && route.nextHop == *other) return true;
    }
    return false;
  };
  ULONGLONG took = 0, away = 0, back = 0;
  std::string failure;
  if (!Within(60000, newPath, took)) failure = "the new route never appeared";
  else if (!Within(kFollowLimitMs, [&] { return pinnedVia(*other); }, away)) failure = "the pin did not move to " + *other + " within 2 s";
  else if (!Within(30000, [&] { return !newPath(); }, took)) failure = "the new route was never deleted";
  else if (!Within(kFollowLimitMs, [&] { return pinnedVia(pin->nextHop); }, back)) failure = "the pin did not come back to " + pin->nextHop + " within 2 s";
  WaitForSingleObject(routeTool, 30000);
  CloseHandle(routeTool);
  if (!failure.empty()) return Fail(failure);
  return Pass("the endpoint's route moved to " + *other + " in " + std::to_string(away) + " ms and back to " +
              pin->nextHop + " in " + std::to_string(back) + " ms");
}

}  // namespace zv::kit
