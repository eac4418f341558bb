#include "ebpf_game_steering_linux.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "routing_linux.h"
#include "split_mark.skel.h"

namespace zv {
namespace {

constexpr std::uint8_t kListed = 1;  // the map's entries that the tracker's lists own
constexpr std::uint8_t kMaybe = 0, kSure = 1;  // a name the tracker must judge, or one the kernel knows whole

struct ProcessEventRecord {
  std::uint32_t process;
  std::uint32_t started;
};

int LastError(int fallback) { return errno != 0 ? errno : fallback; }

// The cookie of the service's own network namespace, or 0 with errno telling why
// (a kernel before 5.14 cannot tell it).
std::uint64_t OwnNetworkNamespace() {
  std::uint64_t cookie = 0;
  socklen_t size = sizeof cookie;
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return 0;
  const int failure = getsockopt(probe, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &size) == 0 ? 0 : errno;
  close(probe);
  errno = failure;
  return cookie;
}

// The tunnel's reverse-path filter: a game's reply comes in on the tunnel while
// the main table routes its source elsewhere, which a strict filter drops.
std::string ReversePathFilterPath() { return std::string("/proc/sys/net/ipv4/conf/") + kAdapterName + "/rp_filter"; }

std::string ReadSetting(const std::string& path) {
  std::ifstream file(path);
  std::string value;
  std::getline(file, value);
  return value;
}

void WriteSetting(const std::string& path, const std::string& value) { std::ofstream(path) << value << '\n'; }

std::string Code(int error) { return "smart_split_driver_unavailable_" + std::to_string(error); }

}  // namespace

EbpfGameSteering::EbpfGameSteering() : wakeUp(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EbpfGameSteering::~EbpfGameSteering() {
  Stop();
  close(wakeUp);
}

EbpfGameSteering::NameKey EbpfGameSteering::KeyOf(std::string_view name) {
  NameKey key{};
  for (std::size_t i = 0; i < std::min(name.size(), key.size() - 1); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    key[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c >= 0x80 ? 0x80 : c);
  }
  return key;
}

std::string EbpfGameSteering::CgroupMount() {
  std::ifstream mounts("/proc/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    if (fields >> device >> point >> type && type == "cgroup2") return point;
  }
  return {};
}

bool EbpfGameSteering::Start(const SteeringTarget& target, std::string& error) {
  Stop();
  errno = 0;
  // Without it the programs would mark no socket at all: a split that steers nothing.
  const std::uint64_t namespaceCookie = OwnNetworkNamespace();
  if (namespaceCookie == 0) {
    error = Code(LastError(ENOPROTOOPT));
    return false;
  }
  programs = split_mark::open();
  if (programs == nullptr) {
    error = Code(LastError(ENOENT));
    return false;
  }
  programs->rodata->split_mark = kSplitMark;
  programs->rodata->owner_uid = target.owner;
  programs->rodata->netns_cookie = namespaceCookie;
  bpf_map__set_max_entries(programs->maps.game_names, kMaxGameNames);
  if (const int result = split_mark::load(programs); result != 0) {
    error = Code(-result);
    Stop();
    return false;
  }
  const int map = bpf_map__fd(programs->maps.game_names);
  for (const std::string& name : target.gameNames) {
    const NameKey key = KeyOf(name);
    // The key holds the whole name, and ASCII folds alike everywhere: the kernel can tell on its own.
    const bool whole = name.size() < key.size() - 1 &&
                       std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::uint8_t kind = whole ? kSure : kMaybe;
    bpf_map_update_elem(map, key.data(), &kind, BPF_ANY);
    keys.emplace(key.data(), key.size());
  }
  if (const int result = Attach(target); result != 0) {
    error = Code(result);
    Stop();
    return false;
  }
  {
    const std::lock_guard guard(trafficLock);
    trafficMap = fcntl(bpf_map__fd(programs->maps.game_traffic), F_DUPFD_CLOEXEC, 0);
  }
  watching = target.watchOnly;
  if (!watching) {
    if (const int result = AddSplitRouting(static_cast<unsigned>(target.tunnelInterface), target.direct); result != 0) {
      error = "configure_route_failed_" + std::to_string(result);
      Stop();
      return false;
    }
    directRanges = target.direct.size();
    reversePathFilter = ReadSetting(ReversePathFilterPath());
    if (!reversePathFilter.empty()) WriteSetting(ReversePathFilterPath(), "2");  // loose
  }
  table.Reset(target.owner, [this](std::string_view name) {
    const NameKey key = KeyOf(name);
    return keys.contains(std::string(key.data(), key.size()));
  });
  return true;
}

int EbpfGameSteering::Attach(const SteeringTarget&) {
  const std::string cgroup = CgroupMount();
  if (cgroup.empty()) return ENOENT;
  const int folder = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  errno = 0;
  if (folder >= 0) {
    links[0] = bpf_program__attach_cgroup(programs->progs.mark_game_socket, folder);
    if (links[0] != nullptr) links[1] = bpf_program__attach_cgroup(programs->progs.note_game_traffic, folder);
    close(folder);
  }
  if (links[0] == nullptr || links[1] == nullptr) return LastError(ENOENT);
  bpf_program* const traces[] = {programs->progs.note_game_start, programs->progs.note_game_rename,
                                 programs->progs.note_game_child, programs->progs.note_game_end};
  for (int i = 0; i < 4; ++i) {
    if ((links[i + 2] = bpf_program__attach(traces[i])) == nullptr) return LastError(EINVAL);
  }
  events = ring_buffer__new(
      bpf_map__fd(programs->maps.process_events),
      [](void* context, void* data, std::size_t size) {
        auto* self = static_cast<EbpfGameSteering*>(context);
        if (size < sizeof(ProcessEventRecord)) return 0;
        ProcessEventRecord record;
        std::memcpy(&record, data, sizeof record);
        self->table.Note(record.process, record.started != 0, ProcessTable::Clock::now());
        return 0;
      },
      this, nullptr);
  if (events == nullptr) return LastError(ENOMEM);
  // The tracker's pause waits on the ring's own set, the wake-up in it.
  epoll_event wake{EPOLLIN, {.u64 = ~std::uint64_t{0}}};
  return epoll_ctl(ring_buffer__epoll_fd(events), EPOLL_CTL_ADD, wakeUp, &wake) == 0 ? 0 : errno;
}

void EbpfGameSteering::Stop() {
  {
    const std::lock_guard guard(trafficLock);
    if (trafficMap >= 0) close(trafficMap);
    trafficMap = -1;
  }
  watching = false;
  RemoveSplitRouting();  // also what a killed service left
  if (!reversePathFilter.empty() && if_nametoindex(kAdapterName) != 0) {
    WriteSetting(ReversePathFilterPath(), reversePathFilter);
  }
  reversePathFilter.clear();
  if (events != nullptr) ring_buffer__free(events);
  events = nullptr;
  for (bpf_link*& link : links) {
    if (link != nullptr) bpf_link__destroy(link);
    link = nullptr;
  }
  if (programs != nullptr) split_mark::destroy(programs);
  programs = nullptr;
  lostSeen = 0;
  keys.clear();
}

void EbpfGameSteering::SetGameProcesses(const std::vector<std::uint32_t>& ids) {
  if (programs == nullptr) return;
  const int map = bpf_map__fd(programs->maps.game_processes);
  const std::set<std::uint32_t> wanted(ids.begin(), ids.end());
  std::vector<std::uint32_t> gone;
  std::uint32_t key = 0, next = 0;
  for (bool first = true; bpf_map_get_next_key(map, first ? nullptr : &key, &next) == 0; first = false) {
    std::uint8_t value = 0;
    // The kernel's own entries (a game's child, a start under a game's name) end with their process.
    if (!wanted.contains(next) && bpf_map_lookup_elem(map, &next, &value) == 0 && value == kListed) gone.push_back(next);
    key = next;
  }
  for (const std::uint32_t id : gone) bpf_map_delete_elem(map, &id);
  for (const std::uint32_t id : wanted) bpf_map_update_elem(map, &id, &kListed, BPF_NOEXIST);
}

void EbpfGameSteering::TakeProcessEvents() {
  if (events == nullptr) return;
  ring_buffer__consume(events);
  const std::uint32_t zero = 0;
  std::uint64_t lost = 0;
  bpf_map_lookup_elem(bpf_map__fd(programs->maps.lost_events), &zero, &lost);
  if (lost != lostSeen) table.Forget();  // some reports were lost: the next look walks /proc
  lostSeen = lost;
}

bool EbpfGameSteering::ForEachProcess(const ProcessVisitor& visit) {
  if (events == nullptr) table.Forget();  // nothing reports changes: every look walks /proc
  TakeProcessEvents();
  bool walked = false;
  const bool looked = table.Visit(visit, ProcessTable::Clock::now(), walked);
  // What a walk found may be the game: the kernel reports its end, as it does for those it reported.
  if (walked && programs != nullptr) {
    const std::uint8_t yes = 1;
    for (const std::uint32_t id : table.Ids()) bpf_map_update_elem(bpf_map__fd(programs->maps.reported), &id, &yes, BPF_ANY);
  }
  return looked;
}

void EbpfGameSteering::AwaitChange(std::chrono::milliseconds cadence) {
  const int timeout = table.Settling(ProcessTable::Clock::now()) ? static_cast<int>(cadence.count()) : -1;
  epoll_event ready[2];
  if (events == nullptr) return;  // nothing reports, and nothing is started to wait for
  if (epoll_wait(ring_buffer__epoll_fd(events), ready, 2, timeout) > 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read_ = read(wakeUp, &count, sizeof count);
  }
}

void EbpfGameSteering::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wakeUp, &one, sizeof one);
}

std::vector<TrafficRecord> EbpfGameSteering::GameTraffic() {
  struct Key {  // as the kernel program writes it
    std::uint32_t address;
    std::uint16_t port;
    std::uint8_t protocol;
    std::uint8_t unused;
  };
  std::vector<TrafficRecord> records;
  const std::lock_guard guard(trafficLock);
  Key key{}, next{};
  for (bool first = true; trafficMap >= 0 && bpf_map_get_next_key(trafficMap, first ? nullptr : &key, &next) == 0;
       first = false) {
    std::uint64_t last = 0;
    if (bpf_map_lookup_elem(trafficMap, &next, &last) == 0) {
      TrafficRecord record{{}, next.protocol, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(last))};
      std::memcpy(record.destination.Bytes(), &next.address, 4);
      record.destination.port = next.port;
      records.push_back(record);
    }
    key = next;
  }
  return records;
}

}  // namespace zv
