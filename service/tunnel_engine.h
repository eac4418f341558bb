// The seam between the control server and whatever brings tunnels up.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace zv {

using UpkeepClock = std::chrono::steady_clock;

class TunnelEngine {
 public:
  virtual ~TunnelEngine() = default;

  // True while an adapter exists, whether or not the tunnel still carries traffic.
  virtual bool Running() const = 0;
  // Running, or being built again after it vanished: still what was asked for.
  virtual bool Held() const { return Running(); }
  // Both write exactly one error code on failure and leave nothing half built.
  virtual bool BringUp(const std::string& requestText, std::string& error) = 0;
  virtual bool TearDown(std::string& error) = 0;
  // Keeps a running tunnel working as the network changes under it; called on
  // the thread that owns the tunnel, with `news` when something changed.
  // Answers how long until it wants to be called again (nothing: only on news).
  virtual std::optional<std::chrono::milliseconds> Upkeep(bool news, UpkeepClock::time_point now) {
    (void)news, (void)now;
    return std::nullopt;
  }
};

// Stands in where no tunnel component is shipped yet: every start fails the way
// a missing wireguard library does, and there is never anything to take down.
class MissingTunnelEngine final : public TunnelEngine {
 public:
  bool Running() const override { return false; }
  bool BringUp(const std::string&, std::string& error) override {
    error = "embedded_tunnel_component_missing";
    return false;
  }
  bool TearDown(std::string&) override { return true; }
};

}  // namespace zv
