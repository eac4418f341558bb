// The service's manual-reset stop event: once signalled it stays signalled for
// every waiter. Native handle: an eventfd on Linux, an event HANDLE on Windows.
#pragma once

#include <cstdint>
#include <memory>

namespace zv {

class StopEvent {
 public:
  StopEvent();  // ends the process if the event cannot be created
  // Nothing, with the system error, when the event cannot be created.
  static std::unique_ptr<StopEvent> TryCreate(std::uint32_t& error);
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  void Signal();
  bool IsSignalled() const;
  std::intptr_t NativeHandle() const { return handle_; }

 private:
  explicit StopEvent(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;
};

}  // namespace zv
