// Who is on the other end of the control channel, checked before the first
// byte of a request is written: a tunnel start carries its private key, and a
// program that took the channel's name first must not receive it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zv {

// Linux: the server's user as the socket reports it (nothing when the query
// failed). Root is the service; the client's own user only when the socket
// was moved by the variable, as tests and unprivileged runs do.
bool SocketServerAccepted(std::optional<std::uint32_t> serverUser, std::uint32_t ownUser, bool pathMoved);

// Windows: what can be learnt of a pipe's server without opening its process
// (a standard user may not open a service's token).
struct ServiceRecord {
  std::uint32_t state = 0;  // SERVICE_RUNNING is 4
  std::uint32_t processId = 0;
};
// The pipe's owner, or that its server has already closed the pipe (a
// service that refuses a caller answers and closes before reading anything).
struct PipeOwner {
  bool closed = false;
  std::string sid;  // "S-1-..." when it could be read
};
class PipeServerQueries {
 public:
  virtual ~PipeServerQueries() = default;
  virtual std::optional<std::uint32_t> ServerProcessId(std::intptr_t pipe) = 0;  // GetNamedPipeServerProcessId
  virtual std::optional<PipeOwner> Owner(std::intptr_t pipe) = 0;               // GetSecurityInfo
  // The service manager's record of ViriZivadadivazService (QueryServiceStatusEx).
  virtual std::optional<ServiceRecord> ServiceProcess() = 0;
};
inline constexpr char kLocalSystemSid[] = "S-1-5-18";
inline constexpr std::uint32_t kServiceRunning = 4;
// The service manager names a running process that is this pipe's server, and
// the pipe is owned by LocalSystem, an owner no user's program can give it.
// Either alone is not enough: any signed-in user may add an instance to the
// service's own pipe, and a pipe made by someone else is theirs. A pipe its
// server has closed carries nothing more, so there the process alone decides
// whose answer is waiting in it.
bool PipeServedByTheService(PipeServerQueries& queries, std::intptr_t pipe);
// The queries as Win32 answers them (Windows only).
std::unique_ptr<PipeServerQueries> SystemPipeServerQueries();

// The platform's check of a connected channel, by its native descriptor or handle.
bool ControlServerTrusted(std::intptr_t descriptor);

}  // namespace zv
