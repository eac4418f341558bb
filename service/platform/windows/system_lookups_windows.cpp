// Key texts and endpoint names on Windows: CryptoAPI's Base64 and Winsock's resolver.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "system_lookups.h"
#include "utf16_text.h"

namespace zv {

bool DecodeKey(std::string_view text, std::uint8_t* key) {
  // More than 32 bytes overflows the buffer and fails; fewer fail the count.
  DWORD size = 32;
  return CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, key, &size, nullptr,
                              nullptr) &&
         size == 32;
}

bool ResolveUdpAddress(const std::string& host, const std::string& port, SocketAddressInet& address) {
  // GetAddrInfoW reads an empty host as this machine, so a conversion failure must not become one.
  const auto wideHost = Utf16FromUtf8(host), widePort = Utf16FromUtf8(port);
  if (!wideHost || !widePort || wideHost->empty() || widePort->empty()) return false;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  ADDRINFOW* results = nullptr;
  const bool found = GetAddrInfoW(reinterpret_cast<const wchar_t*>(wideHost->c_str()),
                                  reinterpret_cast<const wchar_t*>(widePort->c_str()), &hints, &results) == 0 &&
                     results != nullptr;
  if (found) {
    address = SocketAddressInet{};
    std::memcpy(&address, results->ai_addr, std::min<std::size_t>(results->ai_addrlen, sizeof address));
  }
  if (results != nullptr) FreeAddrInfoW(results);
  WSACleanup();
  return found;
}

}  // namespace zv
