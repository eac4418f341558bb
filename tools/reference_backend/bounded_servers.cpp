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
  Exchange exchange;  // what the tests' hooks see
};

Head ReadHead(const QByteArray& text) {
  Head head;
  const QList<QByteArray> lines = text.split('\n');
  const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
  head.method = head.exchange.method = requestLine.value(0);
  head.exchange.target = requestLine.value(1);
  head.path = QUrl(QString::fromLatin1(requestLine.value(1))).path();
  bool lengthSeen = false;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const qsizetype colon = lines[i].indexOf(':');
    if (colon < 0) continue;
    const QByteArray name = lines[i].left(colon).trimmed().toLower();
    const QByteArray value = lines[i].mid(colon + 1).trimmed();
    QByteArray asSent = lines[i].mid(colon + 1);  // a value may end in a blank ("Bearer ")
    asSent.chop(asSent.endsWith('\r') ? 1 : 0);
    while (asSent.startsWith(' ')) asSent.remove(0, 1);
    head.exchange.headers[name] = asSent;
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
  BodyLimit(QTcpSocket* socket, const ServerHooks* hooks) : QObject(socket), socket(socket), hooks(hooks) {
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
        if (hooks) exchange.body += arrived.mid(at, taken);
        bodyLeft -= taken;
        at += taken;
        if (bodyLeft == 0 && Heard()) return;
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
      exchange = current.exchange;
      if (bodyLeft == 0 && Heard()) return;
    }
  }

  // A whole request is in: the tests hear it, and may answer it themselves.
  bool Heard() {
    if (hooks == nullptr) return false;
    if (hooks->heard) hooks->heard(exchange);
    const std::optional<Scripted> scripted = hooks->script ? hooks->script(exchange) : std::nullopt;
    if (!scripted) return false;
    refused = true;  // QHttpServer never sees it, nor anything after it
    Drop();
    LogExchange(exchange.method, QUrl(QString::fromLatin1(exchange.target)).path(), scripted->status);
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(scripted->status) + " Scripted\r\n";
    const bool bodied = scripted->status != 204 && scripted->status != 304;
    if (bodied) {
      answer += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(scripted->body.size()) + "\r\n";
    }
    answer += "Connection: close\r\n\r\n";
    if (bodied) answer += scripted->cutAfter < 0 ? scripted->body : scripted->body.left(scripted->cutAfter);
    if (scripted->silent) return true;
    const bool close = scripted->cutAfter < 0 || scripted->closeAfterCut;
    QTimer::singleShot(scripted->delayMs, socket, [socket = socket, answer, close] {
      socket->write(answer);
      if (close) socket->disconnectFromHost();
    });
    return true;
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
  const ServerHooks* hooks;
  Exchange exchange;    // the current request, for the hooks
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
  if (socket) new BodyLimit(socket, hooks);
  return socket;
}

QTcpSocket* BoundedSslServer::nextPendingConnection() {
  QTcpSocket* socket = QSslServer::nextPendingConnection();
  if (socket) new BodyLimit(socket, hooks);
  return socket;
}
