// The control socket and the service's own folder beside it: one service per
// socket path, claimed before the service serves anything.
#pragma once

#include <string>

namespace zv {

// "<socket>.state": root's alone (0700), holding the lock that keeps a second
// service away and the record of a running tunnel.
std::string ServiceStateFolder(const std::string& socketPath);

// The listening socket (mode 0666: every local user reaches the caller check)
// and the lock in the folder, both held until the listener ends; the folder
// itself, opened once, for as long as the service runs.
struct ClaimedSocket {
  int socket = -1;
  int lock = -1;
  int folder = -1;
  explicit operator bool() const { return socket >= 0; }
};

// Nothing, with a reason for people, when another service holds the lock or
// the path or the folder holds something that is not ours; a socket an
// earlier, killed run left is replaced.
ClaimedSocket ClaimControlSocket(const std::string& socketPath, std::string& problem);
// A path to `name` inside the folder as it was opened, whatever has been put
// at the folder's own name since.
std::string InFolder(int folder, const std::string& name);
void ReleaseControlSocket(const ClaimedSocket& claimed, const std::string& socketPath);

// The socket main claimed before it started anything, for the listener to serve.
ClaimedSocket TakeClaimedControlSocket();
void HandOverControlSocket(const ClaimedSocket& claimed);

}  // namespace zv
