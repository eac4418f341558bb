#include "server_identity.h"

namespace zv {

bool SocketServerAccepted(std::optional<std::uint32_t> serverUser, std::uint32_t ownUser, bool pathMoved) {
  return serverUser && (*serverUser == 0 || (pathMoved && *serverUser == ownUser));
}

bool PipeServerIsLocalSystem(PipeServerQueries& queries, std::intptr_t pipe) {
  const auto process = queries.ServerProcessId(pipe);
  if (!process) return false;
  const auto user = queries.ProcessUserSid(*process);
  return user && *user == kLocalSystemSid;
}

}  // namespace zv
