// "address/length" texts from a start request.
#include <string_view>

#include "allowed_ip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zv::IpPrefix entry{};
  if (zv::ParsePrefix(std::string_view(reinterpret_cast<const char*>(data), size), entry)) {
    if (entry.length > entry.address.HostPrefix() || entry.address.port != 0) __builtin_trap();
  }
  return 0;
}
