// Listeners for zv-backend whose connections are watched before QHttpServer
// reads them. Qt 6.4's QHttpServer keeps a request's whole body in memory
// before any route sees it and sets no limit, so a limit has to act on the
// socket: a request announcing a body over kMaxBodyBytes is answered 413 as
// soon as its head is in, and its body is dropped unread.
#pragma once

#include <QSslServer>
#include <QString>
#include <QTcpServer>

// The client's bodies are well under 4 KiB.
constexpr qint64 kMaxBodyBytes = 64 * 1024;
constexpr qint64 kMaxHeadBytes = 64 * 1024;

// One line per answered request, the form the demo and the tests read.
void LogExchange(const QByteArray& method, const QString& path, int status);

class BoundedTcpServer : public QTcpServer {
 public:
  QTcpSocket* nextPendingConnection() override;
};

class BoundedSslServer : public QSslServer {
 public:
  QTcpSocket* nextPendingConnection() override;
};
