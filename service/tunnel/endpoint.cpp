#include "endpoint.h"

#include "allowed_ip.h"
#include "system_lookups.h"

namespace zv {

bool SplitEndpoint(std::string_view text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (text.empty() || colon == std::string_view::npos) return false;
  host.assign(text.substr(0, colon));
  port.assign(text.substr(colon + 1));
  return true;
}

bool ResolveEndpoint(std::string_view text, IpAddress& address) {
  std::string host, port;
  // A UDP port is 1 to 65535 in digits; the system would take 0 or 65536 for something else.
  const auto number = SplitEndpoint(text, host, port) ? ReadPlainDecimal(port, 65535) : std::nullopt;
  if (host.empty() || !number || *number == 0) return false;
  address = IpAddress{};
  return ResolveUdpAddress(host, port, address);
}

}  // namespace zv
