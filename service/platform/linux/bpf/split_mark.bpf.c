// Split routing on Linux, in the kernel: every socket the game creates carries
// the mark that routes it into the tunnel. Only the user who asked for the
// acceleration, and only sockets of the service's own network namespace: a
// program of another user, or in a container, never leaves through that
// user's tunnel. A process counts as the game when the service's tracker
// listed it, when a game process made it, or when its task's name is surely
// one of the game's names: a short ASCII name, compared whole, so that a
// game's very first connection is steered before the tracker has seen it.
// Any other name that may be the game's is only reported: the tracker reads
// its whole name and decides. A process stays the game while any of its
// threads lives. The game's traffic is counted by destination, for the
// measuring of its server; in full routing the same programs only watch.
#include <linux/bpf.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#define NAME_LENGTH 16  // a task's name: 15 bytes and the terminating zero
#define LISTED 1        // listed by the service's tracker
#define OWN 2           // found by the kernel itself: by a sure name, or a game's child
#define MAYBE 0         // game_names: only the tracker can tell
#define SURE 1          // game_names: the key is the whole name

// Set by the service before loading.
const volatile __u32 split_mark = 0;
const volatile __u32 owner_uid = 0;
const volatile __u64 netns_cookie = 0;

// Just the fields read, found in the running kernel's own layout when loaded.
struct atomic_counter {
  int counter;
} __attribute__((preserve_access_index));
struct signal_struct {
  struct atomic_counter live;  // the thread group's threads that have not exited
} __attribute__((preserve_access_index));
struct qstr {
  const unsigned char* name;
} __attribute__((preserve_access_index));
struct dentry {
  struct qstr d_name;
} __attribute__((preserve_access_index));
struct path {
  struct dentry* dentry;
} __attribute__((preserve_access_index));
struct file {
  struct path f_path;
} __attribute__((preserve_access_index));
struct linux_binprm {
  struct file* file;
} __attribute__((preserve_access_index));
struct task_struct {
  int pid;
  int tgid;
  struct signal_struct* signal;
} __attribute__((preserve_access_index));

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 4096);
  __type(key, __u32);  // a process id (thread group id)
  __type(value, __u8);  // LISTED or OWN
} game_processes SEC(".maps");

// Keyed by a name as the kernel can compare it: its first 15 bytes, A to Z
// lowered, every byte from 0x80 up taken as 0x80. The service sizes it to the
// names a split follows.
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 1);
  __type(key, char[NAME_LENGTH]);
  __type(value, __u8);  // SURE or MAYBE
} game_names SEC(".maps");

// Processes reported as starting that may be the game: their end is reported too.
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 4096);
  __type(key, __u32);
  __type(value, __u8);
} reported SEC(".maps");

// Starts and ends for the service's process table, which reads only these.
struct process_event {
  __u32 process;
  __u32 started;  // 1: started, or renamed (exec or prctl), 0: ended
};
struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 256 * 1024);
} process_events SEC(".maps");

// The game's sockets, as this program marked them: only their traffic is counted.
struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, __u8);
} game_sockets SEC(".maps");

// Where the game's traffic went: each destination (IPv4, network order; the
// port in host order), with the time of its last packet (the monotonic clock).
struct traffic_key {
  __u32 address;
  __u16 port;
  __u8 protocol;
  __u8 unused;
};
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 64);
  __type(key, struct traffic_key);
  __type(value, __u64);
} game_traffic SEC(".maps");

// Events the ring had no room for: the table is then walked anew.
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, __u64);
} lost_events SEC(".maps");

static __always_inline int owners(void) { return (__u32)bpf_get_current_uid_gid() == owner_uid; }
static __always_inline __u32 current_process(void) { return bpf_get_current_pid_tgid() >> 32; }

static __always_inline void report(__u32 process, __u32 started) {
  const __u8 yes = 1;
  if (started) bpf_map_update_elem(&reported, &process, &yes, BPF_ANY);
  struct process_event* event = bpf_ringbuf_reserve(&process_events, sizeof *event, 0);
  if (!event) {
    const __u32 zero = 0;
    __u64* lost = bpf_map_lookup_elem(&lost_events, &zero);
    if (lost) __sync_fetch_and_add(lost, 1);
    return;
  }
  event->process = process;
  event->started = started;
  // Woken at each one: they are few, and a start left unseen until the next
  // report (measured: until the program ended) would leave the game direct.
  bpf_ringbuf_submit(event, BPF_RB_FORCE_WAKEUP);
}

// -1: no game's name; MAYBE or SURE as the name's entry says, SURE only for a
// name the key holds whole (shorter than 15 bytes, ASCII).
static __always_inline int name_match(char name[NAME_LENGTH]) {
  int plain = name[NAME_LENGTH - 2] == 0;
  for (int i = 0; i < NAME_LENGTH; ++i) {
    if (name[i] >= 'A' && name[i] <= 'Z') {
      name[i] += 'a' - 'A';
    } else if ((unsigned char)name[i] >= 0x80) {
      name[i] = (char)0x80;
      plain = 0;
    }
  }
  const __u8* kind = bpf_map_lookup_elem(&game_names, name);
  if (!kind) return -1;
  return *kind == SURE && plain ? SURE : MAYBE;
}

