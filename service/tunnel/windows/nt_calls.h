// The thin layer under the Windows implementations: one Win32 call per
// function, deciding nothing. Windows answers with the real calls
// (service/platform/windows/), tests with recording fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net_types.h"

namespace zv {

// SOCKADDR_INET as the IP Helper and WireGuardNT take it: the family (2 or
// 23), the port in network order, then IPv4: the address; IPv6: flow info,
// the address, the scope id.
struct alignas(4) SockaddrInet {
  std::uint16_t family;
  std::uint16_t port;
  std::uint8_t rest[24];
  friend bool operator==(const SockaddrInet&, const SockaddrInet&) = default;
};
static_assert(sizeof(SockaddrInet) == 28);
inline constexpr std::uint16_t kAfInet = 2, kAfInet6 = 23;
// Windows' result for an object that exists already.
inline constexpr std::uint32_t kErrorObjectAlreadyExists = 5010;

SockaddrInet ToSockaddrInet(const IpAddress& address);
IpAddress FromSockaddrInet(const SockaddrInet& address);

using ModuleHandle = void*;
using FileHandle = void*;
using ExportAddress = void (*)();  // cast to the export's own type before the call

// The loader, for wireguard.dll beside the service program.
class NtLibraryCalls {
 public:
  virtual ~NtLibraryCalls() = default;
  virtual std::u16string OwnProgramPath() = 0;  // GetModuleFileNameW; empty when cut off or failed
  // LoadLibraryExW with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32.
  virtual ModuleHandle LoadLibraryAt(const std::u16string& path) = 0;
  virtual ExportAddress FindExport(ModuleHandle module, const char* name) = 0;  // GetProcAddress
  virtual void UnloadLibrary(ModuleHandle module) = 0;                          // FreeLibrary
  virtual std::uint32_t LastError() = 0;                                        // GetLastError
  // CreateFileW for reading, sharing only reading: while it is held nobody may
  // write, rename or delete the file. Null when it cannot be opened.
  virtual FileHandle HoldFile(const std::u16string& path) = 0;
  // GetSecurityInfo's owner and access list, written as SDDL; empty when unreadable.
  virtual std::string FileSecurity(FileHandle file) = 0;
  virtual void ReleaseFile(FileHandle file) = 0;  // CloseHandle
  virtual bool InterfaceExists(std::uint64_t luid) = 0;  // ConvertInterfaceLuidToIndex
};

// The fields of MIB_IPFORWARD_ROW2 the service sets; the layer starts every
// row from InitializeIpForwardEntry and copies exactly these over it.
struct RouteRow {
  std::uint64_t interfaceLuid = 0;
  std::uint32_t interfaceIndex = 0;
  SockaddrInet destination{};
  std::uint8_t prefixLength = 0;
  SockaddrInet nextHop{};
  std::uint8_t sitePrefixLength = 0;
  std::uint32_t protocol = 0;
  std::uint32_t metric = 0;
};

// One row of the forward table that holds a destination, with its interface's metric and state.
struct RouteRowChoice {
  RouteRow row;
  std::uint32_t metric;  // the route's and its interface's
  bool usable;           // its interface is connected
};

// The fields of MIB_UNICASTIPADDRESS_ROW the service sets, the same way.
struct AddressRow {
  SockaddrInet address{};
  std::uint64_t interfaceLuid = 0;
  std::uint8_t onLinkPrefixLength = 0;
  std::uint32_t dadState = 0;
};

// The IP Helper; each returns the call's result, 0 on success.
class IpHelperCalls {
 public:
  virtual ~IpHelperCalls() = default;
  virtual std::uint32_t GetBestRoute(const SockaddrInet& destination, RouteRow& best) = 0;  // GetBestRoute2
  virtual std::uint32_t CreateRoute(const RouteRow& row) = 0;                                  // CreateIpForwardEntry2
  virtual std::uint32_t DeleteRoute(const RouteRow& row) = 0;                                  // DeleteIpForwardEntry2
  virtual std::uint32_t CreateAddress(const AddressRow& row) = 0;  // CreateUnicastIpAddressEntry
  // GetIpInterfaceEntry of the interface's `family`, then SetIpInterfaceEntry of
  // that row with the automatic metric off and `metric`: the first failing
  // result, ERROR_NOT_FOUND (1168) when the interface has no such family.
  virtual std::uint32_t SetInterfaceMetric(std::uint64_t interfaceLuid, std::uint16_t family, std::uint32_t metric) = 0;
  // GetIpForwardTable2, the rows whose prefix holds `destination`, each with
  // GetIpInterfaceEntry's metric and connection state.
  virtual std::uint32_t RoutesTo(const SockaddrInet& destination, std::vector<RouteRowChoice>& rows) = 0;
};

}  // namespace zv
