#include "control_socket_linux.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zv {
namespace {

bool SomeoneListens(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answered;
}

const char* KindOf(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a socket";
}

}  // namespace

bool ClearStaleSocket(const std::string& path, std::string& problem) {
  struct stat existing {};
  if (lstat(path.c_str(), &existing) != 0) {
    if (errno == ENOENT) return true;
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISSOCK(existing.st_mode)) {
    problem = path + " is " + KindOf(existing.st_mode) + ", not a socket; it was left as it is";
    return false;
  }
  if (SomeoneListens(path)) {
    problem = path + " is in use: another accelerator-service is listening there";
    return false;
  }
  if (unlink(path.c_str()) != 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace zv
