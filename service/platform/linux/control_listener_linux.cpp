// Control channel on Linux: a Unix stream socket, served one connection at a time.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "caller_check_linux.h"
#include "control_channel.h"
#include "control_listener.h"
#include "control_socket_linux.h"

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;

class SocketConnection final : public ControlConnection {
 public:
  SocketConnection(int fd, int stopFd) : fd_(fd), stopFd_(stopFd), readDeadline_(Clock::now() + kRequestReadBound) {}
  ~SocketConnection() override { close(fd_); }

  bool CallerAllowed() override { return LinuxCallerAllowed(fd_); }

  bool ReadExact(std::uint8_t* data, std::size_t length) override {
    return MoveAll(POLLIN, readDeadline_, stopFd_, length, [&](std::size_t done, std::size_t left) {
      return recv(fd_, data + done, left, MSG_DONTWAIT);
    });
  }

  bool WriteAll(const std::uint8_t* data, std::size_t length) override {
    return MoveAll(POLLOUT, Clock::now() + kReplyWriteBound, -1, length, [&](std::size_t done, std::size_t left) {
      return send(fd_, data + done, left, MSG_DONTWAIT | MSG_NOSIGNAL);
    });
  }

 private:
  // Repeats one non-blocking transfer until all bytes have moved; a zero-byte
  // transfer (peer closed) or any error other than a retry ends it as failed.
  template <typename Transfer>
  bool MoveAll(short events, Clock::time_point deadline, int stopFd, std::size_t length, Transfer transfer) {
    std::size_t done = 0;
    while (done < length) {
      if (!WaitFor(events, deadline, stopFd)) return false;
      const ssize_t moved = transfer(done, length - done);
      if (moved == 0) return false;
      if (moved < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return false;
      }
      done += static_cast<std::size_t>(moved);
    }
    return true;
  }

  // Waits for the socket until `deadline`; a stop ends the wait unless `stopFd` is -1.
  bool WaitFor(short events, Clock::time_point deadline, int stopFd) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd entries[2] = {{stopFd, POLLIN, 0}, {fd_, events, 0}};
      const int ready = poll(entries, 2, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || entries[0].revents != 0) return false;
      return (entries[1].revents & (events | POLLHUP | POLLERR)) != 0;
    }
  }

  int fd_;
  int stopFd_;
  Clock::time_point readDeadline_;
};

int OpenListeningSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string problem;
  if (path.size() >= sizeof address.sun_path || !ClearStaleSocket(path, problem)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Every local user may connect; the caller check decides who is served.
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0666) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep) {
  const std::string path = ControlSocketPath();
  const int listening = OpenListeningSocket(path);
  if (listening < 0) return;
  const int stopFd = static_cast<int>(stopEvent.NativeHandle());
  const int watchFd = watch != nullptr ? static_cast<int>(watch->WaitHandle()) : -1;

  std::optional<std::chrono::milliseconds> wake;  // when the upkeep wants to run again
  while (!stopEvent.IsSignalled()) {
    pollfd entries[3] = {{stopFd, POLLIN, 0}, {listening, POLLIN, 0}, {watchFd, POLLIN, 0}};
    const int ready = poll(entries, 3, wake ? static_cast<int>(wake->count()) : -1);
    if (ready < 0 || entries[0].revents != 0) continue;
    const bool news = entries[2].revents != 0 && watch->Drain();
    if (news || ready == 0) wake = upkeep(news);
    if (entries[1].revents == 0) continue;
    const int client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    {
      SocketConnection connection(client, stopFd);
      handle(connection);
    }
    wake = upkeep(false);  // a start or stop changes what the upkeep has to do
  }
  close(listening);
  unlink(path.c_str());
}

}  // namespace zv
