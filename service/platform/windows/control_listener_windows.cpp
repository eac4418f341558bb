// Control channel on Windows: one named pipe instance at a time.
#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include "control_channel.h"
#include "control_listener.h"

#include <optional>

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;  // 0x40000003
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kMaxInstances = 4;
constexpr DWORD kBufferSize = 65536;
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";

// Any process in an active session passes; services (session 0) and
// disconnected sessions do not.
bool CallerInActiveSession(HANDLE pipe) {
  ULONG processId = 0;
  DWORD sessionId = 0;
  if (!GetNamedPipeClientProcessId(pipe, &processId)) return false;
  if (!ProcessIdToSessionId(processId, &sessionId)) return false;
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSConnectState, &buffer, &bytes)) {
    return false;
  }
  const bool active = bytes >= sizeof(INT) && *reinterpret_cast<const INT*>(buffer) == WTSActive;
  WTSFreeMemory(buffer);
  return active;
}

class PipeConnection final : public ControlConnection {
 public:
  PipeConnection(HANDLE pipe, HANDLE stopEvent)
      : pipe_(pipe), stopEvent_(stopEvent), ioEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        readDeadline_(Clock::now() + kRequestReadBound) {}
  ~PipeConnection() override {
    if (ioEvent_ != nullptr) CloseHandle(ioEvent_);
  }

  bool CallerAllowed() override { return CallerInActiveSession(pipe_); }

  bool ReadExact(std::uint8_t* data, std::size_t length) override {
    while (length > 0) {
      const DWORD moved = Transfer(false, data, length, readDeadline_);
      if (moved == 0) return false;
      data += moved;
      length -= moved;
    }
    return true;
  }

  bool WriteAll(const std::uint8_t* data, std::size_t length) override {
    while (length > 0) {
      const DWORD moved = Transfer(true, const_cast<std::uint8_t*>(data), length, Clock::now() + kReplyWriteBound);
      if (moved == 0) return false;
      data += moved;
      length -= moved;
    }
    return true;
  }

 private:
  // One overlapped read or write within `deadline`; a read also races the stop
  // event, while a write of a handled request's reply is always let finish.
  DWORD Transfer(bool write, std::uint8_t* data, std::size_t length, Clock::time_point deadline) {
    if (ioEvent_ == nullptr) return 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent_;
    const DWORD chunk = static_cast<DWORD>(length > kBufferSize ? kBufferSize : length);
    const BOOL done = write ? WriteFile(pipe_, data, chunk, nullptr, &overlapped)
                            : ReadFile(pipe_, data, chunk, nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) return 0;
    if (!done) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const DWORD waitMs = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
      HANDLE waits[2] = {ioEvent_, stopEvent_};
      if (WaitForMultipleObjects(write ? 1 : 2, waits, FALSE, waitMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(pipe_, &overlapped, &ignored, TRUE);
        return 0;
      }
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(pipe_, &overlapped, &moved, FALSE)) return 0;
    return moved;
  }

  HANDLE pipe_;
  HANDLE stopEvent_;
  HANDLE ioEvent_;
  Clock::time_point readDeadline_;
};

enum class ConnectResult { Connected, Abandoned, NoEvent };

// The overlapped connect, raced against the stop event (listed first so it
// wins); the tunnel's upkeep runs on news and when its time comes, and the
// connect keeps waiting meanwhile.
ConnectResult AwaitClient(HANDLE pipe, HANDLE stopEvent, NetworkWatch* watch, const UpkeepHandler& upkeep,
                          std::optional<std::chrono::milliseconds>& wake) {
  HANDLE connectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (connectEvent == nullptr) return ConnectResult::NoEvent;
  OVERLAPPED overlapped{};
  overlapped.hEvent = connectEvent;
  bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
  if (!connected) {
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      connected = true;
    } else if (error == ERROR_IO_PENDING) {
      HANDLE waits[3] = {stopEvent, connectEvent,
                         watch != nullptr ? reinterpret_cast<HANDLE>(watch->WaitHandle()) : nullptr};
      const DWORD count = watch != nullptr ? 3 : 2;
      DWORD woke = WAIT_TIMEOUT;
      for (;;) {
        woke = WaitForMultipleObjects(count, waits, FALSE, wake ? static_cast<DWORD>(wake->count()) : INFINITE);
        if (woke == WAIT_OBJECT_0 + 2) {
          wake = upkeep(watch->Drain());
        } else if (woke == WAIT_TIMEOUT) {
          wake = upkeep(false);
        } else {
          break;
        }
      }
      if (woke != WAIT_OBJECT_0 + 1) {
        CancelIoEx(pipe, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
      } else {
        DWORD ignored = 0;
        connected = GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
      }
    }
  }
  CloseHandle(connectEvent);
  return connected ? ConnectResult::Connected : ConnectResult::Abandoned;
}

}  // namespace

void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE stop = reinterpret_cast<HANDLE>(stopEvent.NativeHandle());
  std::optional<std::chrono::milliseconds> wake;  // when the upkeep wants to run again

  while (!stopEvent.IsSignalled()) {
    HANDLE pipe = CreateNamedPipeW(kControlPipePath, kOpenMode, kPipeMode, kMaxInstances, kBufferSize,
                                   kBufferSize, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) break;
    const ConnectResult result = AwaitClient(pipe, stop, watch, upkeep, wake);
    if (result == ConnectResult::NoEvent) {
      CloseHandle(pipe);
      break;
    }
    if (result == ConnectResult::Connected) {
      {
        PipeConnection connection(pipe, stop);
        handle(connection, {});  // served on the owner thread itself
      }
      FlushFileBuffers(pipe);
      DisconnectNamedPipe(pipe);
      wake = upkeep(false);  // a start or stop changes what the upkeep has to do
    }
    CloseHandle(pipe);
  }
  LocalFree(descriptor);
}

}  // namespace zv
