// What the installer leaves. Run over the installed product while a program
// holds the service open, the service must be kept (stopped, replaced,
// started), not deleted and made again, which a held handle would defer; and
// the folder the service runs from is the system's and administrators' alone.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
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

// The folder the LocalSystem service runs from, wherever it was installed: no
// ordinary user may change what is in it (or the service would run their code).
Outcome CheckInstallFolder(const Options&) {
  const std::wstring folder = ServiceFolder();
  if (folder.empty()) return Fail("the service is not registered");
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return Fail("the folder's access list could not be read (error " + std::to_string(GetLastError()) + ")");
  }
  constexpr ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                   FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;
  std::string may;
  // Users, Authenticated Users, Everyone, Interactive.
  for (const wchar_t* name : {L"S-1-5-32-545", L"S-1-5-11", L"S-1-1-0", L"S-1-5-4"}) {
    PSID sid = nullptr;
    ACCESS_MASK rights = 0;
    TRUSTEE_W trustee{};
    if (ConvertStringSidToSidW(name, &sid)) BuildTrusteeWithSidW(&trustee, sid);
    if (sid == nullptr || GetEffectiveRightsFromAclW(dacl, &trustee, &rights) != ERROR_SUCCESS || (rights & kChanges) != 0) {
      may.append(" ").append(Utf8(name));
    }
    LocalFree(sid);
  }
  LocalFree(descriptor);
  std::string said = Utf8(folder);
  if (!may.empty()) return Fail(said.append(" can be changed by (or could not be judged for):").append(may));
  return Pass(said.append(": only the system and administrators may change it"));
}

}  // namespace zv::kit
