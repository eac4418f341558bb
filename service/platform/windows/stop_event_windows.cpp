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

StopEvent::~StopEvent() { CloseHandle(AsHandle(handle_)); }

void StopEvent::Signal() { SetEvent(AsHandle(handle_)); }

bool StopEvent::IsSignalled() const { return WaitForSingleObject(AsHandle(handle_), 0) == WAIT_OBJECT_0; }

}  // namespace zv
