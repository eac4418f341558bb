// The seam between the control server and whatever holds the tunnel: the one
// acceleration state, and the requests that change it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net_types.h"

namespace zv {

using UpkeepClock = std::chrono::steady_clock;

enum class TunnelPhase {
  Idle,       // nothing held
  Up,         // held, built and on a path to the node
  Repairing,  // held, and being built again or waiting for a path; tried until a stop
};

// Everything every reply and the quality measurement are derived from.
struct TunnelState {
  TunnelPhase phase = TunnelPhase::Idle;
  UpkeepClock::time_point since{};  // when this phase began
  std::string reason;  // repairing: "adapter_gone", "rules_gone", "no_path", or the failed rebuild's own code
  std::uint64_t ups = 0;  // how often a tunnel came up: each one is measured afresh
  // What the peer's counters last said (while up): when bytes last came from
  // the node, and when the last handshake was.
  std::optional<UpkeepClock::time_point> heard, handshake;
  // Split routing began while the game already ran: what it had connected before stays direct.
  bool gameBeforeStart = false;
  TunnelEnds ends{};  // of the tunnel held, from its first coming up until the stop
};

class TunnelEngine {
 public:
  virtual ~TunnelEngine() = default;
  virtual const TunnelState& State() const = 0;
  // Only while idle; a failure leaves nothing half built and writes exactly one error code.
  // `owner` is the user who asked for it, where the platform tells users apart.
  virtual bool BringUp(std::string_view requestText, std::uint32_t owner, std::string& error) = 0;
  // Ends what is held, whatever its phase; false, leaving it as it is, only
  // when the adapter cannot be closed now.
  virtual bool TearDown(std::string& error) = 0;
  // Keeps a held tunnel working as the network changes under it; called on the
  // thread that owns the tunnel, with `news` when something changed. Answers
  // how long until it wants to be called again (nothing: only on news).
  virtual std::optional<std::chrono::milliseconds> Upkeep(bool news, UpkeepClock::time_point now) = 0;
};

}  // namespace zv
