// Where the two programs meet.
#pragma once

namespace zv {

inline constexpr char kControlPipeName[] = "ViriZivadadivaz.Control.v1";
inline constexpr wchar_t kControlPipePath[] = L"\\\\.\\pipe\\ViriZivadadivaz.Control.v1";
// /run is root-owned and not world-writable, so no other user can take the path first.
inline constexpr char kDefaultControlSocketPath[] = "/run/ViriZivadadivaz.Control.v1";
inline constexpr char kControlSocketVariable[] = "VIRI_ZIVADADIVAZ_CONTROL_SOCKET";

}  // namespace zv
