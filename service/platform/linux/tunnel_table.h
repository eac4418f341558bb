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
inline constexpr std::uint32_t kMainRulePriority = 31350;    // main, suppress_prefixlength 0
inline constexpr std::uint32_t kTunnelRulePriority = 31351;  // then the tunnel's table

// Both rules for IPv4 and IPv6; 0 or the errno. A host without IPv6 needs no IPv6 rules.
int AddTunnelRules();
// Every rule of ours that is there; the others were never made or are gone.
void RemoveTunnelRules();
void DeleteLink(unsigned index);
// SIGTERM, then SIGKILL after 3 s; a child is also reaped.
void StopProcess(pid_t process, bool child);
// The helpers' sockets are shared by every network namespace: a helper's socket
// is removed only once nobody answers on it, never another instance's live one.
std::string HelperSocketPath(const std::string& adapterName);
void RemoveSocketIfStale(const std::string& adapterName);

}  // namespace zv
