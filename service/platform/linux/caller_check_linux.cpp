#include "caller_check_linux.h"

#include <sys/socket.h>
#include <systemd/sd-login.h>

#include <cstdlib>

namespace zv {
namespace {

// Desktops start programs in scopes of the user's own service manager, which
// belong to no login session; the person at this machine is told by the user
// having an active session (only those are listed) that is local.
bool UserActiveHere(uid_t user) {
  char** sessions = nullptr;
  const int count = sd_uid_get_sessions(user, /*require_active=*/1, &sessions);
  bool allowed = false;
  for (int i = 0; i < count && sessions != nullptr && sessions[i] != nullptr; ++i) {
    allowed = allowed || sd_session_is_remote(sessions[i]) == 0;
    std::free(sessions[i]);
  }
  std::free(sessions);
  return allowed;
}

}  // namespace

std::optional<std::uint32_t> CallerUserOf(int connectedSocket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(connectedSocket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
    return std::nullopt;
  }
  return peer.uid;
}

bool LinuxCallerAllowed(std::uint32_t user) { return user == 0 || UserActiveHere(user); }

}  // namespace zv
