// wireguard.so: the five WireGuardNT operations the service loads, over a
// wireguard-go helper process and its text configuration protocol. An adapter
// is one helper, its interface and the rules of the tunnel's routing table;
// closing it leaves none of them behind. Linux refuses routes through a link
// that is down, where Windows takes them on a down adapter, so the link comes
// up with the adapter; until the tunnel's routes exist nothing is sent into it.
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "address_text.h"
#include "netlink_request.h"
#include "tunnel_table.h"
#include "utf16_text.h"
#include "wireguard_nt.h"

namespace {

using namespace std::chrono_literals;

constexpr char kHelper[] = "/usr/bin/wireguard-go";
constexpr auto kHelperStartLimit = 5s;

struct Adapter {
  pid_t helper;
  unsigned index;
  std::string name;
};

std::string SocketPath(const std::string& name) { return zv::HelperSocketPath(name); }

bool HelperRunning(pid_t helper) { return waitpid(helper, nullptr, WNOHANG) == 0; }

int SetLinkUp(unsigned index, bool up) {
  zv::rtnl::Message message(RTM_NEWLINK, 0);
  auto& link = message.Put<ifinfomsg>();
  link.ifi_index = static_cast<int>(index);
  link.ifi_flags = up ? IFF_UP : 0;
  link.ifi_change = IFF_UP;
  return zv::rtnl::Transact(message);
}

void Close(Adapter* adapter) {
  zv::RemoveTunnelRules();
  zv::StopProcess(adapter->helper, true);
  if (if_nametoindex(adapter->name.c_str()) == adapter->index) zv::DeleteLink(adapter->index);
  zv::RemoveSocketIfStale(adapter->name);
  delete adapter;
}

// The helper dies with the thread that starts it, so a service killed before
// it could record the helper leaves none behind. Between fork and exec only
// async-signal-safe calls are made, as the service has other threads.
pid_t StartHelper(const std::string& name, int& error) {
  char* argv[] = {const_cast<char*>("wireguard-go"), const_cast<char*>("-f"), const_cast<char*>(name.c_str()),
                  nullptr};
  // The foreground variable also keeps its banner about the kernel module off the service's log.
  char* envp[] = {const_cast<char*>("LOG_LEVEL=error"), const_cast<char*>("WG_PROCESS_FOREGROUND=1"),
                  const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
  const pid_t parent = getpid();
  const pid_t helper = fork();
  if (helper < 0) {
    error = errno;
    return -1;
  }
  if (helper == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet < 0 || dup2(quiet, STDOUT_FILENO) < 0) _exit(127);
    execve(kHelper, argv, envp);
    _exit(127);
  }
  error = 0;
  return helper;
}

// The helper is ready once its interface and its configuration socket exist.
bool AwaitHelper(const Adapter& adapter, unsigned& index) {
  const auto deadline = std::chrono::steady_clock::now() + kHelperStartLimit;
  const std::string path = SocketPath(adapter.name);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!HelperRunning(adapter.helper)) return false;
    index = if_nametoindex(adapter.name.c_str());
    struct stat info {};
    if (index != 0 && stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

std::string Hex(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

// IPv4 "a.b.c.d:port", IPv6 "[address]:port", from the Windows layout.
std::string EndpointText(const zv::SocketAddressInet& address) {
  const std::uint16_t port = static_cast<std::uint16_t>(address.port >> 8 | address.port << 8);
  if (address.family == zv::kFamilyIpv4) return zv::Ipv4Text(address.rest) + ":" + std::to_string(port);
  return "[" + zv::Ipv6Text(address.rest + 4) + "]:" + std::to_string(port);
}

std::string PrefixText(const zv::AllowedIp& entry) {
  const std::string address =
      entry.addressFamily == zv::kFamilyIpv4 ? zv::Ipv4Text(entry.address) : zv::Ipv6Text(entry.address);
  return address + "/" + std::to_string(entry.cidr);
}

// The block in wireguard-go's "set" form; false when the block is cut short or malformed.
bool ComposeSetText(const std::uint8_t* block, std::size_t bytes, std::string& text) {
  std::size_t at = 0;
  const auto take = [&](auto& record) {  // the next record of the block, if it holds one
    if (bytes - at < sizeof record) return false;
    std::memcpy(&record, block + at, sizeof record);
    at += sizeof record;
    return true;
  };
  zv::WireGuardInterface interface{};
  if (!take(interface)) return false;
  text = "set=1\n";
  if (interface.flags & zv::kInterfaceHasPrivateKey) text += "private_key=" + Hex(interface.privateKey, 32) + "\n";
  if (interface.flags & zv::kInterfaceHasListenPort) text += "listen_port=" + std::to_string(interface.listenPort) + "\n";
  if (interface.flags & zv::kInterfaceReplacePeers) text += "replace_peers=true\n";
  for (std::uint32_t p = 0; p < interface.peersCount; ++p) {
    zv::WireGuardPeer peer{};
    if (!take(peer) || !(peer.flags & zv::kPeerHasPublicKey)) return false;
    text += "public_key=" + Hex(peer.publicKey, 32) + "\n";
    if (peer.flags & zv::kPeerHasPresharedKey) text += "preshared_key=" + Hex(peer.presharedKey, 32) + "\n";
    if (peer.flags & zv::kPeerHasEndpoint) text += "endpoint=" + EndpointText(peer.endpoint) + "\n";
    if (peer.flags & zv::kPeerHasPersistentKeepalive) {
      text += "persistent_keepalive_interval=" + std::to_string(peer.persistentKeepalive) + "\n";
    }
    if (peer.flags & zv::kPeerReplaceAllowedIps) text += "replace_allowed_ips=true\n";
    for (std::uint32_t i = 0; i < peer.allowedIpsCount; ++i) {
      zv::AllowedIp entry{};
      if (!take(entry)) return false;
      text += "allowed_ip=" + PrefixText(entry) + "\n";
    }
  }
  text += "\n";
  return true;
}

// A helper that stops answering must not hold the service: every exchange has this long.
constexpr timeval kExchangeLimit{2, 0};

// A timed-out socket call says EAGAIN; the step it fails says so plainly.
int ErrnoOfFailedCall() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS ? ETIMEDOUT : errno; }

// One exchange on the helper's socket; 0 or the errno it answered.
int SendSetText(const std::string& name, const std::string& text) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = SocketPath(name);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kExchangeLimit, sizeof kExchangeLimit);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kExchangeLimit, sizeof kExchangeLimit);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kExchangeLimit.tv_sec);
  int result = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    result = ErrnoOfFailedCall();
  } else {
    std::string answer;
    char chunk[256];
    ssize_t got = 0;
    // A helper that answers a byte at a time still gets only the one limit.
    while (answer.find("\n\n") == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           (got = recv(fd, chunk, sizeof chunk, 0)) > 0) {
      answer.append(chunk, static_cast<std::size_t>(got));
    }
    int answered = EPROTO;
    if (got < 0) answered = ErrnoOfFailedCall();
    else if (answer.find("\n\n") == std::string::npos && got > 0) answered = ETIMEDOUT;
    else if (std::sscanf(answer.c_str(), "errno=%d", &answered) != 1) answered = EPROTO;
    result = answered;
  }
  close(fd);
  return result;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) zv::WireGuardAdapterHandle WireGuardCreateAdapter(const char16_t* name,
                                                                                          const char16_t*,
                                                                                          const void*) {
  const auto utf8 = zv::Utf8FromUtf16(name != nullptr ? std::u16string_view(name) : std::u16string_view());
  if (!utf8 || utf8->empty() || utf8->size() >= IFNAMSIZ || utf8->find('/') != std::string::npos) {
    errno = EINVAL;
    return nullptr;
  }
  // Another interface of that name is never taken over, nor a helper's socket
  // that still answers; a stale one goes, so that the socket waited for below is our helper's.
  if (if_nametoindex(utf8->c_str()) != 0) {
    errno = EEXIST;
    return nullptr;
  }
  if (!zv::RemoveSocketIfStale(*utf8)) {
    errno = EADDRINUSE;
    return nullptr;
  }
  int error = 0;
  auto* adapter = new Adapter{StartHelper(*utf8, error), 0, *utf8};
  if (adapter->helper < 0) {
    delete adapter;
    errno = error;
    return nullptr;
  }
  if (!AwaitHelper(*adapter, adapter->index)) error = ETIMEDOUT;
  else if ((error = SetLinkUp(adapter->index, true)) == 0) error = zv::AddTunnelRules();
  if (error != 0) {
    Close(adapter);
    errno = error;
    return nullptr;
  }
  return adapter;
}

