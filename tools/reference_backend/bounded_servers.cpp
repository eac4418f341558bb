#include "bounded_servers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>

namespace {

// How long a refused connection still drops what arrives before it closes.
constexpr int kLingerMs = 2000;

struct Head {
  QByteArray method;
  QString path;
  qint64 bodyBytes = 0;
  bool chunked = false;
  bool malformed = false;
};

Head ReadHead(const QByteArray& text) {
  Head head;
  const QList<QByteArray> lines = text.split('\n');
  const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
  head.method = requestLine.value(0);
  head.path = QUrl(QString::fromLatin1(requestLine.value(1))).path();
  bool lengthSeen = false;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const qsizetype colon = lines[i].indexOf(':');
    if (colon < 0) continue;
    const QByteArray name = lines[i].left(colon).trimmed().toLower();
    const QByteArray value = lines[i].mid(colon + 1).trimmed();
    if (name == "transfer-encoding") head.chunked = true;
    if (name != "content-length") continue;
    bool number = false;
    const qint64 length = value.toLongLong(&number);
    // Two different lengths could frame the body differently here and in QHttpServer.
    if (!number || length < 0 || (lengthSeen && length != head.bodyBytes)) head.malformed = true;
    head.bodyBytes = length;
    lengthSeen = true;
  }
  return head;
}

// Follows one connection's requests by their framing alone: a head up to its
// blank line, then as many body bytes as it announces. It is connected to
// readyRead before QHttpServer is, so it peeks at each arrival before
// QHttpServer reads it (all of it, keeping it in a transaction until the
// request is complete) in the same signal.
class BodyLimit : public QObject {
 public:
  explicit BodyLimit(QTcpSocket* socket) : QObject(socket), socket(socket) {
    connect(socket, &QIODevice::readyRead, this, &BodyLimit::Inspect);
  }

 private:
  void Inspect() {
    if (refused) return Drop();
    QByteArray arrived = socket->peek(socket->bytesAvailable());
    qsizetype at = 0;
    while (at < arrived.size()) {
      if (bodyLeft > 0) {
        const qint64 taken = std::min<qint64>(bodyLeft, arrived.size() - at);
        bodyLeft -= taken;
        at += taken;
        continue;
      }
      const qsizetype searchFrom = std::max<qsizetype>(0, head.size() - 3);  // the blank line may straddle arrivals
      head += arrived.mid(at);
      const qsizetype end = head.indexOf("\r\n\r\n", searchFrom);
      if (end < 0 || end > kMaxHeadBytes) {
        if (head.size() > kMaxHeadBytes) {
          Refuse(ReadHead(head.left(kMaxHeadBytes)), 431, "Request Header Fields Too Large", "请求头过大");
        }
        return;
      }
      const Head current = ReadHead(head.left(end));
      arrived = head.mid(end + 4);  // the body and whatever follows it
      at = 0;
      head.clear();
      if (current.malformed) return Refuse(current, 400, "Bad Request", "请求格式无效");
      // A chunked body has no length to check before it is all in.
      if (current.chunked) return Refuse(current, 411, "Length Required", "请求须注明内容长度");
      if (current.bodyBytes > kMaxBodyBytes) return Refuse(current, 413, "Payload Too Large", "请求内容过大");
      bodyLeft = current.bodyBytes;
    }
  }

  void Refuse(const Head& current, int status, const char* reason, const QString& message) {
    refused = true;
    const QByteArray body = QJsonDocument(QJsonObject{{"message", message}}).toJson(QJsonDocument::Compact);
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                  "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                  "\r\nConnection: close\r\n\r\n" + body);
    Drop();  // QHttpServer, reading next, finds nothing
    LogExchange(current.method, current.path, status);
    // Closing with unread data would reset the connection, and the client could lose the answer.
    QTimer::singleShot(kLingerMs, socket, [socket = socket] { socket->disconnectFromHost(); });
  }

  // QHttpServer reads inside a transaction, which would keep every byte dropped here.
  void Drop() {
    if (socket->isTransactionStarted()) socket->commitTransaction();
    socket->skip(socket->bytesAvailable());
  }

  QTcpSocket* socket;
  QByteArray head;      // the current request's head while its blank line has not come
  qint64 bodyLeft = 0;  // the current request's body bytes still to come
  bool refused = false;
};

}  // namespace

void LogExchange(const QByteArray& method, const QString& path, int status) {
  std::printf("zv-backend: %s %s -> %d\n", method.constData(), qPrintable(path), status);
  std::fflush(stdout);
}

QTcpSocket* BoundedTcpServer::nextPendingConnection() {
  QTcpSocket* socket = QTcpServer::nextPendingConnection();
  if (socket) new BodyLimit(socket);
  return socket;
}

QTcpSocket* BoundedSslServer::nextPendingConnection() {
  QTcpSocket* socket = QSslServer::nextPendingConnection();
  if (socket) new BodyLimit(socket);
  return socket;
}
