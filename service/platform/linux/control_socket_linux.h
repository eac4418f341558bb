#pragma once

#include <string>

namespace zv {

// Makes the control socket's path free: a socket that an earlier, killed run
// left there is removed. A live socket (another instance answers), a regular
// file, a directory, a symbolic link or anything else is left as it is, and
// `problem` says what stands there.
bool ClearStaleSocket(const std::string& path, std::string& problem);

}  // namespace zv
