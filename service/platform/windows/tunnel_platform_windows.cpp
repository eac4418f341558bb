// The tunnel engine's system calls on Windows: the loader, CryptoAPI's Base64,
// Winsock's resolver and the IP Helper tables.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>

#include "tunnel_platform_windows.h"
#include "utf16_text.h"

namespace zv {
namespace {

static_assert(sizeof(SOCKADDR_INET) == sizeof(SocketAddressInet));
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert((LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32) == 0x900);

constexpr DWORD kProgramPathCapacity = MAX_PATH;

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

MIB_IPFORWARD_ROW2 SystemRow(const RouteRow& route) {
  MIB_IPFORWARD_ROW2 row;
  InitializeIpForwardEntry(&row);  // infinite lifetimes, defaults elsewhere
  row.InterfaceLuid.Value = route.interfaceLuid;
  row.InterfaceIndex = route.interfaceIndex;
  std::memcpy(&row.DestinationPrefix.Prefix, &route.destination, sizeof route.destination);
  row.DestinationPrefix.PrefixLength = route.prefixLength;
  std::memcpy(&row.NextHop, &route.nextHop, sizeof route.nextHop);
  row.SitePrefixLength = route.sitePrefixLength;
  row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(route.protocol);
  row.Metric = route.metric;
  return row;
}

// Whether the first `length` bits of `prefix` and `address` agree (IPv4 or IPv6 as the family says).
bool PrefixHolds(const SocketAddressInet& prefix, std::uint8_t length, const SocketAddressInet& address) {
  if (prefix.family != address.family) return false;
  const std::uint8_t* a = prefix.family == AF_INET6 ? prefix.rest + 4 : prefix.rest;
  const std::uint8_t* b = address.family == AF_INET6 ? address.rest + 4 : address.rest;
  for (int bit = 0; bit < length; ++bit) {
    if (((a[bit / 8] ^ b[bit / 8]) >> (7 - bit % 8)) & 1) return false;
  }
  return true;
}

}  // namespace

std::u16string WindowsTunnelPlatform::OwnProgramPath() {
  wchar_t path[kProgramPathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, path, kProgramPathCapacity);
  // A full buffer means a cut-off path, which would name some other folder.
  if (length == 0 || length >= kProgramPathCapacity) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(path), length);
}

std::filesystem::path WindowsTunnelPlatform::TunnelRecordPath() {
  const std::u16string program = OwnProgramPath();
  if (program.empty()) return {};
  return std::filesystem::path(std::wstring(program.begin(), program.end())).parent_path() / L"tunnel.state";
}