static __always_inline int current_name_match(void) {
  char name[NAME_LENGTH] = {};
  bpf_get_current_comm(name, sizeof name);
  return name_match(name);
}

SEC("cgroup/sock_create")
int mark_game_socket(struct bpf_sock* socket) {
  if (!owners() || bpf_get_netns_cookie(socket) != netns_cookie) return 1;
  const __u32 process = current_process();
  // A thread's own name counts too: wine names each thread after the game.
  if (bpf_map_lookup_elem(&game_processes, &process) || current_name_match() == SURE) {
    socket->mark = split_mark;
    bpf_sk_storage_get(&game_sockets, socket, 0, BPF_SK_STORAGE_GET_F_CREATE);
  }
  return 1;  // every socket is allowed; only the game's are marked
}

// Each packet of the game's sockets notes its destination; any other packet
// (without the mark, or marked by someone else) leaves at once. Every packet
// is let through.
SEC("cgroup_skb/egress")
int note_game_traffic(struct __sk_buff* packet) {
  if (packet->mark != split_mark) return 1;
  struct bpf_sock* socket = packet->sk;
  if (!socket) return 1;
  socket = bpf_sk_fullsock(socket);
  if (!socket || !bpf_sk_storage_get(&game_sockets, socket, 0, 0)) return 1;
  __u8 header[20];
  if (bpf_skb_load_bytes(packet, 0, header, sizeof header) != 0 || header[0] >> 4 != 4) return 1;
  struct traffic_key key = {};
  __builtin_memcpy(&key.address, header + 16, 4);
  key.protocol = header[9];
  __u8 port[2] = {};
  if ((key.protocol == 6 || key.protocol == 17) && bpf_skb_load_bytes(packet, (header[0] & 0x0f) * 4 + 2, port, 2) == 0) {
    key.port = (__u16)(port[0] << 8 | port[1]);
  }
  const __u64 now = bpf_ktime_get_ns();
  __u64* last = bpf_map_lookup_elem(&game_traffic, &key);
  if (last) *last = now;
  else bpf_map_update_elem(&game_traffic, &key, &now, BPF_ANY);
  return 1;
}

// A program started under a game's name (the task's, or its file's when it was
// started through a link) is the game from its first instruction, or reported
// for the tracker to judge. One that starts another program under its id is no
// longer the game by the kernel's own judgement; one the tracker listed stays
// listed until the tracker, told of the start, judges it anew. Raw tracepoints
// attach by name, with no tracing file system mounted.
SEC("raw_tp/sched_process_exec")
int note_game_start(struct bpf_raw_tracepoint_args* context) {
  if (!owners()) return 0;
  const __u32 process = current_process();
  char file[NAME_LENGTH] = {};
  const struct linux_binprm* binary = (const struct linux_binprm*)context->args[2];
  bpf_probe_read_kernel_str(file, sizeof file, BPF_CORE_READ(binary, file, f_path.dentry, d_name.name));
  const int byTask = current_name_match(), byFile = name_match(file);
  const int match = byTask > byFile ? byTask : byFile;
  const __u8* entry = bpf_map_lookup_elem(&game_processes, &process);
  const __u8 kind = entry ? *entry : 0;
  const __u8 own = OWN;
  if (match == SURE) bpf_map_update_elem(&game_processes, &process, &own, BPF_NOEXIST);
  else if (kind == OWN) bpf_map_delete_elem(&game_processes, &process);
  if (match >= MAYBE || kind || bpf_map_lookup_elem(&reported, &process)) report(process, 1);
  return 0;
}

// Wine starts a game as its own loader and then names the task after the game.
SEC("raw_tp/task_rename")
int note_game_rename(struct bpf_raw_tracepoint_args* context) {
  if (!owners()) return 0;
  char name[NAME_LENGTH] = {};
  bpf_probe_read_kernel_str(name, sizeof name, (const char*)context->args[1]);
  if (name_match(name) >= MAYBE) report(current_process(), 1);
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
  return 0;
}

// When the last of its threads ends, whichever that is: its id may be taken by another program later.
SEC("raw_tp/sched_process_exit")
int note_game_end(struct bpf_raw_tracepoint_args* context) {
  const struct task_struct* task = (const struct task_struct*)context->args[0];
  if (BPF_CORE_READ(task, signal, live.counter) != 0) return 0;
  const __u32 process = BPF_CORE_READ(task, tgid);
  const int known = bpf_map_lookup_elem(&game_processes, &process) || bpf_map_lookup_elem(&reported, &process);
  bpf_map_delete_elem(&game_processes, &process);
  bpf_map_delete_elem(&reported, &process);
  if (known) report(process, 0);
  return 0;
}

char LICENSE[] SEC("license") = "GPL";
