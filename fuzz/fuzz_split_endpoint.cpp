// The endpoint text's split into host and port (the resolution is the system's).
#include <string>
#include <string_view>

#include "endpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string host, port;
  if (zv::SplitEndpoint(text, host, port) && host.size() + 1 + port.size() != text.size()) __builtin_trap();
  return 0;
}
