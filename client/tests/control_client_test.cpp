// What the client asks of the machine: the control channel against a stand-in
// service on a local socket, who it accepts at the channel's other end, and the
// key tool runner against small scripts that stand in for orvekind.
#include "control_client.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QThread>

#include "key_tool.h"
#include "stand_in_service.h"

namespace {

using zv::test::Framed;
using zv::test::StandInService;
using Seen = StandInService::Request;

QByteArray Bytes(std::string_view text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }

TEST(ControlClient, EachFailureHasItsText) {
  const QByteArray idle = Bytes(zv::kIdleBody);
  const struct {
    const char* name;
    StandInService::RawReply reply;
    bool ok;
    QString error, text;
  } rows[] = {
      {"idle", [&](const Seen& s) { return Framed(s.header.requestId, 0, idle); }, true, "", idle},
      {"refused keeps the body", [](const Seen& s) { return Framed(s.header.requestId, 4, R"({"error":"x"})"); },
       false, "服务拒绝了请求", R"({"error":"x"})"},
      {"short header", [&](const Seen& s) { return Framed(s.header.requestId, 0, idle).left(10); }, false,
       "服务响应格式不正确", ""},
      {"another id", [&](const Seen& s) { return Framed(s.header.requestId + 1, 0, idle); }, false,
       "服务响应格式不正确", ""},
      // Refused before the request was read, so with id 0: a refusal all the same, its reason kept.
      {"access denied has id 0", [](const Seen&) { return Framed(0, 3, Bytes(zv::kAccessDeniedBody)); }, false,
       "服务拒绝了请求", Bytes(zv::kAccessDeniedBody)},
      {"another status with id 0", [&](const Seen&) { return Framed(0, 4, idle); }, false, "服务响应格式不正确", ""},
      {"65537 announced", [](const Seen& s) { return Framed(s.header.requestId, 0, "", 65537); }, false,
       "服务响应格式不正确", ""},
      {"wrong version", [&](const Seen& s) { return Framed(s.header.requestId, 0, idle).replace(4, 1, "\x02"); }, false,
       "服务响应格式不正确", ""},
      {"short body", [&](const Seen& s) { return Framed(s.header.requestId, 0, idle, idle.size() + 5); }, false,
       "读取服务响应失败", ""},
  };
  for (const auto& row : rows) {
    StandInService service;
    service.ScriptRaw(row.reply);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const ControlReply reply = SendControlRequest(1, {});
    EXPECT_EQ(std::tuple(reply.ok, reply.errorText, reply.replyText), std::tuple(row.ok, row.error, row.text))
        << row.name;
    ASSERT_EQ(service.Requests().size(), 1) << row.name;
    const Seen seen = service.Requests().first();
    EXPECT_EQ(std::tuple(seen.header.magic, seen.operation()), std::tuple(zv::kControlMagic, quint16{1})) << row.name;
    EXPECT_GE(static_cast<qint64>(seen.header.requestId), before) << "the id is the time in ms";
  }
  // No socket, or one nobody listens on: no service.
  QTemporaryDir folder;
  QFile(folder.filePath("stale.sock")).open(QIODevice::WriteOnly);
  for (const QString& path : {QString("/nonexistent/zv.sock"), folder.filePath("stale.sock")}) {
    qputenv(zv::kControlSocketVariable, path.toUtf8());
    EXPECT_EQ(SendControlRequest(1, {}).errorText, "后台加速服务未运行") << path.toStdString();
  }
}

// A reply not come within the wait is a busy service; only a missing or refusing socket is a stopped one.
TEST(ControlClient, OnlyATunnelStartMayTakeLongerThanASecond) {
  StandInService service;
  service.ScriptRaw([](const Seen& s) {
    QThread::msleep(1500);  // an adapter being created
    return Framed(s.header.requestId, 0, Bytes(zv::kAcceleratingBody));
  });
  const ControlReply reply = SendControlRequest(2, R"({"k":"v"})");
  EXPECT_TRUE(reply.ok) << reply.errorText.toStdString();
  EXPECT_EQ(service.Requests().value(0).body, R"({"k":"v"})");
  EXPECT_EQ(SendControlRequest(1, {}).errorText, "本地加速服务正忙，请稍后再试") << "slow is not stopped";
}

// A server that is not the service: user "nobody" listens (the kernel keeps the
// listener's user for the peer check); what the connections carried is read afterwards.
TEST(ControlClient, AServerOfAnotherUserGetsNotOneByte) {
  QTemporaryDir folder;
  QFile::setPermissions(folder.path(), QFileDevice::Permissions(0x7777));  // nobody binds in it
  QLocalServer foreign;
  ASSERT_EQ(seteuid(65534), 0);
  const bool listening = foreign.listen(folder.filePath("control.sock"));
  ASSERT_EQ(seteuid(0), 0);
  ASSERT_TRUE(listening) << foreign.errorString().toStdString();
  qputenv(zv::kControlSocketVariable, folder.filePath("control.sock").toUtf8());
  for (const quint16 operation : {1, 2, 3}) {
    const ControlReply reply = SendControlRequest(operation, operation == 2 ? R"({"private_key":"k"})" : "");
    EXPECT_EQ(std::tuple(reply.ok, reply.errorText, reply.replyText), std::tuple(false, "后台加速服务身份无效", ""))
        << operation;
  }
  QByteArray heard;
  for (int connections = 0; connections < 3 && foreign.waitForNewConnection(1000); ++connections) {
    QLocalSocket* connection = foreign.nextPendingConnection();
    connection->waitForReadyRead(100);
    heard += connection->readAll();
  }
  EXPECT_EQ(heard, "");
}

TEST(KeyTool, OnlyANormalExitWithBothKeysCounts) {
  const struct {
    const char* script;  // nullptr: no tool at all
    bool ran;
    QString keys;  // private and public
  } rows[] = {
      {nullptr, false, " "},
      {R"(echo '{"private_key":"PRIV","public_key":"PUB"}')", true, "PRIV PUB"},
      {R"(echo 'noise' >&2; printf '  \n {"public_key":"PUB","private_key":"PRIV","x":1} \n\n')", true, "PRIV PUB"},
      {R"(echo '{"private_key":"PRIV","public_key":"PUB"}'; exit 1)", false, " "},
      {R"(echo '{"private_key":"PRIV"}')", true, "PRIV "},
      {"echo keys", true, " "},
      {R"([ "$#" = 1 ] && [ "$1" = keypair ] && echo '{"private_key":"A","public_key":"B"}')", true, "A B"},
      {R"(sleep 6; echo '{"private_key":"PRIV","public_key":"PUB"}')", false, " "},  // too slow
  };
  for (const auto& row : rows) {
    QTemporaryDir folder;
    const QString program = folder.path() + "/orvekind";
    if (row.script != nullptr) {
      QFile file(program);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(QByteArray("#!/bin/sh\n") + row.script + "\n");
      file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const KeyToolRun run = RunKeyTool(program);
    EXPECT_EQ(run.ran, row.ran) << row.script;
    EXPECT_EQ(run.privateKey + " " + run.publicKey, row.keys) << row.script;
  }
}

}  // namespace
