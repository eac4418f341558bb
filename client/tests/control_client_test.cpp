// The control channel client against a stand-in service on a local socket.
#include "control_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDateTime>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>
#include <functional>

#include "control_channel.h"
#include "control_frame.h"
#include "stand_in_service.h"
#include "window_rig.h"

namespace {

using zv::test::StandInService;
using Seen = StandInService::Request;

QByteArray Bytes(std::string_view text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }

QByteArray Reply(std::uint64_t id, std::uint32_t status, const QByteArray& body, qsizetype announced = -1) {
  auto header = zv::EncodeReplyHeader(id, status, static_cast<std::uint32_t>(announced < 0 ? body.size() : announced));
  return QByteArray(reinterpret_cast<const char*>(header.data()), header.size()) + body;
}

TEST(ControlClient, EachFailureHasItsText) {
  using Make = std::function<QByteArray(const Seen&)>;
  const QByteArray idle = Bytes(zv::kIdleBody);
  struct Row {
    const char* name;
    Make reply;
    bool ok;
    const char* error;
    QByteArray text;
  };
  const Row rows[] = {
      {"idle", [&](const Seen& s) { return Reply(s.header.requestId, 0, idle); }, true, "", idle},
      {"refused keeps the body", [](const Seen& s) { return Reply(s.header.requestId, 4, R"({"error":"x"})"); },
       false, "服务拒绝了请求", R"({"error":"x"})"},
      {"short header", [&](const Seen& s) { return Reply(s.header.requestId, 0, idle).left(10); }, false,
       "服务响应格式不正确", ""},
      {"another id", [&](const Seen& s) { return Reply(s.header.requestId + 1, 0, idle); }, false,
       "服务响应格式不正确", ""},
      {"access denied has id 0", [](const Seen&) { return Reply(0, 3, Bytes(zv::kAccessDeniedBody)); }, false,
       "服务响应格式不正确", ""},
      {"65537 announced", [](const Seen& s) { return Reply(s.header.requestId, 0, "", 65537); }, false,
       "服务响应格式不正确", ""},
      {"wrong version", [&](const Seen& s) { return Reply(s.header.requestId, 0, idle).replace(4, 1, "\x02"); }, false,
       "服务响应格式不正确", ""},
      {"short body", [&](const Seen& s) { return Reply(s.header.requestId, 0, idle, idle.size() + 5); }, false,
       "读取服务响应失败", ""},
  };
  for (const Row& row : rows) {
    StandInService service;
    service.ScriptRaw(row.reply);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const ControlReply reply = SendControlRequest(1, {});
    EXPECT_EQ(reply.ok, row.ok) << row.name;
    EXPECT_EQ(reply.errorText, row.error) << row.name;
    EXPECT_EQ(reply.replyText, row.text) << row.name;
    ASSERT_EQ(service.Requests().size(), 1) << row.name;
    const Seen seen = service.Requests().first();
    EXPECT_EQ(seen.header.magic, zv::kControlMagic) << row.name;
    EXPECT_EQ(seen.operation(), 1) << row.name;
    EXPECT_GE(static_cast<qint64>(seen.header.requestId), before) << "the id is the time in ms";
  }

  qputenv(zv::kControlSocketVariable, "/nonexistent/zv.sock");
  const ControlReply none = SendControlRequest(1, {});
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.errorText, "后台加速服务未运行");
}

TEST(ControlClient, OnlyATunnelStartMayTakeLongerThanASecond) {
  const auto late = [](const Seen& s) {
    QThread::msleep(1500);  // an adapter being created
    return Reply(s.header.requestId, 0, Bytes(zv::kAcceleratingBody));
  };
  StandInService service;
  service.ScriptRaw(late);
  const ControlReply reply = SendControlRequest(2, R"({"k":"v"})");
  EXPECT_TRUE(reply.ok) << reply.errorText.toStdString();
  EXPECT_EQ(service.Requests().value(0).body, R"({"k":"v"})");
  EXPECT_EQ(SendControlRequest(1, {}).errorText, "服务响应格式不正确");
}

// A server that is not the service: a socket that user "nobody" listens on (the
// kernel keeps the listener's user for the peer check). Nobody accepts; the test
// reads afterwards what the queued connections carried.
class ForeignServer {
 public:
  ForeignServer() {
    QFile::setPermissions(folder.path(), QFileDevice::Permissions(0x7777));  // nobody binds in it
    path = folder.filePath("control.sock").toStdString();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (seteuid(65534) != 0) return;
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    listening = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 16) == 0;
    listening = seteuid(0) == 0 && listening;
  }
  ~ForeignServer() { close(fd); }
  long BytesReceived() const {
    long total = 0;
    for (int connection; (connection = accept(fd, nullptr, nullptr)) >= 0; close(connection)) {
      char chunk[256];
      for (ssize_t got; (got = recv(connection, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) total += got;
    }
    return total;
  }
  bool listening = false;
  std::string path;

 private:
  QTemporaryDir folder;
  int fd = -1;
};

TEST(ControlClient, AServerOfAnotherUserGetsNotOneByte) {
  zv::test::Backend backend;
  ForeignServer foreign;
  ASSERT_TRUE(foreign.listening);
  qputenv(zv::kControlSocketVariable, QByteArray::fromStdString(foreign.path));
  for (const quint16 operation : {1, 2, 3}) {
    const ControlReply reply = SendControlRequest(operation, operation == 2 ? R"({"private_key":"k"})" : "");
    EXPECT_FALSE(reply.ok) << operation;
    EXPECT_EQ(reply.errorText, "后台加速服务身份无效") << operation;
    EXPECT_TRUE(reply.replyText.isEmpty()) << operation;
  }
  MainWindow window;
  zv::test::Screen screen(window);
  EXPECT_FALSE(window.RefreshServiceState(1, {}));
  EXPECT_EQ(screen.status->text(), "后台加速服务身份无效");
  EXPECT_EQ(foreign.BytesReceived(), 0);
}

}  // namespace

