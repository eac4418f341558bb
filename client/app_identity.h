// The application identity: it names the settings store, and its version is
// the one the release check compares against.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace zv {

inline constexpr char kApplicationName[] = "ZENTRAVOLK";
inline constexpr char kApplicationVersion[] = "0.4.0";
inline constexpr char kOrganizationName[] = "ZENTRAVOLK COM LLC";

inline void ApplyApplicationIdentity() {
  QCoreApplication::setApplicationName(kApplicationName);
  QCoreApplication::setApplicationVersion(kApplicationVersion);
  QCoreApplication::setOrganizationName(kOrganizationName);
}

}  // namespace zv
