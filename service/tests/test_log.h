// The calls the fakes below record, in one order across them, and the calls a
// test scripts to fail.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace zv::test {

using Calls = std::vector<std::string>;

class TestLog {
 public:
  // The nth (1-based; 0: every) call named `call` answers `result`; the last
  // one given wins, so a result of 0 heals what an earlier one broke.
  void Fail(const std::string& call, std::uint32_t result, int nth = 0) { faults.emplace_back(call, nth, result); }
  // Logs `call detail`; gives the result it is scripted to answer, or 0.
  std::uint32_t Record(const std::string& call, const std::string& detail = {}) {
    const std::lock_guard guard(lock);
    calls.push_back(detail.empty() ? call : call + " " + detail);
    const int made = ++counts[call];
    std::uint32_t answer = 0;
    for (const auto& [failing, nth, result] : faults) {
      if (failing == call && (nth == 0 || nth == made)) answer = result;
    }
    return answer;
  }
  Calls Since(std::size_t from) {
    const std::lock_guard guard(lock);
    return Calls(calls.begin() + static_cast<long>(from), calls.end());
  }
  std::size_t Size() {
    const std::lock_guard guard(lock);
    return calls.size();
  }

 private:
  std::mutex lock;
  Calls calls;
  std::vector<std::tuple<std::string, int, std::uint32_t>> faults;  // call, nth, result
  std::map<std::string, int> counts;
};

}  // namespace zv::test
