// Control channel on Windows: a named pipe, one client at a time.
#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include "control_channel.h"
#include "control_listener.h"

#include <algorithm>
#include <optional>

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;  // 0x40000003
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kMaxInstances = 4;
constexpr DWORD kBufferSize = 65536;
// Owned by LocalSystem, an owner that a user's program cannot give an object:
// the client checks it to know the service's own pipe. Users get
// kControlPipeClientAccess (0x12008b: file read, and write of data), not generic
// write, which would let them add instances of the pipe and take its clients.
constexpr wchar_t kPipeSecurity[] = L"O:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;AU)";
// A name that cannot be claimed is tried again after this, doubling up to the longest.
constexpr std::chrono::milliseconds kFirstCreatePause{200};
constexpr std::chrono::milliseconds kLongestCreatePause{5000};

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
      const DWORD moved = Transfer(false, data, length, readDeadline_, true);
      if (moved == 0) return false;
      data += moved;
      length -= moved;
    }
    return true;
  }

  bool WriteAll(const std::uint8_t* data, std::size_t length) override {
    while (length > 0) {
      const DWORD moved = Transfer(true, const_cast<std::uint8_t*>(data), length, Clock::now() + kReplyWriteBound, false);
      if (moved == 0) return false;
      data += moved;
      length -= moved;
    }
    return true;
  }

  // Until the client has closed its end, for the write bound at most: the pipe's
  // disconnection would drop a reply not yet read, and a client that never reads
  // must not hold up the one listener (FlushFileBuffers would wait for it for ever).
  void AwaitClientClose() {
    std::uint8_t ignored = 0;
    const auto until = Clock::now() + kReplyWriteBound;
    while (Transfer(false, &ignored, 1, until, false) != 0) {
    }
  }

 private:
  // One overlapped read or write within `deadline`, racing the stop event when
  // `stoppable` (a handled request's reply is always let finish).
  DWORD Transfer(bool write, std::uint8_t* data, std::size_t length, Clock::time_point deadline, bool stoppable) {
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
      if (WaitForMultipleObjects(stoppable ? 2 : 1, waits, FALSE, waitMs) != WAIT_OBJECT_0) {
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

// The listener's one wait: for the stop event (listed first, so it wins),
// for what the pass waits on, and for the network's news. The tunnel's upkeep
// runs on news and when the time it asked for comes; the wait goes on meanwhile.
class ListenerWait {
 public:
  enum class Woke { Stop, Other, Limit };

  ListenerWait(HANDLE stop, NetworkWatch* watch, const UpkeepHandler& upkeep)
      : stop(stop), watch(watch), upkeep(upkeep) {}

  Woke For(HANDLE other, std::optional<Clock::time_point> until) {
    for (;;) {
      HANDLE waits[3] = {stop};
      DWORD count = 1;
      const DWORD otherAt = other != nullptr ? count++ : MAXDWORD;
      if (other != nullptr) waits[otherAt] = other;
      const DWORD newsAt = watch != nullptr ? count++ : MAXDWORD;
      if (watch != nullptr) waits[newsAt] = reinterpret_cast<HANDLE>(watch->WaitHandle());
      const auto left = upkeep.Left(until);
      const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, left ? static_cast<DWORD>(left->count()) : INFINITE);
      if (woke == WAIT_OBJECT_0) return Woke::Stop;
      if (woke == WAIT_OBJECT_0 + otherAt) return Woke::Other;
      if (woke == WAIT_OBJECT_0 + newsAt) {
        upkeep.Run(watch->Drain());
      } else if (woke == WAIT_TIMEOUT) {
        if (upkeep.Due()) upkeep.Run(false);
        if (until && Clock::now() >= *until) return Woke::Limit;
      } else {
        return Woke::Limit;  // the wait itself failed: the pass is given up
      }
    }
  }

  // After a client: a start or stop changes what the upkeep has to do, and news
  // that came meanwhile is taken here, as clients that follow one another may
  // never let the wait itself see it.
  void AfterClient() { upkeep.Run(watch != nullptr && watch->Drain()); }

 private:
  HANDLE stop;
  NetworkWatch* watch;
  UpkeepSchedule upkeep;
};

enum class ConnectResult { Connected, Abandoned, NoEvent };

// The overlapped connect, raced against the stop event.
ConnectResult AwaitClient(HANDLE pipe, ListenerWait& wait) {
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
      DWORD ignored = 0;
      if (wait.For(connectEvent, std::nullopt) == ListenerWait::Woke::Other) {
        connected = GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
      } else {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
      }
    }
  }
  CloseHandle(connectEvent);
  return connected ? ConnectResult::Connected : ConnectResult::Abandoned;
}

// The first instance claims the name (FILE_FLAG_FIRST_PIPE_INSTANCE): a name
// another process made first is not joined, as its security would be theirs.
// A next instance is made while the last one still holds the name.
HANDLE CreateInstance(SECURITY_ATTRIBUTES& attributes, bool first) {
  return CreateNamedPipeW(kControlPipePath, kOpenMode | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0), kPipeMode,
                          kMaxInstances, kBufferSize, kBufferSize, 0, &attributes);
}

}  // namespace

// The listener ends only at the stop event (or when its security descriptor
// cannot be built): a name that is taken, or instances that cannot be made,
// are tried again with a growing pause, so another process that holds the
// name for a while cannot leave the service without its channel for good.
void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  ListenerWait wait(reinterpret_cast<HANDLE>(stopEvent.NativeHandle()), watch, upkeep);
  HANDLE pipe = INVALID_HANDLE_VALUE;  // the instance the next client meets
  std::chrono::milliseconds pause = kFirstCreatePause;

  while (!stopEvent.IsSignalled()) {
    if (pipe == INVALID_HANDLE_VALUE) pipe = CreateInstance(attributes, true);
    if (pipe == INVALID_HANDLE_VALUE) {
      wait.For(nullptr, Clock::now() + pause);
      pause = std::min(pause * 2, kLongestCreatePause);
      continue;
    }
    pause = kFirstCreatePause;
    const ConnectResult result = AwaitClient(pipe, wait);
    if (result == ConnectResult::NoEvent) break;
    if (result == ConnectResult::Connected) {
      {
        PipeConnection connection(pipe, reinterpret_cast<HANDLE>(stopEvent.NativeHandle()));
        handle(connection, {});  // served on the owner thread itself
        connection.AwaitClientClose();
      }
    }
    // The client is gone before the next instance exists, so clients are still
    // served one after another; the name stays ours throughout.
    DisconnectNamedPipe(pipe);
    const HANDLE next = CreateInstance(attributes, false);
    CloseHandle(pipe);
    pipe = next;
    if (result == ConnectResult::Connected) wait.AfterClient();
  }
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  LocalFree(descriptor);
}

}  // namespace zv
