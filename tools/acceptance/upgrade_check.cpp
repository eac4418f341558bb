// The installer run over the installed product while a program holds the
// service open: the service must be kept (stopped, replaced, started), not
// deleted and made again, which a held handle would defer.
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <vector>

#include "control_channel.h"
#include "kit.h"

namespace zv::kit {
namespace {

std::optional<SERVICE_STATUS_PROCESS> Status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                            &needed)) {
    return std::nullopt;
  }
  return status;
}

// Start type and account as the service manager holds them.
std::string Configuration(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<std::uint8_t> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service, config, needed, &needed)) return "?";
  return (config->dwStartType == SERVICE_AUTO_START ? "automatic, " : "start type " +
                                                                           std::to_string(config->dwStartType) + ", ") +
         Utf8(config->lpServiceStartName != nullptr ? config->lpServiceStartName : L"?");
}

}  // namespace

Outcome CheckUpgrade(const Options& options) {
  if (options.installer.empty()) return Fail("no installer given (--installer PATH)");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  // Held for the whole upgrade, as any program watching the service may hold it.
  SC_HANDLE held = manager != nullptr ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
  const auto before = held != nullptr ? Status(held) : std::nullopt;
  if (!before || before->dwCurrentState != SERVICE_RUNNING) {
    if (held != nullptr) CloseServiceHandle(held);
    if (manager != nullptr) CloseServiceHandle(manager);
    return Fail("the service is not installed and running before the upgrade");
  }

  // The installer asks for an administrator; a standard user is asked to consent.
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  run.lpVerb = L"runas";
  run.lpFile = options.installer.c_str();
  run.lpParameters = L"/S";
  run.nShow = SW_HIDE;
  std::string failure;
  DWORD code = 1;
  if (!ShellExecuteExW(&run) || run.hProcess == nullptr) {
    failure = "the installer did not start (error " + std::to_string(GetLastError()) + ")";
  } else {
    if (WaitForSingleObject(run.hProcess, 300000) != WAIT_OBJECT_0) failure = "the installer did not end within 5 minutes";
    GetExitCodeProcess(run.hProcess, &code);
    CloseHandle(run.hProcess);
    if (failure.empty() && code != 0) failure = "the installer ended with " + std::to_string(code);
  }

  std::optional<SERVICE_STATUS_PROCESS> after;
  for (int wait = 0; failure.empty() && wait < 100; ++wait, Sleep(100)) {
    after = Status(held);  // the very service object that was held
    if (after && after->dwCurrentState == SERVICE_RUNNING) break;
  }
  std::string configuration = "?";
  if (SC_HANDLE fresh = OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG)) {
    configuration = Configuration(fresh);
    CloseServiceHandle(fresh);
  }
  CloseServiceHandle(held);
  CloseServiceHandle(manager);
  if (!failure.empty()) return Fail(failure);
  if (!after || after->dwCurrentState != SERVICE_RUNNING) {
    return Fail("the held service is not running after the upgrade (state " +
                (after ? std::to_string(after->dwCurrentState) : std::string("unknown: deleted?")) + ")");
  }
  if (after->dwProcessId == before->dwProcessId) return Fail("the service was not restarted by the upgrade");
  if (configuration != "automatic, LocalSystem") return Fail("the service is registered as " + configuration);
  const Outcome identity = CheckIdentity(options);
  if (!identity.passed) return Fail("after the upgrade: " + identity.detail);
  return Pass("the held service went from process " + std::to_string(before->dwProcessId) + " to " +
              std::to_string(after->dwProcessId) + ", " + configuration + ", and passes the identity check");
}

}  // namespace zv::kit
