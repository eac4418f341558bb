// Split routing on Linux: the kernel programs of bpf/split_mark.bpf.c mark
// the game's sockets, and the split's rule sends marked packets into the
// tunnel (routing_linux.h). Their attachments are BPF links owned by this
// process's descriptors, so a service that dies leaves nothing attached; its
// successor's recovery removes the rule. A kernel or a mount that cannot run
// the programs refuses the start, as an absent driver does on Windows.
#pragma once

#include <string>

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

  // As many as the kernel's map of names holds.
  std::size_t NameLimit() const override { return 128; }
  bool Start(const SteeringTarget& target, std::string& error) override;
  void Stop() override;
  bool Intact() override { return SplitRoutingInUse(directRanges); }
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override;
  // The kernel steers every flow itself: none ever waits for an answer.
  bool TakePendingFlow(PendingFlow&) override { return false; }
  void AnswerFlow(const PendingFlow&, bool) override {}
  bool ForEachProcess(const ProcessVisitor& visit) override;
  void AwaitChange(std::chrono::milliseconds cadence) override;
  void Wake() override;

  // Where the cgroup v2 hierarchy is mounted (/sys/fs/cgroup, or
  // /sys/fs/cgroup/unified on a hybrid layout); empty when it is not.
  static std::string CgroupMount();

 private:
  int Attach(const SteeringTarget& target);
  void TakeProcessEvents();

  split_mark* programs = nullptr;
  bpf_link* links[4] = {};
  ring_buffer* events = nullptr;
  int waits = -1;  // an epoll set: the ring's reports and the wake-up
  int wakeUp = -1;
  std::uint64_t lostSeen = 0;
  ProcessTable table;
  std::size_t directRanges = 0;  // the split's throw routes
  std::string reversePathFilter;  // the tunnel interface's own, while the split runs loose
};

}  // namespace zv
