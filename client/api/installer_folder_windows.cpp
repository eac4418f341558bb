// The installer's folder on Windows: in the user's own temporary folder.
#include <QDir>
#include <QStandardPaths>

#include "api_client.h"

QString InstallerFolder() { return QStandardPaths::writableLocation(QStandardPaths::TempLocation) + "/Zentravolk"; }

bool PrepareInstallerFolder() { return QDir().mkpath(InstallerFolder()); }
