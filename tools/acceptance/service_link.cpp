// The kit's side of the control channel: the pipe, the client's identity
// check, one exchange, and where the service is installed.
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <vector>

#include "control_channel.h"
#include "control_frame.h"
#include "kit.h"
#include "server_identity.h"

namespace zv::kit {
namespace {

bool Exact(HANDLE pipe, void* data, DWORD length, bool write) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  for (DWORD done = 0; length > 0; bytes += done, length -= done) {
    const BOOL ok = write ? WriteFile(pipe, bytes, length, &done, nullptr) : ReadFile(pipe, bytes, length, &done, nullptr);
    if (!ok || done == 0) return false;
  }
  return true;
}

}  // namespace

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 3, '\0');
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                         static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(length > 0 ? length : 0);
  return out;
}

HANDLE OpenServicePipe() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    HANDLE pipe = CreateFileW(kControlPipePath, kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(kControlPipePath, 100)) Sleep(100);
  }
  return INVALID_HANDLE_VALUE;
}

Answer AskService(std::uint16_t operation, const std::string& body) {
  Answer answer;
  HANDLE pipe = OpenServicePipe();
  if (pipe == INVALID_HANDLE_VALUE) {
    answer.failure = "the service's pipe could not be opened (error " + std::to_string(GetLastError()) + ")";
    return answer;
  }
  const std::uint64_t id = GetTickCount64();
  auto header = EncodeRequestHeader(operation, id, static_cast<std::uint32_t>(body.size()));
  ReplyHeaderBytes raw{};
  std::string text = body;
  if (!ControlServerTrusted(reinterpret_cast<std::intptr_t>(pipe))) {
    answer.failure = "the pipe's server is not the service";
  } else if (!Exact(pipe, header.data(), static_cast<DWORD>(header.size()), true) ||
             (!text.empty() && !Exact(pipe, text.data(), static_cast<DWORD>(text.size()), true))) {
    answer.failure = "the request could not be written (error " + std::to_string(GetLastError()) + ")";
  } else if (!Exact(pipe, raw.data(), static_cast<DWORD>(raw.size()), false)) {
    answer.failure = "no reply (error " + std::to_string(GetLastError()) + ")";
  } else {
    const ControlReplyHeader reply = DecodeReplyHeader(raw);
    const bool refusedUnread = reply.status == static_cast<std::uint32_t>(ControlStatus::AccessDenied) &&
                               ReplyHeaderAccepted(reply, 0);
    answer.body.resize(reply.bodyLength <= kMaxControlBody ? reply.bodyLength : 0);
    if (!(ReplyHeaderAccepted(reply, id) || refusedUnread) ||
        (!answer.body.empty() && !Exact(pipe, answer.body.data(), reply.bodyLength, false))) {
      answer.failure = "a malformed reply";
    } else {
      answer.replied = true;
      answer.status = reply.status;
    }
  }
  CloseHandle(pipe);
  return answer;
}

std::string Describe(const Answer& answer) {
  if (!answer.replied) return answer.failure;
  return "status " + std::to_string(answer.status) + " " + answer.body;
}

HANDLE RunElevated(const wchar_t* program, const std::wstring& arguments) {
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  run.lpVerb = L"runas";
  run.lpFile = program;
  run.lpParameters = arguments.c_str();
  run.nShow = SW_HIDE;
  return ShellExecuteExW(&run) ? run.hProcess : nullptr;
}

std::wstring ServiceFolder() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return {};
  std::wstring folder;
  if (SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG)) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<std::uint8_t> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed != 0 && QueryServiceConfigW(service, config, needed, &needed)) {
      std::wstring path = config->lpBinaryPathName;
      if (!path.empty() && path.front() == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
      folder = path.substr(0, path.find_last_of(L'\\'));
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return folder;
}

Outcome CheckIdentity(const Options&) {
  HANDLE pipe = OpenServicePipe();
  if (pipe == INVALID_HANDLE_VALUE) {
    return Fail("the service's pipe could not be opened (error " + std::to_string(GetLastError()) + ")");
  }
  const auto handle = reinterpret_cast<std::intptr_t>(pipe);
  const auto queries = SystemPipeServerQueries();
  const auto server = queries->ServerProcessId(handle);
  const auto service = queries->ServiceProcess();
  const auto owner = queries->Owner(handle);
  const bool trusted = PipeServedByTheService(*queries, handle);
  CloseHandle(pipe);
  const std::string seen = "pipe server " + (server ? std::to_string(*server) : "?") +
                           ", the service manager's process " + (service ? std::to_string(service->processId) : "?") +
                           (service && service->state == kServiceRunning ? " (running)" : " (not running)") +
                           ", pipe owner " + (owner ? (owner->closed ? "unreadable: closed" : owner->sid) : "?");
  return trusted ? Pass(seen) : Fail(seen);
}

// The service's caller check (the session's state) accepts a standard user's desktop session.
Outcome CheckCallerAccepted(const Options&) {
  const Answer answer = AskService(static_cast<std::uint16_t>(ControlOperation::QueryState), {});
  const bool idle = answer.replied && answer.status == 0 && answer.body == kIdleBody;
  return idle ? Pass("QueryState answered " + answer.body)
              : Fail("QueryState: " + Describe(answer) + " (expected status 0 " + std::string(kIdleBody) + ")");
}

// A standard user may not add an instance of the service's pipe: one who could
// would take the service's clients, and with the last free instance its channel.
Outcome CheckPipeInstance(const Options&) {
  // As the service makes its instances: duplex, bytes, at most four.
  const HANDLE added = CreateNamedPipeW(kControlPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 4, 512, 512, 0, nullptr);
  const DWORD error = GetLastError();
  if (added != INVALID_HANDLE_VALUE) {
    CloseHandle(added);
    return Fail("this user added an instance of the service's pipe");
  }
  if (error != ERROR_ACCESS_DENIED) return Fail("adding an instance failed with error " + std::to_string(error));
  return Pass("adding an instance of the service's pipe is refused to this user (access denied)");
}

}  // namespace zv::kit
