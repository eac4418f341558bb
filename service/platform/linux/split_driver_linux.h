// The split-routing "driver" on Linux: the kernel programs of
// bpf/split_mark.bpf.c and their maps, attached to the cgroup v2 hierarchy
// through BPF links that this process's descriptors own (a service that dies
// leaves nothing attached), and the rule that sends marked packets into the
// tunnel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct split_mark;
struct bpf_link;
struct ring_buffer;

namespace zv {

class SplitDriver {
 public:
  // Loads the programs, nothing attached yet. Nothing, with the errno, when the
  // kernel cannot load them or no cgroup v2 hierarchy is mounted (ENOENT).
  static std::unique_ptr<SplitDriver> Load(int& error);
  ~SplitDriver();
  SplitDriver(const SplitDriver&) = delete;
  SplitDriver& operator=(const SplitDriver&) = delete;

  // The programs on the hierarchy, the mark rule and the route through the
  // tunnel's interface; 0 or the errno, with nothing attached on failure.
  int Attach();
  void Detach();
  bool Attached() const { return socketLink != nullptr; }

  // Lower-case UTF-8 names; a task's name holds only the first 15 bytes of one.
  void SetGameNames(const std::vector<std::string>& names);
  void SetGameProcesses(const std::vector<std::uint32_t>& ids);  // replaces the listed ones

  using ProcessEvent = std::function<void(std::uint32_t process, bool started)>;
  // Hands over every program start and end since the last call, without
  // waiting; false when some were lost and the caller must look afresh.
  bool TakeProcessEvents(const ProcessEvent& handle);

  // Where the cgroup v2 hierarchy is mounted (/sys/fs/cgroup, or /sys/fs/cgroup/unified on
  // a hybrid layout); empty when it is not.
  static std::string CgroupMount();

 private:
  SplitDriver(split_mark* programs, std::string cgroup) : programs(programs), cgroup(std::move(cgroup)) {}

  split_mark* programs;
  std::string cgroup;
  bpf_link* socketLink = nullptr;
  bpf_link* startLink = nullptr;
  bpf_link* endLink = nullptr;
  ring_buffer* events = nullptr;
  unsigned tunnelIndex = 0;
  std::uint64_t lostSeen = 0;
  const ProcessEvent* handler = nullptr;  // the one being served by TakeProcessEvents
};

}  // namespace zv
