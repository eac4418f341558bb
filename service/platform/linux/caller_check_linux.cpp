#include "caller_check_linux.h"

#include <sys/socket.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <string_view>

namespace zv {
namespace {

// Since systemd 256 the user's own service manager has a session of its own
// (class "manager"), local and active wherever the user logged in from: it is
// no person at this machine.
bool PersonHere(const char* session) {
  char* kind = nullptr;
  const bool manager = sd_session_get_class(session, &kind) >= 0 && std::string_view(kind).starts_with("manager");
  std::free(kind);
  return !manager && sd_session_is_remote(session) == 0;
}

// Desktops start programs in scopes of the user's own service manager, which
// belong to no login session; the person at this machine is told by the user
// having an active session (only those are listed) that is local.
bool UserActiveHere(uid_t user) {
  char** sessions = nullptr;
  const int count = sd_uid_get_sessions(user, /*require_active=*/1, &sessions);
  bool allowed = false;
  for (int i = 0; i < count && sessions != nullptr && sessions[i] != nullptr; ++i) {
    allowed = allowed || PersonHere(sessions[i]);
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
