#include "gain_rules.h"

#include <algorithm>
#include <vector>

#include "split_rules.h"

namespace zv {
namespace {

// Traffic that can tell the game's server: through the tunnel (the node's own
// address lies in 10/8, a direct range), not a name lookup.
bool Telling(const TrafficRecord& record) {
  if (record.destination.family != IpFamily::V4 || record.destination.port == 53) return false;
  std::uint8_t address[4];
  std::copy_n(record.destination.Bytes(), 4, address);
  return RoutedThroughTunnel(address);
}

bool SameAddress(const IpAddress& a, const IpAddress& b) { return a.family == b.family && a.bytes == b.bytes; }

}  // namespace

std::optional<IpAddress> GameServerOf(std::span<const TrafficRecord> records) {
  const TrafficRecord* latest = nullptr;
  for (const TrafficRecord& record : records) {
    if (Telling(record) && (latest == nullptr || record.last > latest->last)) latest = &record;
  }
  if (latest == nullptr) return std::nullopt;
  IpAddress server = latest->destination;
  server.port = 0;
  std::optional<std::chrono::steady_clock::time_point> tcpLast;
  for (const TrafficRecord& record : records) {
    if (record.protocol == kProtocolTcp && Telling(record) && SameAddress(record.destination, server) &&
        (!tcpLast || record.last > *tcpLast)) {
      tcpLast = record.last;
      server.port = record.destination.port;
    }
  }
  return server;
}

std::optional<long long> MedianMs(std::span<const RoundTrip> samples) {
  std::vector<long long> answered;
  for (const RoundTrip& sample : samples.last(std::min(samples.size(), kGainSamples))) {
    if (sample) answered.push_back(sample->count());
  }
  if (answered.empty()) return std::nullopt;
  std::sort(answered.begin(), answered.end());
  const std::size_t middle = answered.size() / 2;
  const long long micros = answered.size() % 2 ? answered[middle] : (answered[middle - 1] + answered[middle]) / 2;
  return (micros + 500) / 1000;
}

GameProbe ProbeAfter(GameProbe used, bool answered, bool uplink, std::uint16_t tcpPort) {
  if (used == GameProbe::Icmp && !answered && uplink && tcpPort != 0) return GameProbe::Tcp;
  return used;
}

}  // namespace zv
