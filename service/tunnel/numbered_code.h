// Error codes that carry the system's number: the prefix ends in "_", then the
// number in unsigned decimal.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

inline std::string NumberedCode(const char* prefix, std::uint32_t number) { return prefix + std::to_string(number); }

// Sets `error` and returns false, for `return Fail(...)`.
inline bool FailWithNumber(std::string& error, const char* prefix, std::uint32_t number) {
  error = NumberedCode(prefix, number);
  return false;
}

}  // namespace zv
