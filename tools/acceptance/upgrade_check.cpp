// What the installer leaves. Run over the installed product while a program
// holds the service open, the service must be kept (stopped, replaced,
// started), not deleted and made again, which a held handle would defer; and
// the folder the service runs from is the system's and administrators' alone.
#include <windows.h>
#include <tlhelp32.h>

#include <optional>
#include <set>
#include <vector>

#include "control_channel.h"
#include "file_rights.h"
#include "kit.h"
#include "nt_calls_windows.h"

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

// The clients running now, by process id.
std::set<DWORD> Clients() {
  std::set<DWORD> found;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"zentravolk-client.exe") == 0) found.insert(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return found;
}

// Whether a process runs unelevated as this very user, or what it runs as.
std::string RunsAs(DWORD processId) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  HANDLE token = nullptr, own = nullptr;
  if (process == nullptr || !OpenProcessToken(process, TOKEN_QUERY, &token) ||
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
    if (process != nullptr) CloseHandle(process);
    return "not open to this user (elevated, or another user's)";
  }
  TOKEN_ELEVATION elevation{};
  std::uint8_t theirs[256] = {}, ours[256] = {};
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                    GetTokenInformation(token, TokenUser, theirs, sizeof theirs, &size) &&
                    GetTokenInformation(own, TokenUser, ours, sizeof ours, &size);
  const bool sameUser = read && EqualSid(reinterpret_cast<TOKEN_USER*>(theirs)->User.Sid,
                                         reinterpret_cast<TOKEN_USER*>(ours)->User.Sid);
  CloseHandle(own);
  CloseHandle(token);
  CloseHandle(process);
  if (!read) return "of a token that could not be read";
  if (elevation.TokenIsElevated) return "elevated";
  return sameUser ? "unelevated as this user" : "as another user";
}

}  // namespace

// Run as the client runs it for an update: the held service stopped, replaced
// and started in a new process, and the client started again unelevated as the
// signed-in user. Says how long the service (and so the tunnel) was away.
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
  const std::set<DWORD> earlierClients = Clients();

  // The installer asks for an administrator; a standard user is asked to consent.
  std::string failure;
  DWORD code = 1;
  // Watched every 20 ms: the last instant the old process ran, the first the new one does.
  std::optional<SERVICE_STATUS_PROCESS> after;
  ULONGLONG lastOld = GetTickCount64(), firstNew = 0;
  const auto watch = [&] {
    after = Status(held);  // the very service object that was held
    if (!after || after->dwCurrentState != SERVICE_RUNNING) return false;
    if (after->dwProcessId == before->dwProcessId) lastOld = GetTickCount64();
    else if (firstNew == 0) firstNew = GetTickCount64();
    return firstNew != 0;
  };
  // As the client starts it for an update.
  const HANDLE installer = RunElevated(options.installer.c_str(), L"/S /UPDATE");
  if (installer == nullptr) {
    failure = "the installer did not start (error " + std::to_string(GetLastError()) + ")";
  } else {
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(installer, 20) == WAIT_TIMEOUT && GetTickCount64() - start < 300000) watch();
    if (WaitForSingleObject(installer, 0) != WAIT_OBJECT_0) failure = "the installer did not end within 5 minutes";
    GetExitCodeProcess(installer, &code);
    CloseHandle(installer);
    if (failure.empty() && code != 0) failure = "the installer ended with " + std::to_string(code);
  }
  for (int wait = 0; failure.empty() && wait < 500 && !watch(); ++wait) Sleep(20);
  std::optional<DWORD> client;
  ULONGLONG clientAt = 0;
  for (int wait = 0; failure.empty() && wait < 500 && !client; ++wait, Sleep(20)) {
    for (const DWORD id : Clients()) {
      if (earlierClients.count(id) == 0) client = id, clientAt = GetTickCount64();
    }
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
  if (firstNew == 0) return Fail("the service was not restarted by the upgrade");
  if (configuration != "automatic, LocalSystem") return Fail("the service is registered as " + configuration);
  const Outcome identity = CheckIdentity(options);
  if (!identity.passed) return Fail("after the upgrade: " + identity.detail);
  const std::string away = "the held service went from process " + std::to_string(before->dwProcessId) + " to " +
                           std::to_string(after->dwProcessId) + " (away " + std::to_string(firstNew - lastOld) +
                           " ms), " + configuration + ", and passes the identity check";
  if (!client) return Fail(away + "; but no client was started again");
  const std::string runsAs = RunsAs(*client);
  const long long clientAfter = static_cast<long long>(clientAt) - static_cast<long long>(firstNew);
  const std::string back = "; the client (process " + std::to_string(*client) + ") was back " +
                           std::to_string(clientAfter) + " ms after the service, " + runsAs;
  return runsAs == "unelevated as this user" ? Pass(away + back) : Fail(away + back);
}

