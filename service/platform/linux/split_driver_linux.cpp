#include "split_driver_linux.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "split_mark.skel.h"
#include "tunnel_table.h"
#include "utf16_text.h"
#include "wireguard_nt.h"

namespace zv {
namespace {

constexpr std::size_t kTaskNameLength = 16;

struct ProcessEventRecord {
  std::uint32_t process;
  std::uint32_t started;
};

int LastError(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace

std::string SplitDriver::CgroupMount() {
  std::ifstream mounts("/proc/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    if (fields >> device >> point >> type && type == "cgroup2") return point;
  }
  return {};
}

std::unique_ptr<SplitDriver> SplitDriver::Load(int& error) {
  std::string cgroup = CgroupMount();
  if (cgroup.empty()) {
    error = ENOENT;
    return nullptr;
  }
  errno = 0;
  split_mark* programs = split_mark::open();
  if (programs == nullptr) {
    error = LastError(ENOENT);
    return nullptr;
  }
  programs->rodata->split_mark = kSplitMark;
  if (const int result = split_mark::load(programs); result != 0) {
    error = -result;
    split_mark::destroy(programs);
    return nullptr;
  }
  return std::unique_ptr<SplitDriver>(new SplitDriver(programs, std::move(cgroup)));
}

SplitDriver::~SplitDriver() {
  Detach();
  split_mark::destroy(programs);
}

int SplitDriver::Attach() {
  Detach();
  const int folder = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  errno = 0;
  if (folder >= 0) {
    socketLink = bpf_program__attach_cgroup(programs->progs.mark_game_socket, folder);
    close(folder);
  }
  int error = socketLink == nullptr ? LastError(ENOENT) : 0;
  if (error == 0) startLink = bpf_program__attach(programs->progs.note_game_start);
  if (error == 0 && startLink == nullptr) error = LastError(EINVAL);
  if (error == 0) endLink = bpf_program__attach(programs->progs.note_game_end);
  if (error == 0 && endLink == nullptr) error = LastError(EINVAL);
  if (error == 0) {
    events = ring_buffer__new(
        bpf_map__fd(programs->maps.process_events),
        [](void* context, void* data, std::size_t size) {
          auto* self = static_cast<SplitDriver*>(context);
          if (size < sizeof(ProcessEventRecord) || self->handler == nullptr) return 0;
          ProcessEventRecord record;
          std::memcpy(&record, data, sizeof record);
          (*self->handler)(record.process, record.started != 0);
          return 0;
        },
        this, nullptr);
    if (events == nullptr) error = LastError(ENOMEM);
  }
  if (error == 0) {
    const auto name = AdapterNameUtf8();
    tunnelIndex = if_nametoindex(name.c_str());
    error = tunnelIndex == 0 ? ENODEV : AddSplitRouting(tunnelIndex);
    if (error != 0) tunnelIndex = 0;
  }
  if (error != 0) Detach();
  return error;
}

void SplitDriver::Detach() {
  if (tunnelIndex != 0) RemoveSplitRouting(tunnelIndex);
  tunnelIndex = 0;
  if (events != nullptr) ring_buffer__free(events);
  events = nullptr;
  for (bpf_link** link : {&socketLink, &startLink, &endLink}) {
    if (*link != nullptr) bpf_link__destroy(*link);
    *link = nullptr;
  }
}

void SplitDriver::SetGameNames(const std::vector<std::string>& names) {
  const int map = bpf_map__fd(programs->maps.game_names);
  char key[kTaskNameLength] = {};
  while (bpf_map_get_next_key(map, nullptr, key) == 0 && bpf_map_delete_elem(map, key) == 0) {
  }
  const std::uint8_t yes = 1;
  for (const std::string& name : names) {
    char taskName[kTaskNameLength] = {};
    std::memcpy(taskName, name.data(), std::min(name.size(), kTaskNameLength - 1));
    bpf_map_update_elem(map, taskName, &yes, BPF_ANY);
  }
}

void SplitDriver::SetGameProcesses(const std::vector<std::uint32_t>& ids) {
  const int map = bpf_map__fd(programs->maps.game_processes);
  const std::set<std::uint32_t> wanted(ids.begin(), ids.end());
  std::vector<std::uint32_t> gone;
  std::uint32_t key = 0, next = 0;
  for (bool first = true; bpf_map_get_next_key(map, first ? nullptr : &key, &next) == 0; first = false) {
    if (!wanted.contains(next)) gone.push_back(next);
    key = next;
  }
  for (const std::uint32_t id : gone) bpf_map_delete_elem(map, &id);
  const std::uint8_t yes = 1;
  for (const std::uint32_t id : wanted) bpf_map_update_elem(map, &id, &yes, BPF_ANY);
}

bool SplitDriver::TakeProcessEvents(const ProcessEvent& handle) {
  if (events == nullptr) return false;
  handler = &handle;
  ring_buffer__consume(events);
  handler = nullptr;
  const std::uint32_t zero = 0;
  std::uint64_t lost = 0;
  bpf_map_lookup_elem(bpf_map__fd(programs->maps.lost_events), &zero, &lost);
  const bool complete = lost == lostSeen;
  lostSeen = lost;
  return complete;
}

}  // namespace zv
