#include "tunnel_routes.h"

#include <cstring>

#include "address_text.h"
#include "numbered_code.h"

namespace zv {
namespace {

bool Succeeded(std::uint32_t result) { return result == 0 || result == kErrorObjectAlreadyExists; }

}  // namespace

RouteRow TunnelRoute(std::uint64_t interfaceLuid, const SocketAddressInet& destination, std::uint8_t prefixLength,
                     const SocketAddressInet& nextHop) {
  RouteRow row;
  row.interfaceLuid = interfaceLuid;
  row.destination = destination;
  row.prefixLength = prefixLength;
  row.nextHop = nextHop;
  row.sitePrefixLength = prefixLength;
  row.protocol = kRouteProtocolNetmgmt;
  row.metric = 0;
  return row;
}

SocketAddressInet SocketAddressOf(const AllowedIp& entry) {
  SocketAddressInet address{};
  address.family = entry.addressFamily;
  if (entry.addressFamily == kFamilyIpv4) std::memcpy(address.rest, entry.address, 4);
  else std::memcpy(address.rest + 4, entry.address, 16);  // after the flow info
  return address;
}

bool AddEndpointRoute(TunnelPlatform& platform, const SocketAddressInet& endpoint, RouteRow& row, bool& created,
                      const NoteOwnedRoute& note, std::string& error) {
  created = false;
  std::uint64_t luid = 0;
  SocketAddressInet nextHop{};
  if (const auto result = platform.BestRoute(endpoint, luid, nextHop); result != 0) {
    return FailWithNumber(error, "resolve_endpoint_route_failed_", result);
  }
  const std::uint8_t hostLength = endpoint.family == kFamilyIpv4 ? 32 : 128;
  row = TunnelRoute(luid, endpoint, hostLength, nextHop);
  note(row);
  const auto result = platform.CreateRoute(row);
  if (result == 0) created = true;
  else note(std::nullopt);  // there already, or not made
  return Succeeded(result) || FailWithNumber(error, "create_endpoint_route_failed_", result);
}

bool ConfigureAddressAndRoutes(TunnelPlatform& platform, std::uint64_t luid, const std::string& assignedIp,
                               const std::vector<AllowedIp>& routeList, std::string& error) {
  const std::size_t slash = assignedIp.find('/');
  std::uint8_t address[4];
  const auto length = slash == std::string::npos ? std::nullopt : ReadPlainDecimal(assignedIp.substr(slash + 1), 32);
  // Only plain digits up to 32: a length the system would cut to its low 8 bits is refused.
  if (!length || !ParseIpv4Text(assignedIp.substr(0, slash), address)) {
    error = "invalid_assigned_address";
    return false;
  }
  AddressRow row;
  row.address.family = kFamilyIpv4;
  std::memcpy(row.address.rest, address, 4);
  row.interfaceLuid = luid;
  row.onLinkPrefixLength = static_cast<std::uint8_t>(*length);
  row.dadState = kDadStatePreferred;
  if (const auto result = platform.CreateAddress(row); !Succeeded(result)) {
    return FailWithNumber(error, "configure_address_failed_", result);
  }

  for (const AllowedIp& entry : routeList) {
    SocketAddressInet onLink{};
    onLink.family = entry.addressFamily;
    const auto result = platform.CreateRoute(TunnelRoute(luid, SocketAddressOf(entry), entry.cidr, onLink));
    if (!Succeeded(result)) return FailWithNumber(error, "configure_route_failed_", result);
  }
  return true;
}

}  // namespace zv
