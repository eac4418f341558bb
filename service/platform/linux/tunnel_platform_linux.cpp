#include "tunnel_platform_linux.h"

#include <dlfcn.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "control_channel.h"
#include "netlink_request.h"
#include "split_platform_linux.h"
#include "tunnel_table.h"
#include "utf16_text.h"
#include "wireguard_nt.h"

namespace zv {
namespace {

std::uint8_t SystemFamily(std::uint16_t family) { return family == kFamilyIpv6 ? AF_INET6 : AF_INET; }
const std::uint8_t* AddressBytes(const SocketAddressInet& address) {
  return address.family == kFamilyIpv6 ? address.rest + 4 : address.rest;
}
std::size_t AddressLength(const SocketAddressInet& address) { return address.family == kFamilyIpv6 ? 16 : 4; }
bool Unspecified(const SocketAddressInet& address) {
  const std::uint8_t* bytes = AddressBytes(address);
  for (std::size_t i = 0; i < AddressLength(address); ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// The kernel refuses a destination with host bits (10.1.2.3/8), which Windows takes as written.
std::array<std::uint8_t, 16> NetworkOf(const SocketAddressInet& address, std::uint8_t prefixLength) {
  std::array<std::uint8_t, 16> network{};
  const std::uint8_t* bytes = AddressBytes(address);
  for (std::size_t i = 0; i < AddressLength(address); ++i) {
    const int kept = std::clamp(static_cast<int>(prefixLength) - static_cast<int>(8 * i), 0, 8);
    network[i] = static_cast<std::uint8_t>(bytes[i] & (0xFF00 >> kept));
  }
  return network;
}

std::uint32_t Result(int error) { return error == EEXIST ? kErrorObjectAlreadyExists : static_cast<std::uint32_t>(error); }

bool IsTunnelInterface(std::uint64_t interfaceIndex) {
  char name[IF_NAMESIZE] = {};
  return if_indextoname(static_cast<unsigned>(interfaceIndex), name) != nullptr && AdapterNameUtf8() == name;
}

// Routes on the tunnel's own interface live in the tunnel's table; all others in main.
std::uint32_t TableOf(std::uint64_t interfaceIndex) {
  return IsTunnelInterface(interfaceIndex) ? kTunnelTable : RT_TABLE_MAIN;
}

std::uint32_t ChangeRoute(std::uint16_t type, const RouteRow& row) {
  rtnl::Message message(type, type == RTM_NEWROUTE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& route = message.Put<rtmsg>();
  route.rtm_family = SystemFamily(row.destination.family);
  route.rtm_dst_len = row.prefixLength;
  route.rtm_table = RT_TABLE_UNSPEC;  // the attribute below holds it, as tables may exceed 255
  route.rtm_protocol = kRouteProtocol;
  route.rtm_type = RTN_UNICAST;
  const bool viaGateway = !Unspecified(row.nextHop);
  route.rtm_scope = viaGateway ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
  message.Attribute32(RTA_TABLE, TableOf(row.interfaceLuid));
  const auto destination = NetworkOf(row.destination, row.prefixLength);
  message.Attribute(RTA_DST, destination.data(), AddressLength(row.destination));
  message.Attribute32(RTA_OIF, static_cast<std::uint32_t>(row.interfaceLuid));
  if (viaGateway) message.Attribute(RTA_GATEWAY, AddressBytes(row.nextHop), AddressLength(row.nextHop));
  message.Attribute32(RTA_PRIORITY, row.metric);
  return Result(rtnl::Transact(message));
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::u16string LinuxTunnelPlatform::OwnProgramPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  return Utf16FromUtf8(std::string_view(path, static_cast<std::size_t>(length))).value_or(std::u16string());
}

ModuleHandle LinuxTunnelPlatform::LoadLibraryAt(const std::u16string& path) {
  const auto utf8 = Utf8FromUtf16(path);
  if (!utf8 || utf8->find('/') == std::string::npos) {  // a bare name would be searched for
    errno = ENOENT;
    return nullptr;
  }
  return dlopen(utf8->c_str(), RTLD_NOW | RTLD_LOCAL);
}

ExportAddress LinuxTunnelPlatform::FindExport(ModuleHandle module, const char* name) {
  return reinterpret_cast<ExportAddress>(dlsym(module, name));
}

void LinuxTunnelPlatform::UnloadLibrary(ModuleHandle module) { dlclose(module); }

std::uint32_t LinuxTunnelPlatform::LastError() { return static_cast<std::uint32_t>(errno); }

bool LinuxTunnelPlatform::DecodeKey(const std::string& text, WireGuardKey& key) {
  // Exactly the 44 characters of a 32-byte key: 43 digits and one pad.
  if (text.size() != 44 || text[43] != '=') return false;
  std::uint32_t bits = 0;
  int held = 0;
  std::size_t out = 0;
  for (std::size_t i = 0; i < 43; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      key[out++] = static_cast<std::uint8_t>(bits >> held);
    }
  }
  return (bits & ((1u << held) - 1)) == 0;  // the two spare bits are zero in a canonical key
}

bool LinuxTunnelPlatform::ResolveAddress(const std::string& host, const std::string& port,
                                         SocketAddressInet& address) {
  if (host.empty() || port.empty()) return false;  // getaddrinfo reads an empty host as this machine
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &results) != 0 || results == nullptr) return false;
  address = SocketAddressInet{};
  bool found = true;
  if (results->ai_family == AF_INET) {
    const auto* inet = reinterpret_cast<const sockaddr_in*>(results->ai_addr);
    address.family = kFamilyIpv4;
    address.port = inet->sin_port;
    std::memcpy(address.rest, &inet->sin_addr, 4);
  } else if (results->ai_family == AF_INET6) {
    const auto* inet6 = reinterpret_cast<const sockaddr_in6*>(results->ai_addr);
    address.family = kFamilyIpv6;
    address.port = inet6->sin6_port;
    std::memcpy(address.rest, &inet6->sin6_flowinfo, 4);
    std::memcpy(address.rest + 4, &inet6->sin6_addr, 16);
    std::memcpy(address.rest + 20, &inet6->sin6_scope_id, 4);
  } else {
    found = false;
  }
  freeaddrinfo(results);
  return found;
}

std::uint32_t LinuxTunnelPlatform::BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                                             SocketAddressInet& nextHop) {
  rtnl::Message message(RTM_GETROUTE, 0);
  auto& route = message.Put<rtmsg>();
  route.rtm_family = SystemFamily(destination.family);
  route.rtm_dst_len = static_cast<unsigned char>(AddressLength(destination) * 8);
  message.Attribute(RTA_DST, AddressBytes(destination), AddressLength(destination));
  nextHop = SocketAddressInet{};
  nextHop.family = destination.family;
  std::uint32_t index = 0;
  const int error = rtnl::Transact(message, [&](const nlmsghdr& answer) {
    if (answer.nlmsg_type != RTM_NEWROUTE) return;
    const auto* found = static_cast<const rtmsg*>(NLMSG_DATA(&answer));
    int left = static_cast<int>(RTM_PAYLOAD(&answer));
    for (const rtattr* attribute = RTM_RTA(found); RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
      if (attribute->rta_type == RTA_OIF) std::memcpy(&index, RTA_DATA(attribute), 4);
      if (attribute->rta_type == RTA_GATEWAY && RTA_PAYLOAD(attribute) == AddressLength(destination)) {
        std::memcpy(const_cast<std::uint8_t*>(AddressBytes(nextHop)), RTA_DATA(attribute), AddressLength(destination));
      }
    }
  });
  if (error != 0) return Result(error);
  if (index == 0) return ENETUNREACH;
  interfaceLuid = index;
  return 0;
}

std::uint32_t LinuxTunnelPlatform::CreateRoute(const RouteRow& row) { return ChangeRoute(RTM_NEWROUTE, row); }

std::uint32_t LinuxTunnelPlatform::DeleteRoute(const RouteRow& row) { return ChangeRoute(RTM_DELROUTE, row); }

// The main table's unicast routes whose prefix holds the destination; a route
// through a link that is down carries nothing and is not usable.
std::uint32_t LinuxTunnelPlatform::RoutesTo(const SocketAddressInet& destination, std::vector<RouteChoice>& routes) {
  routes.clear();
  rtnl::Message message(RTM_GETROUTE, NLM_F_DUMP);
  message.Put<rtmsg>().rtm_family = SystemFamily(destination.family);
  const std::size_t length = AddressLength(destination);
  const int error = rtnl::Transact(message, [&](const nlmsghdr& answer) {
    if (answer.nlmsg_type != RTM_NEWROUTE) return;
    const auto* found = static_cast<const rtmsg*>(NLMSG_DATA(&answer));
    if (found->rtm_type != RTN_UNICAST) return;
    RouteChoice choice{};
    choice.row.destination.family = choice.row.nextHop.family = destination.family;
    choice.row.prefixLength = found->rtm_dst_len;
    choice.row.sitePrefixLength = found->rtm_dst_len;
    choice.usable = (found->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) == 0;
    std::uint32_t table = found->rtm_table, index = 0;
    int left = static_cast<int>(RTM_PAYLOAD(&answer));
    for (const rtattr* attribute = RTM_RTA(found); RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
      const auto* data = static_cast<const std::uint8_t*>(RTA_DATA(attribute));
      const bool address = RTA_PAYLOAD(attribute) == length;
      if (attribute->rta_type == RTA_TABLE) std::memcpy(&table, data, 4);
      if (attribute->rta_type == RTA_OIF) std::memcpy(&index, data, 4);
      if (attribute->rta_type == RTA_PRIORITY) std::memcpy(&choice.metric, data, 4);
      if (attribute->rta_type == RTA_DST && address) {
        std::memcpy(const_cast<std::uint8_t*>(AddressBytes(choice.row.destination)), data, length);
      }
      if (attribute->rta_type == RTA_GATEWAY && address) {
        std::memcpy(const_cast<std::uint8_t*>(AddressBytes(choice.row.nextHop)), data, length);
      }
    }
    const auto network = NetworkOf(destination, choice.row.prefixLength);
    if (table != RT_TABLE_MAIN || index == 0 ||
        std::memcmp(network.data(), AddressBytes(choice.row.destination), length) != 0) {
      return;
    }
    choice.row.interfaceLuid = index;
    routes.push_back(choice);
  });
  return Result(error);
}

bool LinuxTunnelPlatform::AdapterPresent(std::uint64_t luid) { return IsTunnelInterface(luid); }

std::uint32_t LinuxTunnelPlatform::CreateAddress(const AddressRow& row) {
  rtnl::Message message(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
  auto& address = message.Put<ifaddrmsg>();
  address.ifa_family = SystemFamily(row.address.family);
  address.ifa_prefixlen = row.onLinkPrefixLength;
  address.ifa_index = static_cast<std::uint32_t>(row.interfaceLuid);
  message.Attribute(IFA_LOCAL, AddressBytes(row.address), AddressLength(row.address));
  message.Attribute(IFA_ADDRESS, AddressBytes(row.address), AddressLength(row.address));
  return Result(rtnl::Transact(message));
}

namespace {

constexpr char kHelperCommandLine[] = "wireguard-go\0-f\0";  // then the adapter's name

}  // namespace

std::filesystem::path LinuxTunnelPlatform::TunnelRecordPath() { return ControlSocketPath() + ".tunnel"; }

// The adapter library starts the helper as a child of this process.
AdapterTrace LinuxTunnelPlatform::TraceAdapter() {
  const std::string wanted = std::string(kHelperCommandLine, sizeof kHelperCommandLine - 1) + AdapterNameUtf8() + '\0';
  AdapterTrace trace;
  ForEachProcessFolder([&](std::uint32_t id, const std::string& folder) {
    const ProcessStat stat = ReadProcessStat(folder);
    if (trace.processId == 0 && stat.parent == static_cast<std::uint32_t>(getpid()) && ReadProcFile(folder + "/cmdline") == wanted) {
      trace = {id, stat.startTime};
    }
  });
  return trace;
}

// The helper of a killed instance goes with it (it dies with its parent); one
// that outlived it anyway is ended here, but only the very process recorded.
void LinuxTunnelPlatform::RemoveStaleAdapter(const AdapterTrace& trace) {
  RemoveTunnelRules();
  if (trace.processId != 0 &&
      ReadProcessStat("/proc/" + std::to_string(trace.processId)).startTime == trace.startTime) {
    StopProcess(static_cast<pid_t>(trace.processId), false);
  }
  // A helper killed with its parent a moment ago may still be going: its interface
  // and its socket are waited for (a second at most), and then taken if still there.
  const std::string name = AdapterNameUtf8();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!(if_nametoindex(name.c_str()) == 0 && RemoveSocketIfStale(name)) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (const unsigned index = if_nametoindex(name.c_str()); index != 0) DeleteLink(index);
  RemoveSocketIfStale(name);
}

}  // namespace zv
