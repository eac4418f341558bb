// Plays accelerator-service on its socket, on a thread of its own (the
// client's exchanges block the GUI thread): every request is recorded and
// answered with the reply scripted for its operation.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "control_channel.h"
#include "control_client.h"
#include "control_frame.h"

namespace zv::test {

// A reply as the service frames it; `announced` overrides the body length in the header.
inline QByteArray Framed(std::uint64_t id, std::uint32_t status, const QByteArray& body, qsizetype announced = -1) {
  const auto head = EncodeReplyHeader(id, status, static_cast<std::uint32_t>(announced < 0 ? body.size() : announced));
  return QByteArray(reinterpret_cast<const char*>(head.data()), head.size()) + body;
}

class StandInService {
 public:
  struct Request {
    ControlRequestHeader header;
    QByteArray body;
    quint16 operation() const { return header.operation; }
  };
  // Writes whatever bytes the test makes of the request, well-formed or not.
  using RawReply = std::function<QByteArray(const Request&)>;

  StandInService() {
    qputenv(kControlSocketVariable, (folder.path() + "/control.sock").toUtf8());
    thread.reset(QThread::create([this] { Serve(); }));
    thread->start();
    listening.acquire();
  }
  ~StandInService() {
    stopping = true;
    thread->wait();
  }
  void Script(quint16 operation, std::uint32_t status, QByteArray body) {
    QMutexLocker hold(&mutex);
    replies[operation] = {status, std::move(body)};
  }
  void ScriptRaw(RawReply reply) {
    QMutexLocker hold(&mutex);
    raw = std::move(reply);
  }
  // The workflow's requests; the quality line's polls, one a second while accelerating, are counted apart.
  QList<Request> Requests() {
    QMutexLocker hold(&mutex);
    return requests;
  }
  int QualityPolls() {
    QMutexLocker hold(&mutex);
    return qualityPolls;
  }

 private:
  void Serve() {
    QLocalServer server;
    server.listen(ControlServerName());  // the variable moved it into `folder`, where there is a path
    listening.release();
    while (!stopping) {
      if (!server.waitForNewConnection(20)) continue;
      std::unique_ptr<QLocalSocket> client(server.nextPendingConnection());
      Request request{};
      RequestHeaderBytes head{};
      if (!ReadExactly(*client, reinterpret_cast<char*>(head.data()), head.size())) continue;
      request.header = DecodeRequestHeader(head);
      request.body.resize(static_cast<qsizetype>(request.header.bodyLength));
      if (!request.body.isEmpty() && !ReadExactly(*client, request.body.data(), request.body.size())) continue;
      // Unscripted: idle, and no quality figures (as a service without them answers).
      const bool quality = request.operation() == static_cast<quint16>(ControlOperation::QueryQuality);
      std::pair<std::uint32_t, QByteArray> reply{quality ? 1 : 0,
                                                 quality ? R"({"error":"unknown_operation"})" : R"({"state":"idle"})"};
      RawReply rawReply;
      {
        QMutexLocker hold(&mutex);
        if (quality) ++qualityPolls;
        else requests.append(request);
        if (const auto found = replies.find(request.operation()); found != replies.end()) reply = found->second;
        rawReply = raw;
      }
      client->write(rawReply ? rawReply(request) : Framed(request.header.requestId, reply.first, reply.second));
      client->waitForBytesWritten(1000);
      client->disconnectFromServer();
    }
  }

  QTemporaryDir folder;
  QSemaphore listening;
  std::unique_ptr<QThread> thread;
  std::atomic<bool> stopping{false};
  QMutex mutex;
  std::map<quint16, std::pair<std::uint32_t, QByteArray>> replies;
  RawReply raw;
  QList<Request> requests;
  int qualityPolls = 0;
};

}  // namespace zv::test
