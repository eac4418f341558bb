// A scriptable tunnel engine that records what the control server asks of it.
#pragma once

#include <string>
#include <vector>

#include "tunnel_engine.h"

namespace zv::test {

class FakeTunnelEngine final : public TunnelEngine {
 public:
  bool Running() const override { return running; }
  bool BringUp(const std::string& requestText, std::string& error) override {
    bringUpRequests.push_back(requestText);
    if (!bringUpError.empty()) {
      error = bringUpError;
      return false;
    }
    running = true;
    return true;
  }
  bool TearDown(std::string& error) override {
    ++tearDowns;
    if (!tearDownError.empty()) {
      error = tearDownError;
      return false;
    }
    running = false;
    return true;
  }

  std::string bringUpError;   // empty: the next start succeeds
  std::string tearDownError;  // empty: the next stop succeeds
  bool running = false;
  std::vector<std::string> bringUpRequests;
  int tearDowns = 0;
};

}  // namespace zv::test
