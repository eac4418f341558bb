// Key texts and endpoint names on Linux: the same judgement CryptoAPI makes of
// a key for a 32-byte buffer, and getaddrinfo; the C library's Unicode case
// tables, which its C.UTF-8 locale holds whatever locale the service runs in.
#include <arpa/inet.h>
#include <locale.h>
#include <netdb.h>
#include <netinet/in.h>
#include <wctype.h>

#include <cstring>

#include "address_text.h"
#include "system_lookups.h"

namespace zv {
namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeKey(std::string_view text, std::uint8_t* key) {
  // Exactly the 44 characters of a 32-byte key: 43 digits and one pad.
  if (text.size() != 44 || text[43] != '=') return false;
  std::uint32_t bits = 0;
  int held = 0;
  std::size_t out = 0;
  for (std::size_t i = 0; i < 43; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      key[out++] = static_cast<std::uint8_t>(bits >> held);
    }
  }
  const bool canonical = (bits & ((1u << held) - 1)) == 0;  // the two spare bits are zero
  return canonical;
}

bool ResolveUdpAddress(const std::string& host, const std::string& port, IpAddress& address) {
  if (host.empty() || port.empty()) return false;  // getaddrinfo reads an empty host as this machine
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &results) != 0 || results == nullptr) return false;
  const bool found = FromSocketAddress(results->ai_addr, address);
  freeaddrinfo(results);
  return found;
}

char32_t LowerCase(char32_t character) {
  // Without the locale (a system without C.UTF-8) only A to Z have a mapping.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (unicode == static_cast<locale_t>(nullptr)) return character >= 'A' && character <= 'Z' ? character + 32 : character;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(character), unicode));
}

}  // namespace zv
