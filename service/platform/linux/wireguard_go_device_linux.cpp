#include "wireguard_go_device_linux.h"

#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <thread>

#include "address_text.h"
#include "netlink_request.h"
#include "proc_files_linux.h"

namespace zv {
namespace {

using namespace std::chrono_literals;

constexpr auto kHelperStartLimit = 5s;
// A helper that stops answering must not hold the service: a configuration has
// this long, and the look at its counters, made every second, far less.
constexpr timeval kConfigureLimit{2, 0};
constexpr timeval kActivityLimit{0, 200000};
// The helper's answers, which hold the private key when they are about the device.
constexpr std::size_t kAnswerRoom = 16384;

std::string NumberedCode(const char* prefix, int number) { return prefix + std::to_string(number); }

// Where wireguard-go keeps its sockets (/var/run/wireguard), with the links
// resolved: /proc/<pid>/root would resolve a link against our own root.
const std::string& RunFolder() {
  static const std::string folder = [] {
    char resolved[PATH_MAX];
    return realpath("/var/run", resolved) != nullptr ? std::string(resolved) : std::string("/var/run");
  }();
  return folder;
}

int SetLinkUp(unsigned index, bool up) {
  rtnl::Message message(RTM_NEWLINK, 0);
  auto& link = message.Put<ifinfomsg>();
  link.ifi_index = static_cast<int>(index);
  link.ifi_flags = up ? IFF_UP : 0;
  link.ifi_change = IFF_UP;
  return rtnl::Transact(message);
}

void DeleteLink(unsigned index) {
  rtnl::Message message(RTM_DELLINK, 0);
  message.Put<ifinfomsg>().ifi_index = static_cast<int>(index);
  rtnl::Transact(message);
}

// SIGTERM, then SIGKILL after 3 s; a child is also reaped.
void StopProcess(pid_t process, bool child) {
  const auto gone = [&] { return child ? waitpid(process, nullptr, WNOHANG) != 0 : kill(process, 0) != 0; };
  kill(process, SIGTERM);
  kill(process, SIGCONT);  // a stopped helper would otherwise hold the TERM until the KILL
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (!gone()) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(process, SIGKILL);
      if (child) waitpid(process, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(5ms);
  }
}

// The helper dies with the thread that starts it, so a service killed before
// it could record the helper leaves none behind. It gets a /run of its own
// where the system lets us make one (a service without the right runs it in
// its own). Between fork and exec only system calls are made, as the service
// has other threads.
pid_t StartHelper(const std::string& program, int& error) {
  char* argv[] = {const_cast<char*>("wireguard-go"), const_cast<char*>("-f"), const_cast<char*>(kAdapterName),
                  nullptr};
  // The foreground variable also keeps its banner about the kernel module off the service's log.
  char* envp[] = {const_cast<char*>("LOG_LEVEL=error"), const_cast<char*>("WG_PROCESS_FOREGROUND=1"),
                  const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
  const char* run = RunFolder().c_str();
  const pid_t parent = getpid();
  const pid_t helper = fork();
  if (helper < 0) {
    error = errno;
    return -1;
  }
  if (helper == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    if (unshare(CLONE_NEWNS) == 0 && (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                      mount("tmpfs", run, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)) {
      _exit(126);
    }
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet < 0 || dup2(quiet, STDOUT_FILENO) < 0) _exit(127);
    execve(program.c_str(), argv, envp);
    _exit(127);
  }
  error = 0;
  return helper;
}

bool HelperRunning(pid_t helper) { return waitpid(helper, nullptr, WNOHANG) == 0; }

std::string AddressText(const IpAddress& address) {
  return address.family == IpFamily::V4 ? Ipv4Text(address.Bytes()) : Ipv6Text(address.Bytes());
}

std::string EndpointText(const IpAddress& address) {
  const std::string host = AddressText(address);
  return (address.family == IpFamily::V4 ? host : "[" + host + "]") + ":" + std::to_string(address.port);
}

// A timed-out socket call says EAGAIN; the step it fails says so plainly.
int ErrnoOfFailedCall() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS ? ETIMEDOUT : errno; }

// One exchange on the helper's socket within `limit`: the request, then its
// answer up to the blank line that ends it; 0 or the errno.
int Exchange(const std::string& path, std::string_view request, timeval limit, Secret& answer) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(limit.tv_sec) + std::chrono::microseconds(limit.tv_usec);
  int result = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    result = ErrnoOfFailedCall();
  } else {
    const auto ended = [&] { return answer.View().find("\n\n") != std::string_view::npos; };
    ssize_t got = 0;
    // The answer may hold the private key: what passes through `chunk` is wiped.
    // A helper that answers a byte at a time still gets only the one limit.
    char chunk[512];
    bool fits = true;
    while (!ended() && fits && std::chrono::steady_clock::now() < deadline) {
      if ((got = recv(fd, chunk, sizeof chunk, 0)) <= 0) break;
      fits = answer.Append(std::string_view(chunk, static_cast<std::size_t>(got)));
    }
    WipeMemory(chunk, sizeof chunk);
    if (got < 0) result = ErrnoOfFailedCall();
    else if (!ended()) result = got > 0 && fits ? ETIMEDOUT : EPROTO;
  }
  close(fd);
  return result;
}

