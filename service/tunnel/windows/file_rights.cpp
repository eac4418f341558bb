#include "file_rights.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace zv {
namespace {

// The system, the administrators and TrustedInstaller, as abbreviations and as SIDs.
constexpr std::string_view kTrusted[] = {"SY", "S-1-5-18", "BA", "S-1-5-32-544",
                                         "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

// Write data, append, write extended attributes, delete children, write
// attributes, delete, write the access list, take ownership, generic write and all.
constexpr std::uint32_t kChanges =
    0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000;

struct RightCode {
  std::string_view code;
  std::uint32_t mask;
};
// The two-letter rights an ACE string may hold, concatenated ("GXGR").
constexpr RightCode kRightCodes[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000}, {"RC", 0x20000},
    {"SD", 0x10000},    {"WD", 0x40000},    {"WO", 0x80000},    {"RP", 0x10},       {"WP", 0x20},
    {"CC", 0x1},        {"DC", 0x2},        {"LC", 0x4},        {"SW", 0x8},        {"LO", 0x80},
    {"DT", 0x40},       {"CR", 0x100},      {"FA", 0x1F01FF},   {"FR", 0x120089},   {"FW", 0x120116},
    {"FX", 0x1200A0},   {"KA", 0xF003F},    {"KR", 0x20019},    {"KW", 0x20006},    {"KX", 0x20019}};

bool Trusted(std::string_view sid) { return std::find(std::begin(kTrusted), std::end(kTrusted), sid) != std::end(kTrusted); }

std::optional<std::uint32_t> Rights(std::string_view text) {
  std::uint32_t mask = 0;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    const auto [end, failure] = std::from_chars(text.data() + 2, text.data() + text.size(), mask, 16);
    if (failure != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return mask;
  }
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  for (std::size_t at = 0; at < text.size(); at += 2) {
    const auto* known = std::find_if(std::begin(kRightCodes), std::end(kRightCodes),
                                     [&](const RightCode& right) { return right.code == text.substr(at, 2); });
    if (known == std::end(kRightCodes)) return std::nullopt;
    mask |= known->mask;
  }
  return mask;
}

// The text of one section ('O' owner, 'D' access list): after "X:", up to the
// next section. Only sections hold a colon outside an ACE's parentheses.
std::optional<std::string_view> Section(std::string_view sddl, char letter) {
  std::vector<std::size_t> colons;
  int depth = 0;
  for (std::size_t i = 0; i < sddl.size(); ++i) {
    depth += sddl[i] == '(' ? 1 : sddl[i] == ')' ? -1 : 0;
    if (depth == 0 && sddl[i] == ':' && i > 0) colons.push_back(i);
  }
  for (std::size_t n = 0; n < colons.size(); ++n) {
    if (sddl[colons[n] - 1] != letter) continue;
    const std::size_t end = n + 1 < colons.size() ? colons[n + 1] - 1 : sddl.size();
    return sddl.substr(colons[n] + 1, end - colons[n] - 1);
  }
  return std::nullopt;
}

// The access entries: each "(...)" at the top level, without its parentheses
// (a conditional entry holds more of them); an unbalanced one is left as it stands.
std::vector<std::string_view> Entries(std::string_view dacl) {
  std::vector<std::string_view> entries;
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < dacl.size(); ++i) {
    if (dacl[i] == '(' && depth++ == 0) start = i + 1;
    if (dacl[i] == ')' && --depth == 0) entries.push_back(dacl.substr(start, i - start));
  }
  if (depth != 0) entries.push_back(dacl.substr(start));
  return entries;
}

std::vector<std::string_view> Fields(std::string_view ace) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t end = ace.find(';', start);
    fields.push_back(ace.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

bool InheritOnly(std::string_view flags) {
  for (std::size_t at = 0; at + 1 < flags.size(); at += 2) {
    if (flags.substr(at, 2) == "IO") return true;
  }
  return false;
}

void Add(std::string& said, const std::string& what) { said += (said.empty() ? "" : ", ") + what; }

}  // namespace

std::string OthersWhoMayChange(std::string_view sddl) {
  std::string others;
  const auto owner = Section(sddl, 'O');
  if (!owner) Add(others, "an unknown owner");
  else if (!Trusted(*owner)) Add(others, "owner " + std::string(*owner));
  const auto dacl = Section(sddl, 'D');
  // No access list at all lets everyone do everything.
  if (!dacl || dacl->find("NO_ACCESS_CONTROL") != std::string_view::npos) {
    Add(others, "everyone (no access list)");
    return others;
  }
  for (const std::string_view entry : Entries(*dacl)) {
    const auto fields = Fields(entry);
    const auto rights = fields.size() >= 6 ? Rights(fields[2]) : std::nullopt;
    if (!rights) {
      Add(others, "an access entry it cannot read");
      continue;
    }
    // A denial grants nothing; an entry only for what is made inside does not apply to the file.
    if (fields[0] == "D" || InheritOnly(fields[1]) || (*rights & kChanges) == 0 || Trusted(fields[5])) continue;
    Add(others, std::string(fields[5]) + " may change it (" + std::string(fields[2]) + ")");
  }
  return others;
}

}  // namespace zv
