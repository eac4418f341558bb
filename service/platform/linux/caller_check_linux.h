#pragma once

#include <sys/types.h>

namespace zv {

// Root passes; anyone else only when their user has an active, local login
// session, whatever scope the calling process runs in.
bool LinuxCallerAllowed(int connectedSocket);

}  // namespace zv
