// The seam between the control server and whatever brings tunnels up.
#pragma once

#include <string>

namespace zv {

class TunnelEngine {
 public:
  virtual ~TunnelEngine() = default;

  // True while an adapter exists, whether or not the tunnel still carries traffic.
  virtual bool Running() const = 0;
  // Both write exactly one error code on failure and leave nothing half built.
  virtual bool BringUp(const std::string& requestText, std::string& error) = 0;
  virtual bool TearDown(std::string& error) = 0;
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
