// Holds a file open for reading, sharing only reading, for the given
// milliseconds, as a virus scanner may hold a program that was just stopped:
// it can be neither deleted nor replaced meanwhile. Given service:NAME it holds
// that service open instead, as the Services window does: deleted meanwhile, it
// is only marked for deletion. Prints "held" once it holds.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const bool service = std::wcsncmp(argv[1], L"service:", 8) == 0;
  SC_HANDLE manager = service ? OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT) : nullptr;
  SC_HANDLE held = service ? OpenServiceW(manager, argv[1] + 8, SERVICE_QUERY_STATUS) : nullptr;
  HANDLE file = service ? nullptr : CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (service ? held == nullptr : file == INVALID_HANDLE_VALUE) return 1;
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(std::wcstoul(argv[2], nullptr, 10));
  if (service) CloseServiceHandle(held), CloseServiceHandle(manager);
  else CloseHandle(file);
  return 0;
}
