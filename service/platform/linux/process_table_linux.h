// The processes of one user and the names they go by, as the tracker looks at
// them: /proc walked once, then read again only where the kernel reported a
// program's start or end (and, for a few moments after a start, on each look:
// wine rewrites a game's first argument in its first moments).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zv {

class ProcessTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Visitor = std::function<void(std::uint32_t processId, std::u16string_view name)>;

  // Whose processes it holds; a fresh table walks /proc at its next look.
  void Reset(std::uint32_t owner);
  void Forget() { walked = false; }
  // A start or end the kernel reported.
  void Note(std::uint32_t processId, bool started, Clock::time_point now);
  // Walks /proc first where it must; false when /proc cannot be read.
  bool Visit(const Visitor& visit, Clock::time_point now);
  // Whether a name may still change: a look soon is worth it even without news.
  bool Settling(Clock::time_point now) const;

 private:
  struct Entry {
    std::u16string name;
    Clock::time_point read;
  };
  void Read(std::uint32_t processId, Clock::time_point read);
  bool Walk(Clock::time_point now);

  std::uint32_t owner = 0;
  std::unordered_map<std::uint32_t, Entry> entries;
  bool walked = false;
};

}  // namespace zv
