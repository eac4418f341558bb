// A scriptable tunnel engine that records what the control server asks of it.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tunnel_engine.h"

namespace zv::test {

class FakeTunnelEngine final : public TunnelEngine {
 public:
  bool Running() const override { return running; }
  bool Held() const override { return running || rebuilding; }
  bool BringUp(const std::string& requestText, std::string& error) override {
    bringUpRequests.push_back(requestText);
    std::this_thread::sleep_for(bringUpTime);
    return Finish(bringUpError, error, true);
  }
  bool TearDown(std::string& error) override { return Finish(tearDownError, error, false); }

  std::string bringUpError, tearDownError;  // empty: the call succeeds
  std::chrono::milliseconds bringUpTime{0};  // a slow name resolution, say
  std::vector<std::string> bringUpRequests;
  bool running = false;
  bool rebuilding = false;  // its adapter vanished and is being built again

 private:
  bool Finish(const std::string& scripted, std::string& error, bool runningAfter) {
    if (!scripted.empty()) error = scripted;
    else running = runningAfter;
    return scripted.empty();
  }
};

}  // namespace zv::test
