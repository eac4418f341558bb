// "address/length" texts from a start request.
#include <string_view>

#include "allowed_ip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zv::AllowedIp entry{};
  if (zv::ParsePrefix(std::string_view(reinterpret_cast<const char*>(data), size), entry)) {
    const unsigned limit = entry.addressFamily == zv::kFamilyIpv4 ? 32 : 128;
    if ((entry.addressFamily != zv::kFamilyIpv4 && entry.addressFamily != zv::kFamilyIpv6) || entry.cidr > limit) {
      __builtin_trap();
    }
  }
  return 0;
}
