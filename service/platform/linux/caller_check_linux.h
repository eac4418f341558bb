#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace zv {

// Who is on the other end of a connected Unix socket, as the kernel saw it at
// connect(); nothing when it cannot tell.
struct PeerCredentials {
  uid_t user;
  pid_t process;
};
std::optional<PeerCredentials> PeerOf(int connectedSocket);

// Root passes; anyone else only when they are the person at this machine: the
// user of the active session on a seat, or, with no one at any seat, the one
// user with active, local sessions of class user. Greeters, lock screens,
// background sessions and remote logins never pass.
bool LinuxCallerAllowed(std::uint32_t user);

}  // namespace zv
