// SO_PEERCRED on a connected stream socket gives the server's credentials as
// they were when it called listen().
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "control_channel.h"
#include "server_identity.h"

namespace zv {

bool ControlServerTrusted(std::intptr_t descriptor) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  std::optional<std::uint32_t> serverUser;
  if (getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
      length == sizeof credentials) {
    serverUser = credentials.uid;
  }
  const char* moved = std::getenv(kControlSocketVariable);
  return SocketServerAccepted(serverUser, getuid(), moved != nullptr && *moved != '\0');
}

}  // namespace zv
