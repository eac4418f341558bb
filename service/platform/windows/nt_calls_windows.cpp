// The loader and the IP Helper on Windows: one Win32 call per function.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>

#include "nt_calls_windows.h"

namespace zv {
namespace {

static_assert(sizeof(SOCKADDR_INET) == sizeof(SockaddrInet) && offsetof(SOCKADDR_INET, Ipv6.sin6_addr) == 8);
static_assert(AF_INET == kAfInet && AF_INET6 == kAfInet6 && ERROR_OBJECT_ALREADY_EXISTS == kErrorObjectAlreadyExists);
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
bool PrefixHolds(const SockaddrInet& prefix, std::uint8_t length, const SockaddrInet& address) {
  if (prefix.family != address.family) return false;
  const std::size_t at = prefix.family == AF_INET6 ? 4 : 0;  // past the flow info
  for (int bit = 0; bit < length; ++bit) {
    if (((prefix.rest[at + bit / 8] ^ address.rest[at + bit / 8]) >> (7 - bit % 8)) & 1) return false;
  }
  return true;
}

}  // namespace

std::u16string WindowsNtLibraryCalls::OwnProgramPath() {
  wchar_t path[kProgramPathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, path, kProgramPathCapacity);
  // A full buffer means a cut-off path, which would name some other folder.
  if (length == 0 || length >= kProgramPathCapacity) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(path), length);
}

ModuleHandle WindowsNtLibraryCalls::LoadLibraryAt(const std::u16string& path) {
  return LoadLibraryExW(Wide(path), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

ExportAddress WindowsNtLibraryCalls::FindExport(ModuleHandle module, const char* name) {
  return reinterpret_cast<ExportAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void WindowsNtLibraryCalls::UnloadLibrary(ModuleHandle module) { FreeLibrary(static_cast<HMODULE>(module)); }

std::uint32_t WindowsNtLibraryCalls::LastError() { return GetLastError(); }

FileHandle WindowsNtLibraryCalls::HoldFile(const std::u16string& path) {
  // Backup semantics open a folder too, for the acceptance kit's look at the install folder.
  HANDLE file = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

std::string WindowsNtLibraryCalls::FileSecurity(FileHandle file) {
  constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, kWhat, nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  char* text = nullptr;
  std::string sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, kWhat, &text, nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return sddl;
}

void WindowsNtLibraryCalls::ReleaseFile(FileHandle file) { CloseHandle(file); }

bool WindowsNtLibraryCalls::InterfaceExists(std::uint64_t luid) {
  NET_LUID netLuid;
  netLuid.Value = luid;
  NET_IFINDEX index = 0;
  return ConvertInterfaceLuidToIndex(&netLuid, &index) == NO_ERROR;
}

std::filesystem::path TunnelRecordBesideProgram(NtLibraryCalls& calls) {
  const std::u16string program = calls.OwnProgramPath();
  if (program.empty()) return {};
  return std::filesystem::path(std::wstring(program.begin(), program.end())).parent_path() / L"tunnel.state";
}

std::uint32_t WindowsIpHelperCalls::GetBestRoute(const SockaddrInet& destination, RouteRow& best) {
  SOCKADDR_INET target;
  std::memcpy(&target, &destination, sizeof target);
  MIB_IPFORWARD_ROW2 row{};
  SOCKADDR_INET source{};
  const DWORD result = GetBestRoute2(nullptr, 0, nullptr, &target, 0, &row, &source);
  if (result == NO_ERROR) {
    best.interfaceLuid = row.InterfaceLuid.Value;
    std::memcpy(&best.nextHop, &row.NextHop, sizeof best.nextHop);
  }
  return result;
}

std::uint32_t WindowsIpHelperCalls::CreateRoute(const RouteRow& route) {
  MIB_IPFORWARD_ROW2 row = SystemRow(route);
  return CreateIpForwardEntry2(&row);
}

std::uint32_t WindowsIpHelperCalls::DeleteRoute(const RouteRow& route) {
  MIB_IPFORWARD_ROW2 row = SystemRow(route);
  return DeleteIpForwardEntry2(&row);
}

// The routes whose prefix holds the destination, ranked as Windows ranks them:
// the route's metric plus its interface's.
std::uint32_t WindowsIpHelperCalls::RoutesTo(const SockaddrInet& destination, std::vector<RouteRowChoice>& rows) {
  rows.clear();
  PMIB_IPFORWARD_TABLE2 table = nullptr;
  const DWORD result = GetIpForwardTable2(destination.family, &table);
  if (result != NO_ERROR) return result;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& row = table->Table[i];
    RouteRowChoice choice{};
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
    rows.push_back(choice);
  }
  FreeMibTable(table);
  return NO_ERROR;
}

std::uint32_t WindowsIpHelperCalls::CreateAddress(const AddressRow& address) {
  MIB_UNICASTIPADDRESS_ROW row;
  InitializeUnicastIpAddressEntry(&row);
  std::memcpy(&row.Address, &address.address, sizeof address.address);
  row.InterfaceLuid.Value = address.interfaceLuid;
  row.OnLinkPrefixLength = address.onLinkPrefixLength;
  row.DadState = static_cast<NL_DAD_STATE>(address.dadState);
  return CreateUnicastIpAddressEntry(&row);
}

std::uint32_t WindowsIpHelperCalls::SetInterfaceMetric(std::uint64_t interfaceLuid, std::uint16_t family,
                                                      std::uint32_t metric) {
  MIB_IPINTERFACE_ROW row;
  InitializeIpInterfaceEntry(&row);
  row.Family = family;
  row.InterfaceLuid.Value = interfaceLuid;
  // The row written back is the one read, so only the metric changes.
  if (const DWORD result = GetIpInterfaceEntry(&row); result != NO_ERROR) return result;
  row.UseAutomaticMetric = FALSE;
  row.Metric = metric;
  if (family == AF_INET) row.SitePrefixLength = 0;  // IPv4 has no site prefix; the write takes none
  return SetIpInterfaceEntry(&row);
}

}  // namespace zv