ModuleHandle WindowsTunnelPlatform::LoadLibraryAt(const std::u16string& path) {
  return LoadLibraryExW(Wide(path), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

ExportAddress WindowsTunnelPlatform::FindExport(ModuleHandle module, const char* name) {
  return reinterpret_cast<ExportAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void WindowsTunnelPlatform::UnloadLibrary(ModuleHandle module) { FreeLibrary(static_cast<HMODULE>(module)); }

std::uint32_t WindowsTunnelPlatform::LastError() { return GetLastError(); }

bool WindowsTunnelPlatform::DecodeKey(const std::string& text, WireGuardKey& key) {
  // More than 32 bytes overflows the buffer and fails; fewer fail the count.
  DWORD size = static_cast<DWORD>(key.size());
  return CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, key.data(), &size,
                              nullptr, nullptr) &&
         size == key.size();
}

bool WindowsTunnelPlatform::ResolveAddress(const std::string& host, const std::string& port,
                                           SocketAddressInet& address) {
  // GetAddrInfoW reads an empty host as this machine, so a conversion failure must not become one.
  const auto wideHost = Utf16FromUtf8(host), widePort = Utf16FromUtf8(port);
  if (!wideHost || !widePort || wideHost->empty() || widePort->empty()) return false;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  ADDRINFOW* results = nullptr;
  const bool found = GetAddrInfoW(Wide(*wideHost), Wide(*widePort), &hints, &results) == 0 && results != nullptr;
  if (found) {
    address = SocketAddressInet{};
    std::memcpy(&address, results->ai_addr, std::min<std::size_t>(results->ai_addrlen, sizeof address));
  }
  if (results != nullptr) FreeAddrInfoW(results);
  WSACleanup();
  return found;
}

std::uint32_t WindowsTunnelPlatform::BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                                               SocketAddressInet& nextHop) {
  SOCKADDR_INET target;
  std::memcpy(&target, &destination, sizeof target);
  MIB_IPFORWARD_ROW2 best{};
  SOCKADDR_INET source{};
  const DWORD result = GetBestRoute2(nullptr, 0, nullptr, &target, 0, &best, &source);
  if (result == NO_ERROR) {
    interfaceLuid = best.InterfaceLuid.Value;
    std::memcpy(&nextHop, &best.NextHop, sizeof nextHop);
  }
  return result;
}

std::uint32_t WindowsTunnelPlatform::CreateRoute(const RouteRow& route) {
  MIB_IPFORWARD_ROW2 row = SystemRow(route);
  return CreateIpForwardEntry2(&row);
}

std::uint32_t WindowsTunnelPlatform::DeleteRoute(const RouteRow& route) {
  MIB_IPFORWARD_ROW2 row = SystemRow(route);
  return DeleteIpForwardEntry2(&row);
}

// The routes whose prefix holds the destination, ranked as Windows ranks them:
// the route's metric plus its interface's.
std::uint32_t WindowsTunnelPlatform::RoutesTo(const SocketAddressInet& destination, std::vector<RouteChoice>& routes) {
  routes.clear();
  PMIB_IPFORWARD_TABLE2 table = nullptr;
  const DWORD result = GetIpForwardTable2(destination.family, &table);
  if (result != NO_ERROR) return result;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& row = table->Table[i];
    RouteChoice choice{};
    std::memcpy(&choice.row.destination, &row.DestinationPrefix.Prefix, sizeof choice.row.destination);
    choice.row.prefixLength = row.DestinationPrefix.PrefixLength;
    if (!PrefixHolds(choice.row.destination, choice.row.prefixLength, destination)) continue;
    choice.row.interfaceLuid = row.InterfaceLuid.Value;
    std::memcpy(&choice.row.nextHop, &row.NextHop, sizeof choice.row.nextHop);
    choice.row.sitePrefixLength = row.SitePrefixLength;
    choice.row.protocol = row.Protocol;
    choice.row.metric = row.Metric;
    MIB_IPINTERFACE_ROW link;
    InitializeIpInterfaceEntry(&link);
    link.Family = destination.family;
    link.InterfaceLuid = row.InterfaceLuid;
    choice.usable = GetIpInterfaceEntry(&link) == NO_ERROR && link.Connected;
    choice.metric = row.Metric + (choice.usable ? link.Metric : 0);
    routes.push_back(choice);
  }
  FreeMibTable(table);
  return NO_ERROR;
}

bool WindowsTunnelPlatform::AdapterPresent(std::uint64_t luid) {
  NET_LUID netLuid;
  netLuid.Value = luid;
  NET_IFINDEX index = 0;
  return ConvertInterfaceLuidToIndex(&netLuid, &index) == NO_ERROR;
}

std::uint32_t WindowsTunnelPlatform::CreateAddress(const AddressRow& address) {
  MIB_UNICASTIPADDRESS_ROW row;
  InitializeUnicastIpAddressEntry(&row);
  std::memcpy(&row.Address, &address.address, sizeof address.address);
  row.InterfaceLuid.Value = address.interfaceLuid;
  row.OnLinkPrefixLength = address.onLinkPrefixLength;
  row.DadState = static_cast<NL_DAD_STATE>(address.dadState);
  return CreateUnicastIpAddressEntry(&row);
}

}  // namespace zv