// The number after `key` in an answer; nothing when the key is not there.
std::optional<std::uint64_t> NumberAfter(std::string_view text, std::string_view key) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = at + key.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return value;
}

}  // namespace

WireGuardGoDevice::~WireGuardGoDevice() {
  if (helper > 0) Close();
}

std::string WireGuardGoDevice::SocketPath() const {
  return "/proc/" + std::to_string(helper) + "/root" + RunFolder() + "/wireguard/" + kAdapterName + ".sock";
}

bool WireGuardGoDevice::Create(std::string& error) {
  if (access(helperProgram.c_str(), X_OK) != 0) {
    error = "embedded_tunnel_component_missing";
    return false;
  }
  // Another interface of that name is never taken over.
  if (if_nametoindex(kAdapterName) != 0) {
    error = NumberedCode("create_adapter_failed_", EEXIST);
    return false;
  }
  int started = 0;
  helper = StartHelper(helperProgram, started);
  if (helper < 0) {
    error = NumberedCode("create_adapter_failed_", started);
    return false;
  }
  {
    const std::lock_guard guard(handleLock);
    helperHandle = static_cast<int>(syscall(SYS_pidfd_open, helper, 0));
  }
  // Ready once its interface and its socket exist. Linux refuses routes through
  // a link that is down, where Windows takes them on a down adapter, so the
  // link comes up now; until the tunnel's routes exist nothing is sent into it.
  int failure = ETIMEDOUT;
  for (const auto deadline = std::chrono::steady_clock::now() + kHelperStartLimit;
       std::chrono::steady_clock::now() < deadline && HelperRunning(helper) && !interrupted;
       std::this_thread::sleep_for(5ms)) {
    index = if_nametoindex(kAdapterName);
    struct stat info {};
    if (index != 0 && stat(SocketPath().c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      failure = SetLinkUp(index, true);
      break;
    }
  }
  if (interrupted) failure = EINTR;
  if (failure != 0) {
    Close();
    error = NumberedCode("create_adapter_failed_", failure);
    return false;
  }
  return true;
}

void WireGuardGoDevice::Interrupt() {
  interrupted = true;
  const std::lock_guard guard(handleLock);
  if (helperHandle >= 0) syscall(SYS_pidfd_send_signal, helperHandle, SIGKILL, nullptr, 0);
}

bool WireGuardGoDevice::Configure(const PeerSettings& settings, std::string& error) {
  Secret text = Secret::Room(4096 + 64 * settings.allowedNetworks.size());  // it holds the private key
  bool fits = text.Append("set=1\nprivate_key=") && text.AppendHex(settings.privateKey.data(), 32) &&
              text.Append("\nreplace_peers=true\npublic_key=") &&
              text.AppendHex(settings.peerPublicKey.data(), settings.peerPublicKey.size()) &&
              text.Append("\nendpoint=" + EndpointText(settings.endpoint)) &&
              text.Append("\npersistent_keepalive_interval=" + std::to_string(settings.keepaliveSeconds)) &&
              text.Append("\nreplace_allowed_ips=true\n");
  for (const IpPrefix& entry : settings.allowedNetworks) {
    fits = fits && text.Append("allowed_ip=" + AddressText(entry.address) + "/" + std::to_string(entry.length) + "\n");
  }
  Secret answer = Secret::Room(kAnswerRoom);
  int result = interrupted ? EINTR : fits && text.Append("\n") ? Exchange(SocketPath(), text.View(), kConfigureLimit, answer) : EINVAL;
  if (result == 0) result = static_cast<int>(NumberAfter(answer.View(), "errno=").value_or(EPROTO));
  if (result != 0) error = NumberedCode("set_tunnel_config_failed_", result);
  return result == 0;
}

bool WireGuardGoDevice::Raise(std::string& error) {
  const int result = SetLinkUp(index, true);
  if (result != 0) error = NumberedCode("start_adapter_failed_", result);
  raised = result == 0;
  return raised;
}

void WireGuardGoDevice::Close() {
  if (raised) SetLinkUp(index, false);
  StopProcess(helper, true);
  {
    const std::lock_guard guard(handleLock);
    if (helperHandle >= 0) close(helperHandle);
    helperHandle = -1;
  }
  if (index != 0 && if_nametoindex(kAdapterName) == index) DeleteLink(index);
  helper = -1, index = 0, raised = false;
}

bool WireGuardGoDevice::Release(const std::function<void()>& afterClose, std::string&) {
  Abandon(afterClose);
  return true;
}

void WireGuardGoDevice::Abandon(const std::function<void()>& afterClose) {
  if (helper > 0) Close();
  afterClose();
}

bool WireGuardGoDevice::Present() {
  char name[IF_NAMESIZE] = {};
  return helper > 0 && if_indextoname(index, name) != nullptr && std::strcmp(name, kAdapterName) == 0;
}

std::optional<PeerActivity> WireGuardGoDevice::Activity() {
  Secret answer = Secret::Room(kAnswerRoom);  // the device's answer names its private key first
  if (helper <= 0 || Exchange(SocketPath(), "get=1\n\n", kActivityLimit, answer) != 0) return std::nullopt;
  PeerActivity activity;
  activity.receivedBytes = NumberAfter(answer.View(), "rx_bytes=").value_or(0);
  if (const std::uint64_t at = NumberAfter(answer.View(), "last_handshake_time_sec=").value_or(0); at != 0) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    activity.sinceHandshake = std::chrono::duration_cast<std::chrono::seconds>(now) - std::chrono::seconds(at);
  }
  return activity;
}

