// Listeners for zv-backend whose connections are watched before QHttpServer
// reads them. Qt 6.4's QHttpServer keeps a request's whole body in memory
// before any route sees it and sets no limit, so a limit has to act on the
// socket: a request announcing a body over kMaxBodyBytes is answered 413 as
// soon as its head is in, and its body is dropped unread.
#pragma once

#include <QMap>
#include <QSslServer>
#include <QString>
#include <QTcpServer>
#include <functional>
#include <optional>

// The client's bodies are well under 4 KiB.
constexpr qint64 kMaxBodyBytes = 64 * 1024;
constexpr qint64 kMaxHeadBytes = 64 * 1024;

// One line per answered request, the form the demo and the tests read.
void LogExchange(const QByteArray& method, const QString& path, int status);

// One request as it came in.
struct Exchange {
  QByteArray method;
  QByteArray target;                     // path and query
  QMap<QByteArray, QByteArray> headers;  // names in lower case
  QByteArray body;
};

// An answer of the client tests' own, given instead of the backend's.
struct Scripted {
  int status = 200;
  QByteArray body = "{}";
  int delayMs = 0;
  bool silent = false;        // never answer at all
  qsizetype cutAfter = -1;    // the head announces the whole body; this much of it comes, then nothing
  bool closeAfterCut = true;  // the connection then ends; otherwise it stalls
};

// For the client's tests, which run the backend in process: every request as
// it comes, and a scripted answer for those `script` answers.
struct ServerHooks {
  std::function<void(const Exchange&)> heard;
  std::function<std::optional<Scripted>(const Exchange&)> script;
};

class BoundedTcpServer : public QTcpServer {
 public:
  explicit BoundedTcpServer(const ServerHooks* hooks = nullptr) : hooks(hooks) {}
  QTcpSocket* nextPendingConnection() override;

 private:
  const ServerHooks* hooks;
};

class BoundedSslServer : public QSslServer {
 public:
  explicit BoundedSslServer(const ServerHooks* hooks = nullptr) : hooks(hooks) {}
  QTcpSocket* nextPendingConnection() override;

 private:
  const ServerHooks* hooks;
};
