#include "wireguard_tunnel.h"

#include <algorithm>
#include <system_error>

#include "allowed_ip.h"
#include "peer_settings.h"
#include "tunnel_routes.h"

namespace zv {
namespace {

std::optional<std::chrono::milliseconds> Until(std::optional<UpkeepClock::time_point> at, UpkeepClock::time_point now) {
  if (!at) return std::nullopt;
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(*at - now));
}

std::optional<std::chrono::milliseconds> Sooner(std::optional<std::chrono::milliseconds> a,
                                                std::optional<std::chrono::milliseconds> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// Before the next try, after `tries` of them: none at first, then 1, 2, 4 … s,
// never more than the longest wait.
std::chrono::milliseconds RepairWait(int tries) {
  if (tries == 0) return std::chrono::milliseconds(0);
  const auto doubled = std::chrono::seconds(1) * (1LL << std::min(tries - 1, 16));
  return std::min<std::chrono::milliseconds>(doubled, kLongestRepairWait);
}

}  // namespace

bool WireGuardTunnel::BringUp(std::string_view requestText, std::uint32_t caller, std::string& error) {
  // A start while one is held, in any phase, leaves it untouched.
  if (state.phase != TunnelPhase::Idle) {
    error = "tunnel_already_running";
    return false;
  }
  TunnelRequest parsed;
  if (!ReadTunnelRequest(requestText, parsed, error)) return false;
  if (parsed.splitRouting && !split.Accepts(parsed.gameProcesses)) {
    error = "smart_split_process_rules_too_many";  // refused whole rather than half served
    return false;
  }
  request = std::move(parsed);
  owner = caller;
  device.Resume();
  if (!Build(error)) {
    request = TunnelRequest{};
    return false;
  }
  repairTries = 0;
  // Told for the user's start only: a rebuild's own start finds the game running as a matter of course.
  state.gameBeforeStart = split.GameBeforeStart();
  ComeUp(clock());
  return true;
}

bool WireGuardTunnel::Build(std::string& error) {
  TunnelRecord building{true, {}, std::nullopt};
  std::optional<Route> owned;
  bool created = false;
  // Whatever a failed start made goes in the one order of a stop: the
  // adapter (with its address and routes), then the owned endpoint route.
  const auto abandon = [&] {
    if (created) {
      device.Abandon([&] {
        routes.LeaveTunnelTable();
        if (owned) routes.Remove(*owned);
      });
    }
    ForgetTunnelRecord(recordPath);
    return false;
  };
  // The intent comes first: a service killed at any later instant is undone by the next one.
  SaveTunnelRecord(recordPath, building);
  if (!device.Create(error)) return abandon();
  created = true;
  building.trace = device.Trace();
  SaveTunnelRecord(recordPath, building);

  TunnelLists lists;
  if (!BuildTunnelLists(request.splitRouting, request.allowedIps, lists)) {
    error = "invalid_allowed_ip";
    return abandon();
  }
  PeerSettings settings;
  if (!BuildPeerSettings(request, lists.peer, settings, error) || !device.Configure(settings, error)) return abandon();
  const NoteOwnedRoute noteBuilding = [&](const std::optional<Route>& route) {
    building.endpointRoute = route;
    SaveTunnelRecord(recordPath, building);
  };
  if (!AddEndpointRoute(routes, settings.endpoint, owned, noteBuilding, error)) return abandon();
  interfaceId = device.InterfaceId();
  // A failed configuration is never raised; its own code stands.
  if (!ConfigureAddressAndRoutes(routes, interfaceId, request.assignedIp, lists.routes, error) ||
      !device.Raise(error)) {
    return abandon();
  }
  if (request.splitRouting && !split.Start(interfaceId, request.gameProcesses, owner, error)) return abandon();
  // Full routing singles out no process; the game's traffic is only watched, for the measuring.
  if (!request.splitRouting) split.Watch(request.gameProcesses, owner);
  builtEnds = {settings.endpoint, ReadAssignedAddress(request.assignedIp).value_or(IpPrefix{}).address,
               request.splitRouting};

  record = building;
  pin.emplace(routes, settings.endpoint, interfaceId, owned, [this](const std::optional<Route>& route) {
    record.endpointRoute = route;
    SaveTunnelRecord(recordPath, record);
  });
  built = true;
  return true;
}

bool WireGuardTunnel::ReleaseBuilt(std::string& error) {
  if (!built) return true;
  if (!device.Release([&] {
        routes.LeaveTunnelTable();
        pin->Remove();
      }, error)) {
    return false;
  }
  ForgetTunnelRecord(recordPath);
  pin.reset();
  built = false;
  return true;
}

bool WireGuardTunnel::TearDown(std::string& error) {
  EndWork();  // a rebuild under way ends here, failed, with nothing of it left
  split.Stop();  // whether or not a tunnel runs
  if (!ReleaseBuilt(error)) return false;  // left running rather than half closed
  request = TunnelRequest{};  // its key is wiped with it
  state = TunnelState{TunnelPhase::Idle, clock(), {}, state.ups, {}, {}};
  newsDue.reset(), nextTry.reset(), nextSample.reset();
  return true;
}

void WireGuardTunnel::ComeUp(UpkeepClock::time_point now) {
  state = TunnelState{TunnelPhase::Up, now, {}, state.ups + 1, {}, {}, state.gameBeforeStart, builtEnds};
  nextTry.reset();
  nextSample = now + kActivityPeriod;
  lastReceived = 0;
}

void WireGuardTunnel::Repair(UpkeepClock::time_point now, std::string reason) {
  if (state.phase == TunnelPhase::Up) {
    // A tunnel that held a while starts its repair afresh; one that broke again soon goes on waiting longer.
    if (now - state.since >= kRepairWindow) repairTries = 0;
    state.since = now;
  }
  state.phase = TunnelPhase::Repairing;
  state.reason = std::move(reason);
  state.heard.reset(), state.handshake.reset();
  nextSample.reset();
}

WireGuardTunnel::~WireGuardTunnel() {
  EndWork();
  {
    const std::lock_guard guard(workLock);
    quit = true;
  }
  workChanged.notify_all();
  if (worker.joinable()) worker.join();
}

void WireGuardTunnel::RunWorker() {
  std::unique_lock lock(workLock);
  for (;;) {
    workChanged.wait(lock, [&] { return quit || task; });
    if (!task) return;
    const std::function<void()> taken = std::move(task);
    task = nullptr;
    lock.unlock();
    taken();
    lock.lock();
    workDone = true;
    workChanged.notify_all();
  }
}

void WireGuardTunnel::BeginWork(Work kind, UpkeepClock::time_point now) {
  std::function<void()> job;
  if (kind == Work::Rebuild) {
    ++repairTries;
    lastTry = now;
    device.Resume();
    job = [this] {
      split.Stop();
      rebuildError.clear();
      rebuilt = ReleaseBuilt(rebuildError) && Build(rebuildError);
    };
  } else {
    nextSample = now + kActivityPeriod;
    job = [this] { sampled = device.Activity(); };
  }
  work = kind;
  workDone = false;
  if (apart && !worker.joinable()) {
    try {
      worker = std::thread([this] { RunWorker(); });
    } catch (const std::system_error&) {
      // No thread now: the work runs here this once.
    }
  }
  if (!worker.joinable()) {
    job();
    workDone = true;
    return;
  }
  {
    const std::lock_guard guard(workLock);
    task = std::move(job);
  }
  workChanged.notify_all();
}

void WireGuardTunnel::TakeWorkOutcome(UpkeepClock::time_point now) {
  if (work == Work::None || !workDone) return;
  const Work done = work;
  work = Work::None;
  if (done == Work::Rebuild) {
    if (rebuilt) return ComeUp(now);
    if (!rebuildError.empty()) state.reason = rebuildError;
    nextTry = now + RepairWait(repairTries);
    return;
  }
  if (state.phase != TunnelPhase::Up || !sampled) return;  // unread, nothing is known: a hung helper is no sign of the node
  if (sampled->receivedBytes != lastReceived) state.heard = now;
  lastReceived = sampled->receivedBytes;
  if (sampled->sinceHandshake) state.handshake = now - *sampled->sinceHandshake;
  else state.handshake.reset();
}

void WireGuardTunnel::EndWork() {
  if (work == Work::None) return;
  device.Interrupt();
  std::unique_lock lock(workLock);
  workChanged.wait(lock, [&] { return workDone.load(); });
  work = Work::None;
}

const char* WireGuardTunnel::Lost() {
  if (!device.Present()) return "adapter_gone";
  if (!routes.TunnelTableInUse() || !split.Intact()) return "rules_gone";
  return nullptr;
}

std::optional<std::chrono::milliseconds> WireGuardTunnel::Upkeep(bool news, UpkeepClock::time_point now) {
  if (state.phase == TunnelPhase::Idle) return std::nullopt;
  if (news && !newsDue) newsDue = now + kUpkeepSettle;
  TakeWorkOutcome(now);
  // Nothing of the tunnel is touched while the work apart may be touching it.
  if (WorkUnderWay()) return kWorkPoll;

  if (newsDue && now >= *newsDue) {
    newsDue.reset();
    if (const char* lost = built ? Lost() : nullptr) {
      Repair(now, lost);
      nextTry = std::max(now, lastTry + RepairWait(repairTries));  // tries stay apart, also across losses
    } else if (built) {
      if (!pin->Follow()) Repair(now, "no_path");
      else if (state.phase == TunnelPhase::Repairing && !nextTry) ComeUp(now);  // a path came back
    }
  }
  if (state.phase == TunnelPhase::Repairing && nextTry && now >= *nextTry) {
    nextTry.reset();
    BeginWork(Work::Rebuild, now);
  } else if (state.phase == TunnelPhase::Up && nextSample && now >= *nextSample) {
    BeginWork(Work::Sample, now);
  }
  TakeWorkOutcome(now);  // work run in line is done already
  if (WorkUnderWay()) return kWorkPoll;
  return Sooner(Sooner(Until(newsDue, now), Until(nextTry, now)), Until(nextSample, now));
}

bool WireGuardTunnel::RecoverStaleState() {
  const auto stale = TakeTunnelRecord(recordPath);
  if (!stale) return false;
  split.Stop();
  routes.LeaveTunnelTable();
  if (stale->adapter) device.RemoveStale(stale->trace);
  if (stale->endpointRoute) routes.Remove(*stale->endpointRoute);
  return true;
}

}  // namespace zv
