// The installer's folder outside Windows: in the user's runtime folder, and
// only if it is the user's alone, so that no other local user can swap the
// verified installer before it runs.
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QStandardPaths>
#include <cerrno>

#include "api_client.h"

QString InstallerFolder() {
  const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  return runtime.isEmpty() ? QString() : runtime + "/Zentravolk";
}

bool PrepareInstallerFolder() {
  const QByteArray path = QFile::encodeName(InstallerFolder());
  if (path.isEmpty() || (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)) return false;
  struct stat folder {};
  return lstat(path.constData(), &folder) == 0 && S_ISDIR(folder.st_mode) && folder.st_uid == geteuid() &&
         (folder.st_mode & 077) == 0;
}
