#include "allowed_ip.h"

#include <cstring>
#include <limits>

#include "address_text.h"

namespace zv {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr std::string_view kEverything = "0.0.0.0/0";  // the split peer accepts any destination

template <std::size_t N>
bool Store(IpPrefix& entry, const std::uint8_t (&address)[N], IpFamily family, std::uint32_t length) {
  std::memcpy(entry.address.Bytes(), address, N);
  entry.address.family = family;
  entry.length = static_cast<std::uint8_t>(length);
  return true;
}

IpPrefix Fixed(std::string_view text) {
  IpPrefix entry{};
  ParsePrefix(text, entry);
  return entry;
}

IpPrefix NodeAddress() { return {IpAddress::V4(kNodeTunnelAddress), 32}; }

}  // namespace

std::optional<std::int32_t> ReadDecimal(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && IsSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const std::size_t digitsStart = at;
  std::int64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + (text[at++] - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
  }
  if (at == digitsStart) return std::nullopt;
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<std::uint32_t> ReadPlainDecimal(std::string_view text, std::uint32_t limit) {
  // "032" is no way to write a length or a port: only the system's own readers would take it.
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

bool ParsePrefix(std::string_view text, IpPrefix& entry) {
  const std::size_t slash = text.find('/');
  if (text.empty() || slash == std::string_view::npos) return false;
  const std::string address(text.substr(0, slash));
  const auto length = ReadDecimal(text.substr(slash + 1));
  if (!length) return false;
  const auto unsignedLength = static_cast<std::uint32_t>(*length);

  entry = IpPrefix{};
  std::uint8_t v4[4];
  if (ParseIpv4Text(address, v4) && unsignedLength <= 32) return Store(entry, v4, IpFamily::V4, unsignedLength);
  std::uint8_t v6[16];
  if (ParseIpv6Text(address, v6) && unsignedLength <= 128) return Store(entry, v6, IpFamily::V6, unsignedLength);
  return false;
}

bool BuildTunnelLists(bool splitRouting, const std::vector<std::string>& allowedIps, TunnelLists& lists) {
  lists = TunnelLists{};
  for (const std::string& text : allowedIps) {
    IpPrefix entry{};
    if (!ParsePrefix(text, entry)) return false;
    // Split routing keeps only narrow IPv4 routes; the game's other traffic
    // reaches the tunnel through per-destination host routes.
    if (!splitRouting) {
      lists.peer.push_back(entry);
      lists.routes.push_back(entry);
    } else if (entry.address.family == IpFamily::V4 && entry.length >= 16) {
      lists.routes.push_back(entry);
    }
  }
  if (splitRouting) lists.peer.push_back(Fixed(kEverything));
  // Both end with the node's own tunnel address.
  lists.peer.push_back(NodeAddress());
  lists.routes.push_back(NodeAddress());
  return true;
}

}  // namespace zv
