// The routing table of the tunnel and the two rules that put it to use, shared
// by the adapter library (which owns the rules) and the routes shell (which
// fills the table). Host routes more specific than a default keep winning, as
// the main table is asked first with its default routes suppressed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace zv {

inline constexpr std::uint32_t kTunnelTable = 31350;
// Every route the service makes carries this protocol value, and a deletion
// names it, so that an administrator's identical route is never taken away.
inline constexpr std::uint8_t kRouteProtocol = 90;
inline constexpr std::uint32_t kMainRulePriority = 31350;    // main, suppress_prefixlength 0
inline constexpr std::uint32_t kTunnelRulePriority = 31351;  // then the tunnel's table

// Split routing: packets of the game's sockets carry this mark, and a rule
// sends them to a table of their own, whose one route is the tunnel.
inline constexpr std::uint32_t kSplitMark = 0x5a56;
inline constexpr std::uint32_t kSplitTable = 31352;
inline constexpr std::uint32_t kSplitRulePriority = 31340;  // before the tunnel's own rules

// Both rules for IPv4 and IPv6; 0 or the errno. A host without IPv6 needs no IPv6 rules.
int AddTunnelRules();
// Every rule of ours that is there, the split rule included; the others were never made or are gone.
void RemoveTunnelRules();
// The split's mark rule and its table's route through the tunnel's interface; 0 or the errno.
int AddSplitRouting(unsigned tunnelIndex);
void RemoveSplitRouting(unsigned tunnelIndex);
void DeleteLink(unsigned index);
// SIGTERM, then SIGKILL after 3 s; a child is also reaped.
void StopProcess(pid_t process, bool child);
// The helpers' sockets are shared by every network namespace: a helper's socket
// is removed only once nobody answers on it, never another instance's live one.
// The tunnel adapter's interface name, as Linux spells it.
std::string AdapterNameUtf8();

std::string HelperSocketPath(const std::string& adapterName);
// True when the path is free now: nothing was there, or a socket nobody answers on was removed.
bool RemoveSocketIfStale(const std::string& adapterName);

}  // namespace zv
