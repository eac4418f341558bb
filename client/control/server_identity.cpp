#include "server_identity.h"

namespace zv {

bool SocketServerAccepted(std::optional<std::uint32_t> serverUser, std::uint32_t ownUser, bool pathMoved) {
  return serverUser && (*serverUser == 0 || (pathMoved && *serverUser == ownUser));
}

bool PipeServedByTheService(PipeServerQueries& queries, std::intptr_t pipe) {
  // The pipe's own answers first, while its server may still be connected; the service manager's after.
  const auto server = queries.ServerProcessId(pipe);
  const auto owner = queries.Owner(pipe);
  if (!server || !owner || !(owner->closed || owner->sid == kLocalSystemSid)) return false;
  const auto service = queries.ServiceProcess();
  return service && service->state == kServiceRunning && service->processId != 0 && service->processId == *server;
}

}  // namespace zv
