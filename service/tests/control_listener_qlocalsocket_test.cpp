// The desktop client's socket class reaches the Linux listener by full path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLocalSocket>
#include <cstdlib>
#include <filesystem>

#include "control_channel.h"
#include "control_server.h"
#include "fake_tunnel_engine.h"

namespace zv {
namespace {

TEST(LinuxListenerWithQLocalSocket, QueryStateByFullSocketPath) {
  char directory[] = "/tmp/zv-qlocal-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const QString path = QString(directory) + "/control.sock";
  setenv(kControlSocketVariable, path.toUtf8().constData(), 1);
  StopEvent stopEvent;
  test::FakeTunnelEngine engine;
  ControlServer server(stopEvent, engine);
  server.StartListener();

  QLocalSocket socket;
  for (int i = 0; i < 500 && socket.state() != QLocalSocket::ConnectedState; ++i) {
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(1000)) usleep(2000);
  }
  ASSERT_EQ(socket.state(), QLocalSocket::ConnectedState) << socket.errorString().toStdString();
  const auto header = EncodeRequestHeader(1, 0x1122334455667788ull, 0);
  socket.write(reinterpret_cast<const char*>(header.data()), header.size());
  ASSERT_TRUE(socket.waitForBytesWritten(1000));
  QByteArray reply;
  while (reply.size() < 40 && socket.waitForReadyRead(1000)) reply += socket.readAll();

  const auto expected = EncodeReplyHeader(0x1122334455667788ull, 0, 16);
  EXPECT_EQ(reply, QByteArray(reinterpret_cast<const char*>(expected.data()), 24) + kIdleBody.data());
  stopEvent.Signal();
  server.JoinListener();
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace zv
