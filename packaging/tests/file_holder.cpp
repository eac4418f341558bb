// Holds a file open for reading, sharing only reading, for the given
// milliseconds, as a virus scanner may hold a program that was just stopped:
// it can be neither deleted nor replaced meanwhile. Prints "held" once it holds.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(std::wcstoul(argv[2], nullptr, 10));
  CloseHandle(file);
  return 0;
}
