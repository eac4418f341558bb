// Split routing on Linux, in the kernel: every socket the game creates carries
// the mark that routes it into the tunnel. Only the user who asked for the
// acceleration, and only sockets of the service's own network namespace: a
// program of another user, or in a container, never leaves through that
// user's tunnel. A process counts as the game when the service listed it,
// when its name is one of the game's names the moment it starts (or, for a
// thread, creates a socket), or when a game process made it: a game's very
// first connection is steered before the service's tracker has seen it.
#include <linux/bpf.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#define NAME_LENGTH 16  // a task's name: 15 bytes and the terminating zero
#define LISTED 1        // listed by the service's tracker
#define OWN 2           // found by the kernel itself: by name, or a game's child

// Set by the service before loading.
const volatile __u32 split_mark = 0;
const volatile __u32 owner_uid = 0;
const volatile __u64 netns_cookie = 0;

// Just the fields read, found in the running kernel's own layout when loaded.
struct task_struct {
  int pid;
  int tgid;
} __attribute__((preserve_access_index));

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 4096);
  __type(key, __u32);  // a process id (thread group id)
  __type(value, __u8);  // LISTED or OWN
} game_processes SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 128);
  __type(key, char[NAME_LENGTH]);  // a game name as a task name holds it: lower case, cut to 15 bytes
  __type(value, __u8);
} game_names SEC(".maps");

// The owner's program starts and ends, for the service's process table, which
// then reads only what changed instead of walking /proc.
struct process_event {
  __u32 process;
  __u32 started;  // 1: started (exec or fork), 0: ended
};
struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 256 * 1024);
} process_events SEC(".maps");

// Events the ring had no room for: the table is then walked anew.
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, __u64);
} lost_events SEC(".maps");

static __always_inline int owners(void) { return (__u32)bpf_get_current_uid_gid() == owner_uid; }

static __always_inline void report(__u32 process, __u32 started) {
  struct process_event* event = bpf_ringbuf_reserve(&process_events, sizeof *event, 0);
  if (!event) {
    const __u32 zero = 0;
    __u64* lost = bpf_map_lookup_elem(&lost_events, &zero);
    if (lost) __sync_fetch_and_add(lost, 1);
    return;
  }
  event->process = process;
  event->started = started;
  bpf_ringbuf_submit(event, 0);
}

static __always_inline int current_name_is_game(void) {
  char name[NAME_LENGTH] = {};
  bpf_get_current_comm(name, sizeof name);
  for (int i = 0; i < NAME_LENGTH; ++i) {
    if (name[i] >= 'A' && name[i] <= 'Z') name[i] += 'a' - 'A';
  }
  return bpf_map_lookup_elem(&game_names, name) != 0;
}

static __always_inline __u32 current_process(void) { return bpf_get_current_pid_tgid() >> 32; }

SEC("cgroup/sock_create")
int mark_game_socket(struct bpf_sock* socket) {
  if (!owners() || bpf_get_netns_cookie(socket) != netns_cookie) return 1;
  const __u32 process = current_process();
  if (bpf_map_lookup_elem(&game_processes, &process) || current_name_is_game()) socket->mark = split_mark;
  return 1;  // every socket is allowed; only the game's are marked
}

// A program started under a game's name is the game from its first
// instruction; one that starts another program under its id no longer is.
// Raw tracepoints attach by name, with no tracing file system mounted.
SEC("raw_tp/sched_process_exec")
int note_game_start(void* context) {
  if (!owners()) return 0;
  const __u32 process = current_process();
  const __u8 own = OWN;
  if (current_name_is_game()) bpf_map_update_elem(&game_processes, &process, &own, BPF_ANY);
  else bpf_map_delete_elem(&game_processes, &process);
  report(process, 1);
  return 0;
}

// A game's child is the game too, also when it starts no program of its own.
SEC("raw_tp/sched_process_fork")
int note_game_child(struct bpf_raw_tracepoint_args* context) {
  if (!owners()) return 0;
  const __u32 parent = current_process();
  const struct task_struct* child = (const struct task_struct*)context->args[1];
  const __u32 process = BPF_CORE_READ(child, tgid);
  if (process == parent) return 0;  // a thread of the same process
  const __u8 own = OWN;
  if (bpf_map_lookup_elem(&game_processes, &parent)) bpf_map_update_elem(&game_processes, &process, &own, BPF_ANY);
  report(process, 1);
  return 0;
}

// Its id may be taken by another program later.
SEC("raw_tp/sched_process_exit")
int note_game_end(void* context) {
  const __u64 ids = bpf_get_current_pid_tgid();
  const __u32 process = ids >> 32;
  if ((__u32)ids != process) return 0;  // a thread, not the process
  bpf_map_delete_elem(&game_processes, &process);
  if (owners()) report(process, 0);
  return 0;
}

char LICENSE[] SEC("license") = "GPL";
