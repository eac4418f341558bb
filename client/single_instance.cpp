#include "single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace {

// A connection is the whole request: the running client answers it by showing itself.
bool AskRunningToShow(const QString& channel) {
  QLocalSocket socket;
  socket.connectToServer(channel);
  return socket.waitForConnected(500);
}

}  // namespace

QString SingleInstance::UserChannel() {
#ifndef Q_OS_WIN
  if (const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty()) {
    return runtime + "/zentravolk-client";
  }
#endif
  const QByteArray home = QDir::homePath().toUtf8();
  return "zentravolk-client-" + QCryptographicHash::hash(home, QCryptographicHash::Sha256).toHex().left(16);
}

SingleInstance::SingleInstance(const QString& channel, QObject* parent) : QObject(parent) {
  if (AskRunningToShow(channel)) return;
  // Only this user may connect. On Linux the socket is made aside and moved into
  // place, which also replaces one that a client that died left behind.
  server.setSocketOptions(QLocalServer::UserAccessOption);
  server.listen(channel);
  connect(&server, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* later = server.nextPendingConnection()) {
      later->deleteLater();
      emit ShowRequested();
    }
  });
}
