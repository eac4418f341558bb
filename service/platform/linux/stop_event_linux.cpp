#include "stop_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zv {

// The counter is never read back, so once written the fd stays readable: manual reset.
StopEvent::StopEvent() : handle_(eventfd(0, EFD_CLOEXEC)) {
  if (handle_ < 0) std::abort();
}

std::unique_ptr<StopEvent> StopEvent::TryCreate(std::uint32_t& error) {
  const int handle = eventfd(0, EFD_CLOEXEC);
  if (handle < 0) {
    error = static_cast<std::uint32_t>(errno);
    return nullptr;
  }
  return std::unique_ptr<StopEvent>(new StopEvent(handle));
}

StopEvent::~StopEvent() { close(static_cast<int>(handle_)); }

void StopEvent::Signal() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(static_cast<int>(handle_), &one, sizeof one);
}

bool StopEvent::IsSignalled() const {
  pollfd entry{static_cast<int>(handle_), POLLIN, 0};
  return poll(&entry, 1, 0) == 1;
}

}  // namespace zv
