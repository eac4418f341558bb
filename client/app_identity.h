// The application identity: it names the settings store, and its version is
// the one the release check compares against.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QSysInfo>

namespace zv {

inline constexpr char kApplicationName[] = "ZENTRAVOLK";
inline constexpr char kApplicationVersion[] = "0.4.0";
inline constexpr char kOrganizationName[] = "ZENTRAVOLK COM LLC";

// The release check asks for this machine's own builds. Windows downloads and
// starts the installer; elsewhere the package manager brings new releases.
#ifdef _WIN32
// Without a split the driver is not opened, and nothing tells the game's traffic apart.
inline constexpr bool kGameSeenInWholeTunnel = false;
inline constexpr bool kUpdatesByInstaller = true;
inline QString ReleasePlatform() { return QStringLiteral("windows-x64"); }
#else
inline constexpr bool kGameSeenInWholeTunnel = true;
inline constexpr bool kUpdatesByInstaller = false;
inline QString ReleasePlatform() {
  const QString cpu = QSysInfo::buildCpuArchitecture();
  return "linux-" + (cpu == "x86_64" ? QStringLiteral("x64") : cpu);
}
#endif

inline void ApplyApplicationIdentity() {
  QCoreApplication::setApplicationName(kApplicationName);
  QCoreApplication::setApplicationVersion(kApplicationVersion);
  QCoreApplication::setOrganizationName(kOrganizationName);
}

}  // namespace zv
