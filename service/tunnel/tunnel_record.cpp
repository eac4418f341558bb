#include "tunnel_record.h"

#ifdef _WIN32
#include <fstream>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

// The record's bytes in and out. On Linux a link at the record's name is
// never followed: a write through one would land on another file.
#ifdef _WIN32
bool WriteWhole(const std::filesystem::path& path, const StoredRecord& stored) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(&stored), sizeof stored);
  return static_cast<bool>(file.flush());
}
bool ReadWhole(const std::filesystem::path& path, StoredRecord& stored) {
  std::ifstream file(path, std::ios::binary);
  return static_cast<bool>(file.read(reinterpret_cast<char*>(&stored), sizeof stored));
}
#else
bool WriteWhole(const std::filesystem::path& path, const StoredRecord& stored) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = write(fd, &stored, sizeof stored) == static_cast<ssize_t>(sizeof stored);
  return close(fd) == 0 && written;
}
bool ReadWhole(const std::filesystem::path& path, StoredRecord& stored) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read_ = read(fd, &stored, sizeof stored) == static_cast<ssize_t>(sizeof stored);
  close(fd);
  return read_;
}
#endif

}  // namespace

void SaveTunnelRecord(const std::filesystem::path& path, const TunnelRecord& record) {
  if (path.empty()) return;
  StoredRecord stored;
  stored.adapter = record.adapter;
  stored.trace = record.trace;
  stored.hasRoute = record.endpointRoute.has_value();
  if (record.endpointRoute) stored.route = *record.endpointRoute;
  // Written beside it and renamed over it, so the record is never seen half written.
  if (!WriteWhole(Successor(path), stored)) return;
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
  const bool read = ReadWhole(path, stored) && stored.magic == kRecordMagic;
  ForgetTunnelRecord(path);  // a record of another version names nothing that can be trusted
  if (!read) return std::nullopt;
  TunnelRecord record{stored.adapter != 0, stored.trace, std::nullopt};
  if (stored.hasRoute) record.endpointRoute = stored.route;
  return record;
}

}  // namespace zv
