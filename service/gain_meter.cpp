#include "gain_meter.h"

#include <algorithm>
#include <vector>

namespace zv {
namespace {

void Keep(std::deque<RoundTrip>& samples, RoundTrip sample) {
  samples.push_back(sample);
  if (samples.size() > kGainSamples) samples.pop_front();
}

bool AnyAnswer(const std::deque<RoundTrip>& samples) {
  return std::any_of(samples.begin(), samples.end(), [](const RoundTrip& sample) { return sample.has_value(); });
}

std::optional<long long> Median(const std::deque<RoundTrip>& samples) {
  const std::vector<RoundTrip> all(samples.begin(), samples.end());
  return MedianMs(all);
}

}  // namespace

GainMeter::GainMeter(PathProbe& probe, GameSteering& steering, std::chrono::milliseconds period)
    : probe(probe), steering(steering), period(period), thread([this] { Run(); }) {}

GainMeter::~GainMeter() {
  {
    const std::lock_guard lock(mutex);
    ending = true;
  }
  changed.notify_all();
  thread.join();
}

void GainMeter::Forget() {
  ++generation;
  server.reset();
  next = GameProbe::None;
  gameDirect.clear(), gameTunnel.clear(), nodeDirect.clear();
  uplink.reset();
}

void GainMeter::Follow(const TunnelEnds& held) {
  {
    const std::lock_guard lock(mutex);
    if (ends == held) return;
    ends = held;
    Forget();
  }
  changed.notify_all();
}

void GainMeter::End() {
  {
    const std::lock_guard lock(mutex);
    if (!ends) return;
    ends.reset();
    Forget();
  }
  changed.notify_all();
}

GainFigures GainMeter::Figures() const {
  const std::lock_guard lock(mutex);
  GainFigures figures;
  figures.gameServer = server;
  if (server) figures.gameServer->port = 0;
  if (AnyAnswer(gameDirect) || AnyAnswer(gameTunnel)) figures.probe = next;
  figures.gameDirectMs = Median(gameDirect);
  figures.gameTunnelMs = Median(gameTunnel);
  figures.nodeDirectMs = Median(nodeDirect);
  figures.uplink = uplink;
  return figures;
}

bool GainMeter::Round(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t tunnel = generation;
  const TunnelEnds to = *ends;
  // Whether what was measured still counts: the same tunnel, and the meter not ending.
  const auto current = [&] { return !ending && generation == tunnel; };
  lock.unlock();
  const auto found = GameServerOf(steering.GameTraffic());
  const bool hasPath = probe.HasPath(to);
  const RoundTrip node = probe.Echo(to.endpoint, PathWay::Direct, to, kGainProbeWait);
  lock.lock();
  if (!current()) return false;
  uplink = hasPath;
  Keep(nodeDirect, node);
  // A steering started again (a rebuild) has seen nothing yet: the server stays the last one found.
  if (found && (!server || server->bytes != found->bytes)) {
    gameDirect.clear(), gameTunnel.clear();
    next = GameProbe::Icmp;  // a new server is first asked for echoes
  }
  if (found) server = found;
  if (!server) return true;
  const IpAddress target = *server;
  for (const GameProbe kind : {GameProbe::Icmp, GameProbe::Tcp}) {
    if (next != kind) continue;
    RoundTrip both[2];
    for (const PathWay way : {PathWay::Direct, PathWay::Tunnel}) {
      lock.unlock();
      const RoundTrip taken = kind == GameProbe::Icmp ? probe.Echo(target, way, to, kGainProbeWait)
                                                      : probe.Connect(target, way, to, kGainProbeWait);
      lock.lock();
      if (!current()) return false;
      both[way == PathWay::Tunnel] = taken;
    }
    next = ProbeAfter(kind, both[0] || both[1], hasPath, target.port);
    if (next != kind) {  // measured by another kind from now on: these figures are not its
      gameDirect.clear(), gameTunnel.clear();
      continue;
    }
    Keep(gameDirect, both[0]);
    Keep(gameTunnel, both[1]);
  }
  return true;
}

void GainMeter::Run() {
  std::unique_lock lock(mutex);
  while (!ending) {
    if (!ends) {
      changed.wait(lock);
      continue;
    }
    const std::uint64_t tunnel = generation;
    const auto began = std::chrono::steady_clock::now();
    if (!Round(lock)) continue;
    changed.wait_until(lock, began + period, [&] { return ending || tunnel != generation; });
  }
}

}  // namespace zv
