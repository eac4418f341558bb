#pragma once

#include <sys/types.h>

namespace zv {

// Root passes; anyone else only from a process in an active local login session.
bool LinuxCallerAllowed(int connectedSocket);

}  // namespace zv
