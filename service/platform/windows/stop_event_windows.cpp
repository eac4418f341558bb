#include "stop_event.h"

#include <windows.h>

#include <cstdlib>

namespace zv {
namespace {
HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

StopEvent::StopEvent() : handle_(reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
  if (handle_ == 0) std::abort();
}

std::unique_ptr<StopEvent> StopEvent::TryCreate(std::uint32_t& error) {
  const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset, unsignalled, unnamed
  if (handle == nullptr) {
    error = GetLastError();
    return nullptr;
  }
  return std::unique_ptr<StopEvent>(new StopEvent(reinterpret_cast<std::intptr_t>(handle)));
}

StopEvent::~StopEvent() { CloseHandle(AsHandle(handle_)); }

void StopEvent::Signal() { SetEvent(AsHandle(handle_)); }

bool StopEvent::IsSignalled() const { return WaitForSingleObject(AsHandle(handle_), 0) == WAIT_OBJECT_0; }

}  // namespace zv
