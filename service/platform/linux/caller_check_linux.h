#pragma once

#include <cstdint>
#include <optional>

namespace zv {

// The connected caller's user as the socket reports it; nothing when it cannot tell.
std::optional<std::uint32_t> CallerUserOf(int connectedSocket);

// Root passes; anyone else only when their user has an active, local login
// session, whatever scope the calling process runs in.
bool LinuxCallerAllowed(std::uint32_t user);

}  // namespace zv
