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

// Windows: the pipe's server process and its token's user.
class PipeServerQueries {
 public:
  virtual ~PipeServerQueries() = default;
  virtual std::optional<std::uint32_t> ServerProcessId(std::intptr_t pipe) = 0;
  virtual std::optional<std::string> ProcessUserSid(std::uint32_t processId) = 0;  // "S-1-..."
};
inline constexpr char kLocalSystemSid[] = "S-1-5-18";
bool PipeServerIsLocalSystem(PipeServerQueries& queries, std::intptr_t pipe);
// The queries as Win32 answers them (Windows only).
std::unique_ptr<PipeServerQueries> SystemPipeServerQueries();

// The platform's check of a connected channel, by its native descriptor or handle.
bool ControlServerTrusted(std::intptr_t descriptor);

}  // namespace zv
