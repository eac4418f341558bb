#include "single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

QString SingleInstance::UserChannel() {
#ifdef Q_OS_WIN
  const QByteArray home = QDir::homePath().toUtf8();
  return "zentravolk-client-" + QCryptographicHash::hash(home, QCryptographicHash::Sha256).toHex().left(16);
#else
  // Qt refuses a runtime folder that is not the user's alone (another user may
  // have made it first in the shared temporary folder): then there is none.
  const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  return runtime.isEmpty() ? QString() : runtime + "/zentravolk-client";
#endif
}

SingleInstance::SingleInstance(const QString& channel, std::chrono::milliseconds answerWait, QObject* parent)
    : QObject(parent) {
  if (channel.isEmpty()) {
    outcome = Start::NoChannel;
    return;
  }
  QLocalSocket running;
  running.connectToServer(channel);
  if (running.waitForConnected(500)) {
    // The running client answers once it has shown itself.
    if (running.waitForReadyRead(static_cast<int>(answerWait.count()))) {
      outcome = Start::ShownOther;
      return;
    }
    outcome = Start::OtherUnresponsive;
  }
  // Only this user may connect. On Linux the socket is made aside and moved into
  // place, which also replaces one that a dead or hung client holds.
  server.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server.listen(channel)) {
    if (outcome == Start::First) outcome = Start::NoChannel;
    return;
  }
  connect(&server, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* later = server.nextPendingConnection()) {
      emit ShowRequested();
      connect(later, &QLocalSocket::disconnected, later, &QObject::deleteLater);
      later->write("1");
      later->disconnectFromServer();  // after the byte is written
    }
  });
}
