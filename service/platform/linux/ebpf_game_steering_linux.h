// Split routing on Linux: the kernel programs of bpf/split_mark.bpf.c mark
// the game's sockets, and the split's rule sends marked packets into the
// tunnel (routing_linux.h). Their attachments are BPF links owned by this
// process's descriptors, so a service that dies leaves nothing attached; its
// successor's recovery removes the rule. A kernel or a mount that cannot run
// the programs refuses the start, as an absent driver does on Windows.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "game_steering.h"
#include "process_table_linux.h"
#include "routing_linux.h"

struct split_mark;
struct bpf_link;
struct ring_buffer;

namespace zv {

class EbpfGameSteering final : public GameSteering {
 public:
  EbpfGameSteering();
  ~EbpfGameSteering() override;
  EbpfGameSteering(const EbpfGameSteering&) = delete;
  EbpfGameSteering& operator=(const EbpfGameSteering&) = delete;

  bool Start(const SteeringTarget& target, std::string& error) override;
  void Stop() override;
  bool Intact() override { return watching || SplitRoutingInUse(directRanges); }
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override;
  bool ForEachProcess(const ProcessVisitor& visit) override;
  void AwaitChange(std::chrono::milliseconds cadence) override;
  void Wake() override;
  std::vector<TrafficRecord> GameTraffic() override;

  // Where the cgroup v2 hierarchy is mounted (/sys/fs/cgroup, or
  // /sys/fs/cgroup/unified on a hybrid layout); empty when it is not.
  static std::string CgroupMount();
  // A name as the kernel compares it: its first 15 bytes, A to Z lowered,
  // every byte from 0x80 up taken as 0x80, then zeros. Two names that fold
  // alike have the same key, unless a fold turns a letter into one of another
  // length in UTF-8 (the Kelvin sign into "k", "İ" into "i"): such a name is
  // found only while the process table walks /proc.
  using NameKey = std::array<char, 16>;
  static NameKey KeyOf(std::string_view name);

 private:
  int Attach(const SteeringTarget& target);
  void TakeProcessEvents();

  split_mark* programs = nullptr;
  bpf_link* links[6] = {};  // the sockets, their traffic, then the four tracepoints
  ring_buffer* events = nullptr;
  int wakeUp = -1;
  std::uint64_t lostSeen = 0;
  ProcessTable table;
  std::unordered_set<std::string> keys;  // of the game's names
  std::size_t directRanges = 0;  // the split's throw routes
  bool watching = false;  // started only to watch: no rules of its own
  std::mutex trafficLock;  // GameTraffic is asked from another thread
  int trafficMap = -1;     // the game's traffic, a descriptor of our own
  std::string reversePathFilter;  // the tunnel interface's own, while the split runs loose
};

}  // namespace zv
