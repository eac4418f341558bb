#include "control_socket_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <utility>
#include <cerrno>
#include <cstring>

namespace zv {
namespace {

ClaimedSocket handedOver;  // set by main before the listener's thread starts

sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

bool SomeoneListens(const std::string& path) {
  const sockaddr_un address = SocketAddress(path);
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

std::string Failed(const std::string& what) { return what + ": " + std::strerror(errno); }

// A socket an earlier, killed run left is removed; anything else stays as it is.
bool ClearStaleSocket(const std::string& path, std::string& problem) {
  struct stat existing {};
  if (lstat(path.c_str(), &existing) != 0) {
    if (errno == ENOENT) return true;
    problem = Failed(path);
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
    problem = Failed(path);
    return false;
  }
  return true;
}

// Only root may write in it, so nothing in it can be swapped for a link. It is
// opened once, without following a link, and judged by what was opened: the
// folder around it may be another user's, who could put a link or a folder of
// their own at its name at any moment.
int OwnFolder(const std::string& folder, std::string& problem) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = Failed(folder);
    return -1;
  }
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
    problem = folder + " is not a folder of the service's own (mode 0700); it was left as it is";
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string ServiceStateFolder(const std::string& socketPath) { return socketPath + ".state"; }

ClaimedSocket ClaimControlSocket(const std::string& socketPath, std::string& problem) {
  if (socketPath.size() >= sizeof(sockaddr_un::sun_path)) {
    problem = socketPath + " is too long for a socket path";
    return {};
  }
  const std::string folderPath = ServiceStateFolder(socketPath);
  const int folder = OwnFolder(folderPath, problem);
  if (folder < 0) return {};
  const int lock = openat(folder, "lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  const auto giveUp = [&](int fd) {
    if (fd >= 0) close(fd);
    if (lock >= 0) close(lock);
    close(folder);
    return ClaimedSocket{};
  };
  if (lock < 0) {
    problem = Failed(folderPath + "/lock");
    return giveUp(-1);
  }
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    problem = errno == EWOULDBLOCK ? "another accelerator-service is running for " + socketPath + " (it holds " +
                                         folderPath + "/lock)"
                                   : Failed(folderPath + "/lock");
    return giveUp(-1);
  }
  // Holding the lock, no other service races for the path from here on.
  const sockaddr_un address = SocketAddress(socketPath);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!ClearStaleSocket(socketPath, problem)) return giveUp(fd);
  // Every local user may connect (0666); the caller check decides who is
  // served. The mode comes with the socket itself: set afterwards through its
  // path, it would land on whatever someone put at that path meanwhile.
  const mode_t previous = umask(0111);
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  umask(previous);
  if (!bound || listen(fd, SOMAXCONN) != 0) {
    problem = Failed("cannot listen on " + socketPath);
    return giveUp(fd);
  }
  return {fd, lock, folder};
}

std::string InFolder(int folder, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

void ReleaseControlSocket(const ClaimedSocket& claimed, const std::string& socketPath) {
  close(claimed.socket);
  unlink(socketPath.c_str());
  close(claimed.lock);  // last: no other service may take the path before it is cleared
  // The folder stays open: the server's end still forgets the tunnel's record in it.
}

ClaimedSocket TakeClaimedControlSocket() { return std::exchange(handedOver, ClaimedSocket{}); }
void HandOverControlSocket(const ClaimedSocket& claimed) { handedOver = claimed; }

}  // namespace zv
