// Closes a top-level window by its title the way its title bar button does:
// WM_CLOSE. Exit status 1 when there is no such window.
//   close_window.exe TITLE
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  HWND window = argc == 2 ? FindWindowW(nullptr, argv[1]) : nullptr;
  return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
}
