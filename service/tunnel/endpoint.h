#pragma once

#include <string>
#include <string_view>

#include "net_types.h"

namespace zv {

// Host before the last ':', port after it, so an IPv6 literal goes without brackets.
bool SplitEndpoint(std::string_view text, std::string& host, std::string& port);

// A DNS name or an address literal, and a port of 1 to 65535 in digits (no
// leading zero). An empty host fails here: the system would take it for this machine.
bool ResolveEndpoint(std::string_view text, IpAddress& address);

}  // namespace zv