AdapterTrace WireGuardGoDevice::Trace() {
  if (helper <= 0) return {};
  return {static_cast<std::uint32_t>(helper), ReadProcessStat("/proc/" + std::to_string(helper)).startTime};
}

// The helper of a killed instance goes with it (it dies with its parent); one
// that outlived it anyway is ended here, but only the very process recorded,
// and only when it is a helper this service starts: a forged record names any process.
void WireGuardGoDevice::RemoveStale(const AdapterTrace& trace) {
  const std::string folder = "/proc/" + std::to_string(trace.processId);
  const std::string expectedCommand = std::string("wireguard-go\0-f\0", 16) + kAdapterName + '\0';
  if (trace.processId != 0 && ReadProcessStat(folder).startTime == trace.startTime &&
      ReadExecutable(folder) == helperProgram && ReadProcFile(folder + "/cmdline") == expectedCommand) {
    StopProcess(static_cast<pid_t>(trace.processId), false);
  }
  // A helper killed with its parent a moment ago may still be going: its interface is waited for.
  for (const auto deadline = std::chrono::steady_clock::now() + 1s;
       if_nametoindex(kAdapterName) != 0 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  if (const unsigned stale = if_nametoindex(kAdapterName); stale != 0) DeleteLink(stale);
}

}  // namespace zv
