// zv-slow-socket: a busy accelerator-service, for the end-to-end roads. It
// listens on LISTEN and passes each connection on to the service's socket
// TARGET, holding it DELAY_MS first while the file SWITCH exists, as a service
// busy with a slow repair holds its callers.
//   zv-slow-socket LISTEN TARGET SWITCH DELAY_MS
#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() != 5) {
    std::fprintf(stderr, "usage: zv-slow-socket LISTEN TARGET SWITCH DELAY_MS\n");
    return 2;
  }
  QLocalServer server;
  server.setSocketOptions(QLocalServer::WorldAccessOption);
  QLocalServer::removeServer(arguments[1]);
  if (!server.listen(arguments[1])) {
    std::fprintf(stderr, "zv-slow-socket: cannot listen on %s\n", qPrintable(arguments[1]));
    return 1;
  }
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    while (QLocalSocket* caller = server.nextPendingConnection()) {
      auto* service = new QLocalSocket(caller);
      const auto relay = [](QLocalSocket* from, QLocalSocket* to) {
        QObject::connect(from, &QLocalSocket::readyRead, to, [from, to] {
          if (to->state() == QLocalSocket::ConnectedState) to->write(from->readAll());
        });
        QObject::connect(from, &QLocalSocket::disconnected, to, [to] { to->disconnectFromServer(); });
      };
      relay(caller, service);
      relay(service, caller);
      QObject::connect(service, &QLocalSocket::connected, caller, [caller, service] { service->write(caller->readAll()); });
      QObject::connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
      const int delay = QFile::exists(arguments[3]) ? arguments[4].toInt() : 0;
      QTimer::singleShot(delay, service, [service, target = arguments[2]] { service->connectToServer(target); });
    }
  });
  return QCoreApplication::exec();
}