// The recovery actions as the service manager holds them: "restart/5000, ... (reset after N s)".
std::string RecoveryActions(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  std::vector<std::uint8_t> buffer(needed);
  auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed, &needed)) {
    return "unreadable";
  }
  std::string said;
  for (DWORD i = 0; i < actions->cActions; ++i) {
    const SC_ACTION& action = actions->lpsaActions[i];
    const char* type = action.Type == SC_ACTION_RESTART ? "restart" : action.Type == SC_ACTION_NONE ? "none" : "other";
    said += (i == 0 ? "" : ", ") + std::string(type) + "/" + std::to_string(action.Delay);
  }
  return said + " (reset after " + std::to_string(actions->dwResetPeriod) + " s)";
}

// A service that crashes comes back by itself: ended outright, as a crash ends
// it (the kill needs an administrator's consent), it runs again in a new
// process within 10 s, its first restart being 5 s after the crash.
Outcome CheckRecovery(const Options&) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager != nullptr ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr;
  const auto close = [&] {
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
  };
  const SERVICE_STATUS_PROCESS before =
      (service != nullptr ? Status(service) : std::nullopt).value_or(SERVICE_STATUS_PROCESS{});
  if (before.dwCurrentState != SERVICE_RUNNING) {
    close();
    return Fail("the service is not running");
  }
  const std::string actions = RecoveryActions(service);
  const HANDLE kill = RunElevated(L"taskkill.exe", L"/f /pid " + std::to_wstring(before.dwProcessId));
  if (kill == nullptr) {
    close();
    return Fail("taskkill did not run elevated (error " + std::to_string(GetLastError()) + ")");
  }
  const ULONGLONG killed = GetTickCount64();
  WaitForSingleObject(kill, 30000);
  CloseHandle(kill);
  std::optional<SERVICE_STATUS_PROCESS> after;
  for (int wait = 0; wait < 750; ++wait, Sleep(20)) {
    after = Status(service);
    if (after && after->dwCurrentState == SERVICE_RUNNING && after->dwProcessId != before.dwProcessId) break;
  }
  close();
  const ULONGLONG took = GetTickCount64() - killed;
  if (!after || after->dwCurrentState != SERVICE_RUNNING || after->dwProcessId == before.dwProcessId || took > 10000) {
    return Fail("the killed service was not running again within 10 s; recovery actions: " + actions);
  }
  return Pass("killed process " + std::to_string(before.dwProcessId) + ", running again as " +
              std::to_string(after->dwProcessId) + " after " + std::to_string(took) + " ms; recovery actions: " + actions);
}

// The owner and access list of a file or folder, as SDDL, read as the service
// reads wireguard.dll's; empty when unreadable.
std::string SecurityText(const std::wstring& path) {
  WindowsNtLibraryCalls files;
  const FileHandle held = files.HoldFile(std::u16string(path.begin(), path.end()));
  if (held == nullptr) return {};
  std::string sddl = files.FileSecurity(held);
  files.ReleaseFile(held);
  return sddl;
}

// The folder the LocalSystem service runs from, wherever it was installed, and
// everything in it (the service, the library it loads, its record): nobody but
// the system and the administrators may own or change any of it, or the
// service would run their code. The folder alone is not enough: a file moved
// in on the same volume keeps its owner and access list.
Outcome CheckInstallFolder(const Options&) {
  const std::wstring folder = ServiceFolder();
  if (folder.empty()) return Fail("the service is not registered");
  std::vector<std::wstring> paths = {folder};
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") paths.push_back(folder + L"\\" + name);
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  std::string failures;
  for (const std::wstring& path : paths) {
    const std::string sddl = SecurityText(path);
    const std::string others = sddl.empty() ? "its access list could not be read" : OthersWhoMayChange(sddl);
    if (!others.empty()) failures.append(failures.empty() ? "" : "; ").append(Utf8(path)).append(": ").append(others);
  }
  if (!failures.empty()) return Fail(failures);
  return Pass(Utf8(folder) + " and the " + std::to_string(paths.size() - 1) +
              " files in it: only the system and administrators own or may change them");
}

}  // namespace zv::kit
