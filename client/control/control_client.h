// One blocking exchange with accelerator-service: connect, one request, one
// reply, disconnect.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <chrono>

struct ControlReply {
  bool ok = false;
  QString replyText;
  QString errorText;
};

// Connecting, sending and every silent stretch of a reply get 1000 ms, but a
// tunnel start also has to create an adapter, register filters and add routes,
// which on a real PC (a first adapter installs its driver) takes several
// seconds: its reply may be this long in coming.
inline constexpr std::chrono::milliseconds kControlWait{1000};
inline constexpr std::chrono::milliseconds kStartTunnelReplyWait{30000};

// The error text of an exchange that found no service to connect to: refused, or no socket or pipe.
inline constexpr char kServiceNotRunning[] = "后台加速服务未运行";
// A service that is there but did not connect or answer within the wait is busy, not stopped.
inline constexpr char kServiceBusy[] = "本地加速服务正忙，请稍后再试";

ControlReply SendControlRequest(quint16 operation, const QByteArray& body);

// Exactly `length` bytes; false after a silent `wait` or a read of nothing.
bool ReadExactly(QIODevice& device, char* buffer, qint64 length, std::chrono::milliseconds wait = kControlWait);

// The service's name for QLocalSocket: the pipe name on Windows, the socket path elsewhere.
QString ControlServerName();
