// Runs a command with the standard user's half of this user's tokens (the
// limited token linked to the full one), as a desktop starts programs; wine
// gives every process the full one. Output and exit code pass through.
//   as_standard_user COMMAND-LINE
#include <windows.h>

#include <cwchar>

int wmain(int, wchar_t**) {
  wchar_t* line = GetCommandLineW();
  wchar_t* programEnd = line[0] == L'"' ? std::wcschr(line + 1, L'"') : line;  // past a quoted program path
  wchar_t* command = programEnd != nullptr ? std::wcschr(programEnd, L' ') : nullptr;
  HANDLE token = nullptr, primary = nullptr;
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (command == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size) ||
      !DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary) ||
      !CreateProcessAsUserW(primary, nullptr, command + 1, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return 125;
  }
  DWORD code = 1;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}
