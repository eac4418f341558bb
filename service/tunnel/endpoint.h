#pragma once

#include <string>
#include <string_view>

namespace zv {

// Host before the last ':', port after it, so an IPv6 literal goes without brackets.
bool SplitEndpoint(std::string_view text, std::string& host, std::string& port);

}  // namespace zv
