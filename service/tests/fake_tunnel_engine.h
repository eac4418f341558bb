// A tunnel engine whose state the test sets, recording what the control
// server asks of it; free of any test framework, for the fuzz targets too.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tunnel_engine.h"

namespace zv::test {

class FakeTunnelEngine final : public TunnelEngine {
 public:
  const TunnelState& State() const override { return state; }
  bool BringUp(std::string_view requestText, std::uint32_t owner, std::string& error) override {
    bringUps.emplace_back(std::string(requestText) + " by " + std::to_string(owner));
    std::this_thread::sleep_for(bringUpTime);
    if (state.phase != TunnelPhase::Idle) error = "tunnel_already_running";
    else if (!bringUpError.empty()) error = bringUpError;
    else state = {TunnelPhase::Up, UpkeepClock::now(), {}, state.ups + 1, {}, {}};
    return error.empty();
  }
  bool TearDown(std::string& error) override {
    if (!tearDownError.empty()) error = tearDownError;
    else state = {TunnelPhase::Idle, UpkeepClock::now(), {}, state.ups, {}, {}};
    return error.empty();
  }
  std::optional<std::chrono::milliseconds> Upkeep(bool, UpkeepClock::time_point) override {
    ++upkeeps;
    return upkeepEvery;
  }

  TunnelState state;
  std::string bringUpError, tearDownError;  // empty: the call succeeds
  std::chrono::milliseconds bringUpTime{0};  // a slow name resolution, say
  std::vector<std::string> bringUps;
  std::optional<std::chrono::milliseconds> upkeepEvery;  // when the upkeep asks to run again
  std::atomic<int> upkeeps{0};
};

}  // namespace zv::test
