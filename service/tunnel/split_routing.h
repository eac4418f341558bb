// The seam to the per-process split routing that the tunnel starts last and stops first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zv {

class SplitRouting {
 public:
  virtual ~SplitRouting() = default;
  // On failure it is idle again and `error` holds its code.
  virtual bool Start(std::uint64_t luid, const std::vector<std::string>& gameProcesses, std::string& error) = 0;
  // Safe in any state, any number of times.
  virtual void Stop() = 0;
};

}  // namespace zv
