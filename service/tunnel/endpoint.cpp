#include "endpoint.h"

namespace zv {

bool SplitEndpoint(std::string_view text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (text.empty() || colon == std::string_view::npos) return false;
  host.assign(text.substr(0, colon));
  port.assign(text.substr(colon + 1));
  return true;
}

bool ResolveEndpoint(TunnelPlatform& platform, std::string_view text, SocketAddressInet& address) {
  std::string host, port;
  if (!SplitEndpoint(text, host, port) || host.empty() || port.empty()) return false;
  address = SocketAddressInet{};
  return platform.ResolveAddress(host, port, address);
}

}  // namespace zv
