#include "tunnel_record.h"

#include <fstream>

namespace zv {
namespace {

constexpr std::uint32_t kRecordMagic = 0x3454565A;  // "ZVT4": routes in the neutral layout

// Raw bytes of one machine's own structures: a record is never carried to another.
struct StoredRecord {
  std::uint32_t magic = kRecordMagic;
  std::uint8_t adapter = 0;
  std::uint8_t hasRoute = 0;
  AdapterTrace trace{};
  Route route{};
};

std::filesystem::path Successor(const std::filesystem::path& path) {
  auto written = path;
  return written += ".new";
}

}  // namespace

void SaveTunnelRecord(const std::filesystem::path& path, const TunnelRecord& record) {
  if (path.empty()) return;
  StoredRecord stored;
  stored.adapter = record.adapter;
  stored.trace = record.trace;
  stored.hasRoute = record.endpointRoute.has_value();
  if (record.endpointRoute) stored.route = *record.endpointRoute;
  // Written beside it and renamed over it, so the record is never seen half written.
  {
    std::ofstream file(Successor(path), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(&stored), sizeof stored);
    if (!file.flush()) return;
  }
  std::error_code ignored;
  std::filesystem::rename(Successor(path), path, ignored);
}

void ForgetTunnelRecord(const std::filesystem::path& path) {
  std::error_code ignored;
  if (path.empty()) return;
  std::filesystem::remove(path, ignored);
  std::filesystem::remove(Successor(path), ignored);
}

std::optional<TunnelRecord> TakeTunnelRecord(const std::filesystem::path& path) {
  if (path.empty()) return std::nullopt;
  StoredRecord stored;
  bool read = false;
  {
    std::ifstream file(path, std::ios::binary);
    read = file.read(reinterpret_cast<char*>(&stored), sizeof stored) && stored.magic == kRecordMagic;
  }
  ForgetTunnelRecord(path);  // a record of another version names nothing that can be trusted
  if (!read) return std::nullopt;
  TunnelRecord record{stored.adapter != 0, stored.trace, std::nullopt};
  if (stored.hasRoute) record.endpointRoute = stored.route;
  return record;
}

}  // namespace zv
