// The processes of one user, in the service's network namespace, that may be
// the game, and the names they go by, as the tracker looks at them: /proc
// walked once, then read again only where the kernel reported a start (or a
// rename) or an end of a process that may be the game (and, for a few moments
// after a start, on each look: wine rewrites a game's first argument in its
// first moments).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <unordered_map>
#include <vector>

namespace zv {

class ProcessTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Visitor = std::function<void(std::uint32_t processId, std::string_view name)>;
  using NameFilter = std::function<bool(std::string_view name)>;

  // Whose processes it holds, and which names a walk keeps (none given: all); a
  // fresh table walks /proc at its next look.
  void Reset(std::uint32_t owner, NameFilter mayBeGame);
  void Forget() { walked = false; }
  // A start or end the kernel reported.
  void Note(std::uint32_t processId, bool started, Clock::time_point now);
  // Walks /proc first where it must, and says so in `walkedNow`; false when /proc cannot be read.
  bool Visit(const Visitor& visit, Clock::time_point now, bool& walkedNow);
  // Whether a name may still change: a look soon is worth it even without news.
  bool Settling(Clock::time_point now) const;
  std::vector<std::uint32_t> Ids() const;

 private:
  struct Entry {
    std::string name;
    Clock::time_point read;
  };
  bool Ours(const std::string& folder) const;
  void Read(std::uint32_t processId, Clock::time_point read);
  bool Walk(Clock::time_point now);

  std::uint32_t owner = 0;
  std::pair<dev_t, ino_t> network{};  // the network namespace the split marks sockets in
  NameFilter mayBeGame;
  std::unordered_map<std::uint32_t, Entry> entries;
  bool walked = false;
};

}  // namespace zv
