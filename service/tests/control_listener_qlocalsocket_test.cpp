// The desktop client reaches the Linux listener with QLocalSocket by full path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLocalSocket>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "control_channel.h"
#include "control_server.h"
#include "fake_tunnel_engine.h"

namespace zv {
namespace {

TEST(LinuxListenerWithQLocalSocket, QueryStateByFullSocketPath) {
  char directory[] = "/tmp/zv-qlocal-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/control.sock";
  setenv(kControlSocketVariable, path.c_str(), 1);
  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  ControlServer server(stopEvent, engine);
  server.StartListener();

  QLocalSocket socket;
  for (int i = 0; i < 500 && socket.state() != QLocalSocket::ConnectedState; ++i) {
    socket.connectToServer(QString::fromStdString(path), QIODevice::ReadWrite);
    if (!socket.waitForConnected(1000)) usleep(2000);
  }
  ASSERT_EQ(socket.state(), QLocalSocket::ConnectedState) << socket.errorString().toStdString();

  const auto header = EncodeRequestHeader(1, 0x1122334455667788ull, 0);
  ASSERT_EQ(socket.write(reinterpret_cast<const char*>(header.data()), header.size()), 20);
  ASSERT_TRUE(socket.waitForBytesWritten(1000));
  QByteArray reply;
  while (reply.size() < 24 + 16 && socket.waitForReadyRead(1000)) reply += socket.readAll();
  ASSERT_EQ(reply.size(), 40);

  ReplyHeaderBytes raw{};
  std::memcpy(raw.data(), reply.constData(), raw.size());
  const ControlReplyHeader decoded = DecodeReplyHeader(raw);
  EXPECT_EQ(decoded.requestId, 0x1122334455667788ull);
  EXPECT_EQ(decoded.status, 0u);
  EXPECT_EQ(reply.mid(24).toStdString(), kIdleBody);

  stopEvent.Signal();
  server.JoinListener();
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace zv
