// Explicit byte shuffling keeps wire formats little-endian on any host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

template <typename T>
void PutLittleEndian(std::uint8_t* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T GetLittleEndian(const std::uint8_t* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
  return value;
}

}  // namespace zv
