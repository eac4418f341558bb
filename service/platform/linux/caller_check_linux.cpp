#include "caller_check_linux.h"

#include <sys/socket.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>

namespace zv {
namespace {

// A list sd-login hands over, freed with its strings.
struct Names {
  char** list = nullptr;
  int count = 0;
  ~Names() {
    for (int i = 0; list != nullptr && i < count; ++i) std::free(list[i]);
    std::free(list);
  }
};

// A person's own login, not a display manager's greeter, a lock screen or a
// background job (cron, a user manager's own session).
bool UserClass(const char* session) {
  char* kind = nullptr;
  const bool user = sd_session_get_class(session, &kind) >= 0 && std::strcmp(kind, "user") == 0;
  std::free(kind);
  return user;
}

}  // namespace

std::optional<PeerCredentials> PeerOf(int connectedSocket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(connectedSocket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
    return std::nullopt;
  }
  return PeerCredentials{peer.uid, peer.pid};
}

// Desktops start programs in scopes of the user's own service manager, which
// belong to no session: the caller is judged by its user, not its process.
bool LinuxCallerAllowed(std::uint32_t user) {
  if (user == 0) return true;
  Names seats;
  seats.count = sd_get_seats(&seats.list);
  bool someoneSeated = false;
  for (int i = 0; i < seats.count; ++i) {
    char* session = nullptr;
    uid_t seated = 0;
    if (sd_seat_get_active(seats.list[i], &session, &seated) < 0 || session == nullptr) continue;
    someoneSeated = true;
    const bool passes = seated == user && UserClass(session);
    std::free(session);
    if (passes) return true;
  }
  if (someoneSeated) return false;
  // No session in front of any seat (a machine without seats, a container):
  // the one user whose active, local sessions of class user are the only ones.
  Names sessions;
  sessions.count = sd_get_sessions(&sessions.list);
  bool found = false;
  for (int i = 0; i < sessions.count; ++i) {
    const char* session = sessions.list[i];
    uid_t owner = 0;
    if (sd_session_is_active(session) <= 0 || sd_session_is_remote(session) != 0 || !UserClass(session) ||
        sd_session_get_uid(session, &owner) < 0) {
      continue;
    }
    if (owner != user) return false;
    found = true;
  }
  return found;
}

}  // namespace zv
