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

  // status and body per operation
  void Script(quint16 operation, std::uint32_t status, QByteArray body) {
    QMutexLocker hold(&mutex);
    replies[operation] = {status, std::move(body)};
  }
  void ScriptRaw(RawReply reply) {
    QMutexLocker hold(&mutex);
    rawScript = std::move(reply);
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
      RequestHeaderBytes raw{};
      if (!ReadExactly(*client, reinterpret_cast<char*>(raw.data()), raw.size())) continue;
      const ControlRequestHeader header = DecodeRequestHeader(raw);
      QByteArray body(static_cast<qsizetype>(header.bodyLength), '\0');
      if (!body.isEmpty() && !ReadExactly(*client, body.data(), body.size())) continue;
      const Request request{header, body};
      // Unscripted: idle, and no quality figures (as a service without them answers).
      const bool quality = header.operation == static_cast<quint16>(ControlOperation::QueryQuality);
      std::pair<std::uint32_t, QByteArray> reply =
          quality ? std::pair<std::uint32_t, QByteArray>{1, R"({"error":"unknown_operation"})"}
                  : std::pair<std::uint32_t, QByteArray>{0, R"({"state":"idle"})"};
      RawReply rawReply;
      {
        QMutexLocker hold(&mutex);
        if (quality) ++qualityPolls;
        else requests.append(request);
        if (const auto found = replies.find(header.operation); found != replies.end()) reply = found->second;
        rawReply = rawScript;
      }
      if (rawReply) {
        client->write(rawReply(request));
      } else {
        const auto head = EncodeReplyHeader(header.requestId, reply.first, static_cast<std::uint32_t>(reply.second.size()));
        client->write(reinterpret_cast<const char*>(head.data()), head.size());
        client->write(reply.second);
      }
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
  RawReply rawScript;
  QList<Request> requests;
  int qualityPolls = 0;
};

}  // namespace zv::test