__attribute__((visibility("default"))) void WireGuardCloseAdapter(zv::WireGuardAdapterHandle adapter) {
  if (adapter != nullptr) Close(static_cast<Adapter*>(adapter));
}

__attribute__((visibility("default"))) void WireGuardGetAdapterLUID(zv::WireGuardAdapterHandle adapter,
                                                                     std::uint64_t* luid) {
  *luid = static_cast<Adapter*>(adapter)->index;  // the interface index plays the LUID's part
}

__attribute__((visibility("default"))) std::int32_t WireGuardSetConfiguration(zv::WireGuardAdapterHandle adapter,
                                                                              const void* configuration,
                                                                              std::uint32_t bytes) {
  std::string text;
  int error = EINVAL;
  if (ComposeSetText(static_cast<const std::uint8_t*>(configuration), bytes, text)) {
    error = SendSetText(static_cast<Adapter*>(adapter)->name, text);
  }
  std::fill(text.begin(), text.end(), '\0');  // it holds the private key
  errno = error;
  return error == 0;
}

__attribute__((visibility("default"))) std::int32_t WireGuardSetAdapterState(zv::WireGuardAdapterHandle adapter,
                                                                             std::int32_t state) {
  const int error = SetLinkUp(static_cast<Adapter*>(adapter)->index, state == zv::kAdapterStateUp);
  errno = error;
  return error == 0;
}

}  // extern "C"
