// Where the two programs meet.
#pragma once

#include <cstdlib>
#include <string>

namespace zv {

inline constexpr wchar_t kControlPipePath[] = L"\\\\.\\pipe\\ViriZivadadivaz.Control.v1";
// What a client opens the pipe with, and all the pipe grants users: read, and
// write of data only (generic write would include adding instances of the pipe,
// with which any user could take the channel from the service).
inline constexpr unsigned long kControlPipeClientAccess = 0x80000000ul | 0x2ul;  // GENERIC_READ | FILE_WRITE_DATA
// The Windows service that serves the pipe, by the service manager's name.
inline constexpr wchar_t kServiceName[] = L"ViriZivadadivazService";
// /run is root-owned and not world-writable, so no other user can take the path first.
inline constexpr char kDefaultControlSocketPath[] = "/run/ViriZivadadivaz.Control.v1";
inline constexpr char kControlSocketVariable[] = "VIRI_ZIVADADIVAZ_CONTROL_SOCKET";

// The Linux socket path; the variable moves it for tests and unprivileged runs.
inline std::string ControlSocketPath() {
  const char* moved = std::getenv(kControlSocketVariable);
  return moved != nullptr && *moved != '\0' ? moved : kDefaultControlSocketPath;
}

}  // namespace zv
