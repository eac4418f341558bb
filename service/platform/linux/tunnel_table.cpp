#include "tunnel_table.h"

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "netlink_request.h"
#include "utf16_text.h"
#include "wireguard_nt.h"

namespace zv {
namespace {

int Rule(std::uint16_t type, std::uint8_t family, std::uint32_t priority, bool mainWithoutDefaults) {
  rtnl::Message message(type, type == RTM_NEWRULE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& rule = message.Put<fib_rule_hdr>();
  rule.family = family;
  rule.action = FR_ACT_TO_TBL;
  message.Attribute32(FRA_PRIORITY, priority);
  message.Attribute32(FRA_TABLE, mainWithoutDefaults ? RT_TABLE_MAIN : kTunnelTable);
  if (mainWithoutDefaults) message.Attribute32(FRA_SUPPRESS_PREFIXLEN, 0);
  return rtnl::Transact(message);
}

int SplitRule(std::uint16_t type) {
  rtnl::Message message(type, type == RTM_NEWRULE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& rule = message.Put<fib_rule_hdr>();
  rule.family = AF_INET;
  rule.action = FR_ACT_TO_TBL;
  message.Attribute32(FRA_PRIORITY, kSplitRulePriority);
  message.Attribute32(FRA_FWMARK, kSplitMark);
  message.Attribute32(FRA_FWMASK, 0xffffffff);
  message.Attribute32(FRA_TABLE, kSplitTable);
  return rtnl::Transact(message);
}

int SplitRoute(std::uint16_t type, unsigned tunnelIndex) {
  rtnl::Message message(type, type == RTM_NEWROUTE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& route = message.Put<rtmsg>();
  route.rtm_family = AF_INET;
  route.rtm_dst_len = 0;
  route.rtm_table = RT_TABLE_UNSPEC;
  route.rtm_protocol = kRouteProtocol;
  route.rtm_scope = RT_SCOPE_LINK;
  route.rtm_type = RTN_UNICAST;
  message.Attribute32(RTA_TABLE, kSplitTable);
  message.Attribute32(RTA_OIF, tunnelIndex);
  return rtnl::Transact(message);
}

}  // namespace

void RemoveTunnelRules() {
  for (const std::uint8_t family : {AF_INET, AF_INET6}) {
    Rule(RTM_DELRULE, family, kTunnelRulePriority, false);
    Rule(RTM_DELRULE, family, kMainRulePriority, true);
  }
  SplitRule(RTM_DELRULE);
}

int AddSplitRouting(unsigned tunnelIndex) {
  if (const int result = SplitRoute(RTM_NEWROUTE, tunnelIndex); result != 0) return result;
  if (const int result = SplitRule(RTM_NEWRULE); result != 0) {
    SplitRoute(RTM_DELROUTE, tunnelIndex);
    return result;
  }
  return 0;
}

void RemoveSplitRouting(unsigned tunnelIndex) {
  SplitRule(RTM_DELRULE);
  SplitRoute(RTM_DELROUTE, tunnelIndex);
}

int AddTunnelRules() {
  for (const std::uint8_t family : {AF_INET, AF_INET6}) {
    for (const bool main : {true, false}) {
      const int result = Rule(RTM_NEWRULE, family, main ? kMainRulePriority : kTunnelRulePriority, main);
      // A host without IPv6 needs no IPv6 rules.
      if (result != 0 && !(family == AF_INET6 && result == EAFNOSUPPORT)) return result;
    }
  }
  return 0;
}

void DeleteLink(unsigned index) {
  rtnl::Message message(RTM_DELLINK, 0);
  message.Put<ifinfomsg>().ifi_index = static_cast<int>(index);
  rtnl::Transact(message);
}

std::string AdapterNameUtf8() { return Utf8FromUtf16(kAdapterName).value_or(""); }

std::string HelperSocketPath(const std::string& adapterName) { return "/var/run/wireguard/" + adapterName + ".sock"; }

bool RemoveSocketIfStale(const std::string& adapterName) {
  const std::string path = HelperSocketPath(adapterName);
  sockaddr_un address{};
  struct stat info {};
  if (path.size() >= sizeof address.sun_path || lstat(path.c_str(), &info) != 0) return true;
  if (!S_ISSOCK(info.st_mode)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return !answered && unlink(path.c_str()) == 0;
}

void StopProcess(pid_t process, bool child) {
  using namespace std::chrono_literals;
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

}  // namespace zv
