// The start request's field readers over any text.
#include <string>

#include "request_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* name : {"private_key", "endpoint", "allowed_ips", "game_processes", ""}) {
    const std::string_view value = zv::ReadStringField(text, name);
    if (value.size() > text.size()) __builtin_trap();
    for (const std::string& item : zv::ReadStringArrayField(text, name)) {
      if (item.size() > text.size()) __builtin_trap();
    }
  }
  return 0;
}
