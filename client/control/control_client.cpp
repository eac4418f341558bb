#include "control_client.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocalSocket>
#include <chrono>
#ifdef _WIN32
#include <windows.h>
#endif

#include "control_channel.h"
#include "control_frame.h"
#include "server_identity.h"

QString ControlServerName() {
#ifdef _WIN32
  return QStringLiteral("ViriZivadadivaz.Control.v1");
#else
  return QString::fromStdString(zv::ControlSocketPath());
#endif
}

bool ReadExactly(QIODevice& device, char* buffer, qint64 length, std::chrono::milliseconds wait) {
  qint64 done = 0;
  while (done < length) {
    // Each wait starts afresh: a reply that keeps trickling in is read however long it takes.
    if (device.bytesAvailable() == 0 && !device.waitForReadyRead(static_cast<int>(wait.count()))) return false;
    const qint64 got = device.read(buffer + done, length - done);
    if (got < 1) return false;
    done += got;
  }
  return true;
}

namespace {

enum class Connection { Made, Absent, Busy };

#ifdef _WIN32
// Opened with only the rights the pipe grants users (QLocalSocket would ask for
// generic write), waiting while every instance is busy, then given to the socket.
Connection ConnectToService(QLocalSocket& socket) {
  const auto until = std::chrono::steady_clock::now() + kControlWait;
  for (;;) {
    const HANDLE pipe = CreateFileW(zv::kControlPipePath, zv::kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      if (socket.setSocketDescriptor(reinterpret_cast<qintptr>(pipe))) return Connection::Made;
      CloseHandle(pipe);
      return Connection::Absent;
    }
    if (GetLastError() != ERROR_PIPE_BUSY) return Connection::Absent;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !WaitNamedPipeW(zv::kControlPipePath, static_cast<DWORD>(left))) return Connection::Busy;
  }
}
#else
Connection ConnectToService(QLocalSocket& socket) {
  socket.connectToServer(ControlServerName(), QIODevice::ReadWrite);
  if (socket.waitForConnected(static_cast<int>(kControlWait.count()))) return Connection::Made;
  // Only a missing or refusing socket means no service; a full backlog makes the wait run out.
  return socket.error() == QLocalSocket::SocketTimeoutError ? Connection::Busy : Connection::Absent;
}
#endif

}  // namespace

ControlReply SendControlRequest(quint16 operation, const QByteArray& body) {
  ControlReply result;
  QLocalSocket socket;
  if (const Connection connection = ConnectToService(socket); connection != Connection::Made) {
    result.errorText = connection == Connection::Busy ? kServiceBusy : kServiceNotRunning;
    return result;
  }
  // Before a single byte: whoever holds the channel's name is not yet the service.
  if (!zv::ControlServerTrusted(socket.socketDescriptor())) {
    result.errorText = QCoreApplication::translate("MainWindow", "后台加速服务身份无效");
    return result;
  }

  const auto requestId = static_cast<std::uint64_t>(QDateTime::currentMSecsSinceEpoch());
  const auto header = zv::EncodeRequestHeader(operation, requestId, static_cast<std::uint32_t>(body.size()));
  const bool sent = socket.write(reinterpret_cast<const char*>(header.data()), header.size()) ==
                        static_cast<qint64>(header.size()) &&
                    (body.isEmpty() || socket.write(body) == body.size()) &&
                    socket.waitForBytesWritten(static_cast<int>(kControlWait.count()));

  // A failed write still reads what is already here: the service refuses a
  // caller before it reads the request and may close before the write ends.
  const auto wait = sent && operation == static_cast<quint16>(zv::ControlOperation::StartTunnel) ? kStartTunnelReplyWait
                                                                                                   : kControlWait;
  zv::ReplyHeaderBytes raw{};
  const bool complete = ReadExactly(socket, reinterpret_cast<char*>(raw.data()), raw.size(), wait);
  const zv::ControlReplyHeader reply = zv::DecodeReplyHeader(raw);
  // That refusal carries request id 0.
  const bool refusedUnread = reply.status == static_cast<std::uint32_t>(zv::ControlStatus::AccessDenied) &&
                             zv::ReplyHeaderAccepted(reply, 0);
  if (!sent && !(complete && refusedUnread)) {
    result.errorText = "发送服务请求失败";
    return result;
  }
  if (!complete || !(zv::ReplyHeaderAccepted(reply, requestId) || refusedUnread)) {
    // Still connected after the wait: the service has not answered yet, which is not a bad answer.
    const bool waiting = !complete && socket.state() == QLocalSocket::ConnectedState;
    result.errorText = waiting ? kServiceBusy : "服务响应格式不正确";
    return result;
  }
  QByteArray replyBody(static_cast<qsizetype>(reply.bodyLength), '\0');
  if (!replyBody.isEmpty() && !ReadExactly(socket, replyBody.data(), replyBody.size(), wait)) {
    result.errorText = "读取服务响应失败";
    return result;
  }
  result.replyText = QString::fromUtf8(replyBody);
  result.ok = reply.status == 0;
  if (!result.ok) result.errorText = "服务拒绝了请求";
  return result;
}
