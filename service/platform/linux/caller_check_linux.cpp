#include "caller_check_linux.h"

#include <sys/socket.h>
#include <systemd/sd-login.h>

#include <cstdlib>

namespace zv {
namespace {

bool InActiveLocalSession(pid_t pid) {
  char* session = nullptr;
  if (sd_pid_get_session(pid, &session) < 0 || session == nullptr) return false;
  const bool allowed = sd_session_is_active(session) > 0 && sd_session_is_remote(session) == 0;
  std::free(session);
  return allowed;
}

}  // namespace

bool LinuxCallerAllowed(int connectedSocket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(connectedSocket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
    return false;
  }
  if (peer.uid == 0) return true;
  return InActiveLocalSession(peer.pid);
}

}  // namespace zv
