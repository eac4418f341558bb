// The client meets accelerator-service running under wine's service manager,
// over the real pipe: the identity check by the service manager's record and
// the pipe's owner, and what the window shows of the service's answer. Wine
// cannot tell a session's state (WTSQuerySessionInformationW fails), so the
// service's caller check refuses every caller.
#include <windows.h>

#include <gtest/gtest.h>

#include <QLabel>
#include <cstdio>
#include <string>

#include "control_channel.h"
#include "control_client.h"
#include "control_frame.h"
#include "main_window.h"
#include "server_identity.h"
#include "window_driving.h"

namespace {

// A client that reads nothing yet keeps the pipe connected (the service waits
// for it to close), so the owner can be read: the accept path itself. The
// client's own exchange then reaches the service, which refuses it.
TEST(WindowsMeeting, TheServiceIsKnownByItsRecordAndItsPipesOwnerAndRefusesTheCaller) {
  HANDLE pipe = CreateFileW(zv::kControlPipePath, zv::kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << "the service is not listening on its pipe: " << GetLastError();
  const auto handle = reinterpret_cast<std::intptr_t>(pipe);
  const auto queries = zv::SystemPipeServerQueries();
  const auto server = queries->ServerProcessId(handle);
  const auto service = queries->ServiceProcess();
  const auto owner = queries->Owner(handle);
  ASSERT_TRUE(server && service && owner);
  std::printf("pipe server %u, the service manager's process %u (state %u), owner %s\n", *server,
              service->processId, service->state, owner->sid.c_str());
  EXPECT_EQ(owner->sid, zv::kLocalSystemSid);
  EXPECT_TRUE(zv::ControlServerTrusted(handle));
  CloseHandle(pipe);
  const ControlReply reply = SendControlRequest(static_cast<quint16>(zv::ControlOperation::QueryState), {});
  EXPECT_EQ(reply.errorText, "服务拒绝了请求");
  EXPECT_EQ(reply.replyText.toStdString(), zv::kAccessDeniedBody);
}

// "检查服务" in the real window. The client's socket reads at once, so the
// service has answered and closed before the client's check runs: the
// service's own process decides, and the window shows the refusal (the
// specified text, followed by the window's reason).
TEST(WindowsMeeting, CheckServiceShowsTheServicesRefusal) {
  MainWindow window;
  QPushButton* check = zv::test::ButtonWithText(window, "检查服务");
  ASSERT_NE(check, nullptr);
  check->click();
  const QString shown = window.findChild<QLabel*>("serviceStatus")->text();
  std::printf("the window shows %s\n", shown.toUtf8().constData());
  EXPECT_TRUE(shown.startsWith("服务拒绝了请求")) << shown.toStdString();
}

// A signed-in user may add an instance to the service's own pipe (its
// security is the service's, owner included). While the service's instance
// is busy with a silent client, the client meets that one and must refuse it
// by its process before a single byte.
TEST(WindowsMeeting, AnInstanceAnotherProcessAddsToTheServicesPipeHearsNothing) {
  HANDLE silent =
      CreateFileW(zv::kControlPipePath, zv::kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(silent, INVALID_HANDLE_VALUE) << GetLastError();
  HANDLE impostor = CreateNamedPipeW(zv::kControlPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 4, 65536, 65536, 0,
                                     nullptr);
  ASSERT_NE(impostor, INVALID_HANDLE_VALUE) << GetLastError();
  const ControlReply reply = SendControlRequest(2, R"({"private_key":"k"})");
  EXPECT_EQ(reply.errorText, "后台加速服务身份无效");
  DWORD heard = 0;
  EXPECT_TRUE(PeekNamedPipe(impostor, nullptr, 0, nullptr, &heard, nullptr) || GetLastError() == ERROR_BROKEN_PIPE);
  EXPECT_EQ(heard, 0u);
  CloseHandle(impostor);
  CloseHandle(silent);
}

}  // namespace
