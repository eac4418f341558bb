// Key texts and endpoint names on Windows: CryptoAPI's Base64 and Winsock's
// resolver; the invariant locale's case tables.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "address_text.h"
#include "system_lookups.h"

namespace zv {
namespace {

// Strict: text that is not UTF-8 converts to nothing, never to something else.
std::wstring Wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

}  // namespace

bool DecodeKey(std::string_view text, std::uint8_t* key) {
  // More than 32 bytes overflows the buffer and fails; fewer fail the count.
  DWORD size = 32;
  return CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, key, &size, nullptr,
                              nullptr) &&
         size == 32;
}

bool ResolveUdpAddress(const std::string& host, const std::string& port, IpAddress& address) {
  // GetAddrInfoW reads an empty host as this machine, so a conversion failure must not become one.
  const std::wstring wideHost = Wide(host), widePort = Wide(port);
  if (wideHost.empty() || widePort.empty()) return false;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  ADDRINFOW* results = nullptr;
  const bool found = GetAddrInfoW(wideHost.c_str(), widePort.c_str(), &hints, &results) == 0 && results != nullptr &&
                     FromSocketAddress(results->ai_addr, address);
  if (results != nullptr) FreeAddrInfoW(results);
  WSACleanup();
  return found;
}

char32_t LowerCase(char32_t character) {
  const std::wstring one = character < 0x10000 ? std::wstring(1, static_cast<wchar_t>(character))
                                               : std::wstring{static_cast<wchar_t>(0xD800 + ((character - 0x10000) >> 10)),
                                                              static_cast<wchar_t>(0xDC00 + ((character - 0x10000) & 0x3FF))};
  wchar_t lower[2] = {};
  const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, one.data(), static_cast<int>(one.size()),
                                   lower, 2, nullptr, nullptr, 0);
  if (length == 1 && (lower[0] < 0xD800 || lower[0] > 0xDFFF)) return lower[0];
  if (length == 2 && lower[0] >= 0xD800 && lower[0] <= 0xDBFF) return 0x10000 + ((lower[0] - 0xD800) << 10) + (lower[1] - 0xDC00);
  return character;
}

}  // namespace zv
