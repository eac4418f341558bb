// The tunnel engine: one start request becomes a configured adapter with its
// endpoint route, address and routes, raised, and in split routing the split
// started; any failure undoes all of it. While the user holds it, it is kept
// working: the endpoint route follows the best path, and a tunnel that broke
// (its adapter gone, say, with a dead wireguard-go helper) is built again from
// the same request, with a back-off, until the user stops it. What may be slow
// in that (a rebuild, a look at the peer's counters) runs on a thread of its
// own, so the thread that answers requests never waits for it; a stop ends it
// at once. That thread lives as long as the engine: a helper process dies
// with the thread that started it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "endpoint_pin.h"
#include "route_table.h"
#include "smart_split_engine.h"
#include "tunnel_device.h"
#include "tunnel_engine.h"
#include "tunnel_record.h"
#include "tunnel_request.h"

namespace zv {

// News comes in bursts (a link going down removes routes one by one): it is
// acted on once, this long after the first of a burst, so news that keeps
// coming (a LAN flooding router advertisements) is acted on ten times a second at most.
inline constexpr std::chrono::milliseconds kUpkeepSettle{100};
// How often the peer's counters are read while the tunnel is up.
inline constexpr std::chrono::seconds kActivityPeriod{1};
// A broken tunnel is built again at once, then after 1, 2, 4 … s, at most this
// far apart; a tunnel that broke again within the window goes on from there.
inline constexpr std::chrono::seconds kLongestRepairWait{30};
inline constexpr std::chrono::seconds kRepairWindow{60};
// How often the owner looks whether the work apart has ended.
inline constexpr std::chrono::milliseconds kWorkPoll{20};

class WireGuardTunnel final : public TunnelEngine {
 public:
  using Clock = std::function<UpkeepClock::time_point()>;
  // `record` is where what it builds is written down; nothing when empty.
  // `apart`: slow work on a thread of its own; tests over instant fakes run it in line.
  WireGuardTunnel(TunnelDevice& device, RouteTable& routes, SmartSplitEngine& split, std::filesystem::path record,
                  Clock clock = UpkeepClock::now, bool apart = true)
      : device(device), routes(routes), split(split), recordPath(std::move(record)), clock(std::move(clock)),
        apart(apart) {}
  ~WireGuardTunnel() override;

  const TunnelState& State() const override { return state; }
  bool BringUp(std::string_view requestText, std::uint32_t owner, std::string& error) override;
  bool TearDown(std::string& error) override;
  std::optional<std::chrono::milliseconds> Upkeep(bool news, UpkeepClock::time_point now) override;
  // Before the first start: what a killed earlier instance recorded is removed.
  bool RecoverStaleState();

 private:
  // The tunnel from `request`, in its fixed order; on failure nothing of it stays.
  bool Build(std::string& error);
  // Takes apart what is built; false, touching nothing, when the adapter cannot be closed now.
  bool ReleaseBuilt(std::string& error);
  void Repair(UpkeepClock::time_point now, std::string reason);
  // What took a built tunnel apart under it ("adapter_gone", "rules_gone"), or nothing.
  const char* Lost();
  void ComeUp(UpkeepClock::time_point now);
  // The work apart: one at a time, its outcome taken in on the owner thread.
  enum class Work { None, Rebuild, Sample };
  void BeginWork(Work kind, UpkeepClock::time_point now);
  bool WorkUnderWay() const { return work != Work::None && !workDone; }
  void TakeWorkOutcome(UpkeepClock::time_point now);
  void EndWork();  // interrupts what runs and waits for it
  void RunWorker();

  TunnelDevice& device;
  RouteTable& routes;
  SmartSplitEngine& split;
  std::filesystem::path recordPath;
  Clock clock;

  TunnelState state;
  TunnelRequest request;  // held for the tunnel's life, to build it again
  std::uint32_t owner = 0;
  bool built = false;  // an adapter exists, with its routes
  std::uint64_t interfaceId = 0;
  std::optional<EndpointPin> pin;
  TunnelRecord record;  // as last saved, for the tunnel that is built
  TunnelEnds builtEnds;  // of the last build, taken into the state as it comes up

  std::optional<UpkeepClock::time_point> newsDue, nextTry, nextSample;
  UpkeepClock::time_point lastTry{};
  int repairTries = 0;  // in this repair, or in repairs close together
  std::uint64_t lastReceived = 0;

  bool apart;
  Work work = Work::None;
  std::atomic<bool> workDone{false};
  std::mutex workLock;
  std::condition_variable workChanged;
  std::function<void()> task;  // handed to the worker, taken by it
  bool quit = false;
  std::thread worker;
  bool rebuilt = false;                // a rebuild's outcome
  std::string rebuildError;
  std::optional<PeerActivity> sampled;  // a sample's outcome
};

}  // namespace zv
