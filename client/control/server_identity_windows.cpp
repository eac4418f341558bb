// The pipe's server, its owner and the service manager's record, each asked
// without opening the server's process.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "control_channel.h"
#include "server_identity.h"

namespace zv {
namespace {

class Win32PipeServerQueries final : public PipeServerQueries {
 public:
  std::optional<std::uint32_t> ServerProcessId(std::intptr_t pipe) override {
    ULONG process = 0;
    if (!GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(pipe), &process)) return std::nullopt;
    return process;
  }

  std::optional<PipeOwner> Owner(std::intptr_t pipe) override {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(reinterpret_cast<HANDLE>(pipe), SE_KERNEL_OBJECT,
                                         OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor);
    if (result == ERROR_PIPE_NOT_CONNECTED) return PipeOwner{true, {}};
    if (result != ERROR_SUCCESS) return std::nullopt;
    std::optional<PipeOwner> found;
    LPSTR text = nullptr;
    if (owner != nullptr && ConvertSidToStringSidA(owner, &text)) {
      found = PipeOwner{false, text};
      LocalFree(text);
    }
    LocalFree(descriptor);
    return found;
  }

  // Interactive users may query a service's status under the default service security.
  std::optional<ServiceRecord> ServiceProcess() override {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return std::nullopt;
    std::optional<ServiceRecord> record;
    if (SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS)) {
      SERVICE_STATUS_PROCESS status{};
      DWORD needed = 0;
      if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                               &needed)) {
        record = ServiceRecord{status.dwCurrentState, status.dwProcessId};
      }
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return record;
  }
};

}  // namespace

std::unique_ptr<PipeServerQueries> SystemPipeServerQueries() { return std::make_unique<Win32PipeServerQueries>(); }

bool ControlServerTrusted(std::intptr_t descriptor) { return PipeServedByTheService(*SystemPipeServerQueries(), descriptor); }

}  // namespace zv
