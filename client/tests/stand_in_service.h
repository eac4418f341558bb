// Plays accelerator-service on its socket, on a thread of its own (the
// client's exchanges block the GUI thread): a start makes it accelerate, a
// stop makes it idle, the queries answer that state, and the quality while
// accelerating is whatever the test sets. Every request is recorded; a test
// may script any operation's reply, make every answer late, make the service
// vanish and come back, or restart it with nothing held.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QSemaphore>
#include <QString>
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

// Quality answers while accelerating: any members, or a path that is up with these figures.
inline QByteArray Quality(const QString& members) { return (R"({"state":"accelerating",)" + members + "}").toUtf8(); }
inline QByteArray Up(int up, int rtt, int loss, int silent, int heard, int handshake) {
  return Quality(QString(R"("path":"up","repair_ms":0,"reason":"","up_ms":%1,"probes":10,"rtt_ms":%2,)"
                         R"("loss_percent":%3,"silent_ms":%4,"heard_ms":%5,"handshake_ms":%6)")
                     .arg(up).arg(rtt).arg(loss).arg(silent).arg(heard).arg(handshake));
}
inline constexpr char kHealthyPath[] =
    R"({"state":"accelerating","path":"up","repair_ms":0,"reason":"","up_ms":60000,"probes":10,"rtt_ms":23,)"
    R"("loss_percent":0,"silent_ms":400,"heard_ms":400,"handshake_ms":30000})";
// A quality answer with more members: `With(kHealthyPath, R"("game_before_start":true)")`.
inline QByteArray With(QByteArray quality, const QByteArray& members) { return quality.replace("}", "," + members + "}"); }

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
    ready.acquire();
  }
  ~StandInService() { stopping = true, thread->wait(); }
  void Script(quint16 operation, std::uint32_t status, QByteArray body) {
    const QMutexLocker hold(&mutex);
    replies[operation] = {status, std::move(body)};
  }
  void ScriptRaw(RawReply reply) { const QMutexLocker hold(&mutex); raw = std::move(reply); }
  void SetQuality(QByteArray body) { const QMutexLocker hold(&mutex); quality = std::move(body); }
  void SetDelay(int ms) { delayMs = ms; }
  // Gone: nobody listens on the socket; back: it listens again, with nothing held, as a restarted service.
  void SetRunning(bool running) {
    if (!running) accelerating = false;
    wanted = running;
    WaitFor([&] { return listening == running; });
  }
  // The workflow's requests; the quality line's polls, one a second while accelerating, are counted apart.
  QList<Request> Requests() { const QMutexLocker hold(&mutex); return requests; }
  int QualityPolls() { const QMutexLocker hold(&mutex); return qualityPolls; }

 private:
  static void WaitFor(const std::function<bool()>& done) {
    while (!done()) QThread::msleep(5);
  }

  QByteArray Answer(const Request& request) {
    const auto operation = static_cast<ControlOperation>(request.operation());
    QMutexLocker hold(&mutex);
    if (operation == ControlOperation::QueryQuality) ++qualityPolls;
    else requests.append(request);
    if (const RawReply scripted = raw) {
      hold.unlock();  // it may take its time, and the test must be able to look meanwhile
      return scripted(request);
    }
    if (const auto found = replies.find(request.operation()); found != replies.end()) {
      if (found->second.first == 0 && operation == ControlOperation::StartTunnel) accelerating = true;
      return Framed(request.header.requestId, found->second.first, found->second.second);
    }
    if (operation == ControlOperation::StartTunnel) accelerating = true;
    if (operation == ControlOperation::StopTunnel) accelerating = false;
    const QByteArray state = accelerating ? QByteArray(kAcceleratingBody.data()) : QByteArray(kIdleBody.data());
    return Framed(request.header.requestId, 0,
                  operation == ControlOperation::QueryQuality && accelerating ? quality : state);
  }

  void Serve() {
    QLocalServer server;
    server.listen(ControlServerName());  // the variable moved it into `folder`, where there is a path
    listening = true;
    ready.release();
    while (!stopping) {
      if (wanted != listening) {
        if (wanted) server.listen(ControlServerName());
        else server.close();
        listening = server.isListening();
      }
      if (!server.waitForNewConnection(20)) continue;
      std::unique_ptr<QLocalSocket> client(server.nextPendingConnection());
      Request request{};
      RequestHeaderBytes head{};
      if (!ReadExactly(*client, reinterpret_cast<char*>(head.data()), head.size())) continue;
      request.header = DecodeRequestHeader(head);
      request.body.resize(static_cast<qsizetype>(request.header.bodyLength));
      if (!request.body.isEmpty() && !ReadExactly(*client, request.body.data(), request.body.size())) continue;
      QThread::msleep(static_cast<unsigned long>(delayMs.load()));
      client->write(Answer(request));
      client->waitForBytesWritten(1000);
      client->disconnectFromServer();
    }
  }

  QTemporaryDir folder;
  QSemaphore ready;
  std::unique_ptr<QThread> thread;
  std::atomic<bool> stopping{false}, wanted{true}, listening{false}, accelerating{false};
  std::atomic<int> delayMs{0};
  QMutex mutex;
  std::map<quint16, std::pair<std::uint32_t, QByteArray>> replies;
  RawReply raw;
  QByteArray quality = kHealthyPath;
  QList<Request> requests;
  int qualityPolls = 0;
};

}  // namespace zv::test
