#include "tunnel_record.h"

#include <fstream>

namespace zv {
namespace {

constexpr std::uint32_t kRecordMagic = 0x3254565A;  // "ZVT2"

// Raw bytes of one machine's own structures: a record is never carried to another.
struct StoredRecord {
  std::uint32_t magic = kRecordMagic;
  std::uint8_t adapter = 0;
  std::uint8_t hasRoute = 0;
  AdapterTrace trace{};
  RouteRow route{};
};

}  // namespace

void SaveTunnelRecord(TunnelPlatform& platform, const TunnelRecord& record) {
  const auto path = platform.TunnelRecordPath();
  if (path.empty()) return;
  StoredRecord stored;
  stored.adapter = record.adapter;
  stored.trace = record.trace;
  stored.hasRoute = record.endpointRoute.has_value();
  if (record.endpointRoute) stored.route = *record.endpointRoute;
  // Written beside it and renamed over it, so the record is never seen half written.
  auto written = path;
  written += ".new";
  {
    std::ofstream file(written, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(&stored), sizeof stored);
    if (!file.flush()) return;
  }
  std::error_code ignored;
  std::filesystem::rename(written, path, ignored);
}

void ForgetTunnelRecord(TunnelPlatform& platform) {
  const auto path = platform.TunnelRecordPath();
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove(path, ignored);
}

bool RecoverStaleTunnel(TunnelPlatform& platform) {
  const auto path = platform.TunnelRecordPath();
  if (path.empty()) return false;
  std::ifstream file(path, std::ios::binary);
  StoredRecord stored;
  if (!file.read(reinterpret_cast<char*>(&stored), sizeof stored) || stored.magic != kRecordMagic) {
    file.close();
    ForgetTunnelRecord(platform);  // a record of another version names nothing that can be trusted
    return false;
  }
  file.close();
  if (stored.adapter) platform.RemoveStaleAdapter(stored.trace);
  if (stored.hasRoute) platform.DeleteRoute(stored.route);
  ForgetTunnelRecord(platform);
  return true;
}

}  // namespace zv
