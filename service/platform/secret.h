// Secrets live in one owning type that wipes its bytes when it goes, through
// a call the optimiser may not drop; a private key travels only in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zv {

// explicit_bzero on Linux, SecureZeroMemory on Windows.
void WipeMemory(void* data, std::size_t size);

// Bytes in one buffer of a fixed capacity: it never grows, so no copy is left
// behind in memory it gave back, and a move hands over the one buffer.
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text) : bytes(text.begin(), text.end()), used(text.size()) {}
  // `size` zero bytes to be filled in place.
  static Secret Sized(std::size_t size) { return Secret(size, size); }
  // Empty, with room for `capacity` bytes of appends.
  static Secret Room(std::size_t capacity) { return Secret(capacity, 0); }
  ~Secret() { WipeMemory(bytes.data(), bytes.size()); }
  Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)), used(other.used) { other.used = 0; }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      WipeMemory(bytes.data(), bytes.size());
      bytes = std::move(other.bytes);
      used = other.used;
      other.used = 0;
    }
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  // False, adding nothing, when it would not fit.
  bool Append(std::string_view text) {
    if (text.size() > bytes.size() - used) return false;
    for (const char c : text) bytes[used++] = c;
    return true;
  }
  // Two lower-case hexadecimal digits a byte.
  bool AppendHex(const std::uint8_t* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (2 * size > bytes.size() - used) return false;
    for (std::size_t i = 0; i < size; ++i) bytes[used++] = kDigits[data[i] >> 4], bytes[used++] = kDigits[data[i] & 15];
    return true;
  }
  std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(bytes.data()); }
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(bytes.data()); }
  std::size_t size() const { return used; }
  bool empty() const { return used == 0; }
  std::string_view View() const { return {bytes.data(), used}; }

 private:
  Secret(std::size_t capacity, std::size_t size) : bytes(capacity, '\0'), used(size) {}
  std::vector<char> bytes;
  std::size_t used = 0;
};

}  // namespace zv
