// What the tunnel engine asks of the operating system: its own path, loading
// the WireGuard library, key decoding, name resolution and the IP tables.
// Windows answers with the Win32 calls; tests answer with a recording fake.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

using WireGuardKey = std::array<std::uint8_t, 32>;

// Windows' address family numbers, which every row and entry carries.
inline constexpr std::uint16_t kFamilyIpv4 = 2;
inline constexpr std::uint16_t kFamilyIpv6 = 23;

// Laid out like SOCKADDR_INET: family, port in network order, then
// IPv4: the address; IPv6: flow info, the address, the scope id.
struct alignas(4) SocketAddressInet {
  std::uint16_t family;
  std::uint16_t port;
  std::uint8_t rest[24];
};
static_assert(sizeof(SocketAddressInet) == 28);

// The fields of MIB_IPFORWARD_ROW2 the engine sets; the shell starts every row
// from the platform's initializer and copies exactly these over it.
struct RouteRow {
  std::uint64_t interfaceLuid = 0;
  std::uint32_t interfaceIndex = 0;
  SocketAddressInet destination{};
  std::uint8_t prefixLength = 0;
  SocketAddressInet nextHop{};
  std::uint8_t sitePrefixLength = 0;
  std::uint32_t protocol = 0;
  std::uint32_t metric = 0;
};

// One route that could carry packets to a destination, as the system lists it.
struct RouteChoice {
  RouteRow row;          // its interface, destination prefix and next hop
  std::uint32_t metric;  // what decides between equally long prefixes: the route's and its interface's
  bool usable;           // its interface is up and connected
};

// The fields of MIB_UNICASTIPADDRESS_ROW the engine sets, the same way.
struct AddressRow {
  SocketAddressInet address{};
  std::uint64_t interfaceLuid = 0;
  std::uint8_t onLinkPrefixLength = 0;
  std::uint32_t dadState = 0;
};

inline constexpr std::uint32_t kErrorObjectAlreadyExists = 5010;

// The process that carries an adapter, where one does (on Linux its
// wireguard-go helper), by id and start time, so that recovery finds exactly
// that process and never another with the same id or name.
struct AdapterTrace {
  std::uint32_t processId = 0;
  std::uint64_t startTime = 0;
  friend bool operator==(const AdapterTrace&, const AdapterTrace&) = default;
};

using ModuleHandle = void*;
using ExportAddress = void (*)();  // cast to the export's own type before the call

class TunnelPlatform {
 public:
  virtual ~TunnelPlatform() = default;

  // Empty when the system cannot tell.
  virtual std::u16string OwnProgramPath() = 0;
  virtual std::u16string_view PathSeparators() const = 0;  // the first one is written
  virtual std::u16string_view WireGuardLibraryName() const = 0;

  // Only the given file; its own dependencies only from its folder and the system's.
  virtual ModuleHandle LoadLibraryAt(const std::u16string& path) = 0;
  virtual ExportAddress FindExport(ModuleHandle module, const char* name) = 0;
  virtual void UnloadLibrary(ModuleHandle module) = 0;
  // The calling thread's last system error, read right after a failed call.
  virtual std::uint32_t LastError() = 0;

  // Base64 that decodes to exactly 32 bytes.
  virtual bool DecodeKey(const std::string& text, WireGuardKey& key) = 0;
  // Host and port as UTF-8; the first UDP address they name.
  virtual bool ResolveAddress(const std::string& host, const std::string& port, SocketAddressInet& address) = 0;

  // Each returns the system's result code, 0 on success.
  virtual std::uint32_t BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                                  SocketAddressInet& nextHop) = 0;
  virtual std::uint32_t CreateRoute(const RouteRow& row) = 0;
  virtual std::uint32_t DeleteRoute(const RouteRow& row) = 0;
  virtual std::uint32_t CreateAddress(const AddressRow& row) = 0;
  // Every route of the system's main table whose prefix holds `destination`;
  // a system that cannot list them answers 50 (not supported), and the
  // endpoint route then stays where the start put it.
  virtual std::uint32_t RoutesTo(const SocketAddressInet& destination, std::vector<RouteChoice>& routes) {
    (void)destination, (void)routes;
    return 50;
  }
  // Whether the adapter with this LUID still exists: on Linux its helper may die and take it along.
  virtual bool AdapterPresent(std::uint64_t luid) {
    (void)luid;
    return true;
  }

  // Where the record of a running tunnel is kept, writable by the service alone; empty: none is kept.
  virtual std::filesystem::path TunnelRecordPath() { return {}; }
  // The process behind the adapter just created; nothing where none is.
  virtual AdapterTrace TraceAdapter() { return {}; }
  // Takes away what an earlier, killed instance of the service left of an
  // adapter it was creating or running (`trace` is empty when it was killed
  // before the adapter existed).
  virtual void RemoveStaleAdapter(const AdapterTrace& trace) { (void)trace; }
};

}  // namespace zv
