#pragma once

#include <string>
#include <string_view>

#include "tunnel_platform.h"

namespace zv {

// Host before the last ':', port after it, so an IPv6 literal goes without brackets.
bool SplitEndpoint(std::string_view text, std::string& host, std::string& port);

// A DNS name or an address literal. An empty host or port fails here: the
// system would take them for this machine's own addresses or port 0.
bool ResolveEndpoint(TunnelPlatform& platform, std::string_view text, SocketAddressInet& address);

}  // namespace zv
