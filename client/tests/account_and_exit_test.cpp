// The account panel and the ways out of the client, driven through the window.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include "api_client.h"
#include "window_rig.h"

namespace {

using namespace zv::test;

QLabel* Named(MainWindow& window, const char* name) { return window.findChild<QLabel*>(name); }
QLabel* AccountLabel(MainWindow& window) {
  QFrame* card = window.findChild<QFrame*>("memberCard");
  return qobject_cast<QLabel*>(card->layout()->itemAt(1)->widget());
}

TEST(AccountPanel, MembershipIsShownAsTheBackendReportsIt) {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const QDateTime inTrial = now.addSecs(36 * 3600);
  const qint64 trialDays = now.date().daysTo(inTrial.date());  // one or two UTC midnights ahead
  const QString trialExpiry = inTrial.toString(Qt::ISODate);
  const QString pastExpiry = "2020-01-02T03:04:00Z";
  const auto local = [](const QString& iso) {
    return QDateTime::fromString(iso, Qt::ISODate).toLocalTime().toString("yyyy-MM-dd HH:mm");
  };
  struct Row {
    QJsonValue membership;  // undefined: no member at all
    QString status, expiry;
    bool active;
  };
  const Row rows[] = {
      {QJsonObject{{"active", true}, {"kind", "trial"}, {"expires_at", trialExpiry}},
       QString("会员状态：试用会员 · 剩余 %1 天").arg(trialDays), "到期时间：" + local(trialExpiry), true},
      {QJsonObject{{"active", true}, {"kind", "grant"}, {"expires_at", pastExpiry}}, "会员状态：赠送会员 · 剩余 0 天",
       "到期时间：" + local(pastExpiry), true},
      {QJsonObject{{"active", true}, {"kind", "Trial"}}, "会员状态：正式会员 · 剩余 0 天", "到期时间：", true},
      {QJsonObject{{"active", false}}, "会员状态：未开通或已过期", "到期时间：--", false},
      {QJsonObject{{"active", false}, {"expires_at", pastExpiry}}, "会员状态：未开通或已过期",
       "到期时间：" + local(pastExpiry), false},
      {QJsonValue::Undefined, "会员状态：未开通或已过期", "到期时间：--", false},
  };
  Backend backend;
  MainWindow window;
  Screen screen(window);
  ApiClient* api = window.findChild<ApiClient*>();
  for (const Row& row : rows) {
    QJsonObject profile{{"account", "me@example.com"}};
    if (!row.membership.isUndefined()) profile.insert("membership", row.membership);
    emit api->ProfileLoaded(profile);
    const std::string label = QJsonDocument(profile).toJson(QJsonDocument::Compact).toStdString();
    EXPECT_EQ(AccountLabel(window)->text(), "账号：me@example.com");
    EXPECT_EQ(Named(window, "membershipStatus")->text(), row.status) << label;
    EXPECT_EQ(Named(window, "membershipExpiry")->text(), row.expiry) << label;
    EXPECT_EQ(Named(window, "membershipStatus")->property("active").toBool(), row.active) << label;
    EXPECT_FALSE(Named(window, "membershipStatus")->isHidden());
    EXPECT_TRUE(screen.Button("登录")->isHidden());
  }
}

TEST(AccountPanel, SignInFailuresKeepWhatWasTyped) {
  Backend backend;
  MainWindow window;
  Screen screen(window);
  QList<QLineEdit*> edits = window.findChildren<QLineEdit*>();
  QLineEdit* account = edits[0]->echoMode() == QLineEdit::Password ? edits[1] : edits[0];
  QLineEdit* password = account == edits[0] ? edits[1] : edits[0];

  account->setText("   ");
  password->setText("pw");
  screen.Button("登录")->click();
  EXPECT_EQ(AccountLabel(window)->text(), "请输入账号和密码");
  QApplication::processEvents();
  EXPECT_TRUE(backend.Received("POST", "/api/v1/auth/login").isEmpty());

  backend.login = HttpAnswer{401, R"({"message":"密码错误"})"};
  account->setText("me");
  screen.Button("登录")->click();
  ASSERT_TRUE(WaitFor([&] { return AccountLabel(window)->text() == "密码错误"; }));
  EXPECT_EQ(account->text(), "me");
  EXPECT_EQ(password->text(), "pw");
  EXPECT_TRUE(screen.Button("登录")->isEnabled());

  // A stored token with a failed answer counts as signed in for the failure's text.
  backend.login = HttpAnswer{200, R"({"access_token":"t","refresh_token":""})"};
  screen.Button("登录")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "登录响应缺少 Token"; }));
  EXPECT_EQ(AccountLabel(window)->text(), "正在登录…");
  EXPECT_TRUE(screen.Button("登录")->isEnabled());
}

TEST(AccountPanel, SignOutDeletesTheSessionWhileTheTokenIsStillHeld) {
  for (const bool withSession : {false, true}) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    service.Script(2, 0, R"({"state":"accelerating"})");
    SignIn(window, screen);
    if (withSession) {
      ASSERT_TRUE(Accelerate(screen));
    }
    const int before = service.Requests().size();
    screen.Button("退出登录")->click();
    if (withSession) {
      ASSERT_TRUE(WaitFor([&] { return service.Requests().size() > before; })) << "the tunnel stops after the deletion";
      const QList<HttpExchange> deletions = backend.Received("DELETE", "/api/v1/acceleration/sessions/s1");
      ASSERT_EQ(deletions.size(), 1);
      EXPECT_EQ(deletions.first().headers.value("authorization"), "Bearer t");
    } else {
      EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty());
    }
    EXPECT_EQ(service.Requests().last().operation(), 3);
    EXPECT_EQ(AccountLabel(window)->text(), "尚未登录");
    EXPECT_EQ(screen.games->count(), 0);
    EXPECT_FALSE(screen.Button("开始加速")->isEnabled());
    EXPECT_FALSE(screen.Button("启动游戏")->isEnabled());
    EXPECT_FALSE(screen.Button("登录")->isHidden());
    EXPECT_EQ(window.findChildren<QLineEdit*>().first()->text().isEmpty(), false) << "the account text stays";
  }
}

// Keeps the balloons the window shows.
struct BalloonWatch : MainWindow {
  QStringList balloons;
  void ShowTrayMessage(const QString& title, const QString& text) override { balloons << title + "|" + text; }
};

TEST(Tray, ClosingHidesTheWindowAndSaysSoEveryTime) {
  Desk<BalloonWatch> desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  service.Script(2, 0, R"({"state":"accelerating"})");
  window.show();
  window.close();
  EXPECT_EQ(window.balloons, QStringList{"Zentravolk仍在运行|程序已最小化到任务栏通知区域。"});
  SignIn(window, screen);
  ASSERT_TRUE(Accelerate(screen));
  window.balloons.clear();
  for (int i = 0; i < 2; ++i) {
    window.show();
    window.close();
    EXPECT_TRUE(window.isHidden());
  }
  const QString held = "Zentravolk仍在运行|加速仍在运行；选择“退出并停止加速”才会断开。";
  EXPECT_EQ(window.balloons, QStringList({held, held}));
  EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty()) << "closing never ends the session";

  auto* tray = window.findChild<QSystemTrayIcon*>();
  for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
    emit tray->activated(reason);
    EXPECT_TRUE(window.isHidden()) << reason;
  }
  for (const auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
    window.hide();
    emit tray->activated(reason);
    EXPECT_TRUE(window.isVisible()) << reason;
  }
  window.hide();
  window.findChild<QMenu*>()->actions().at(0)->trigger();
  EXPECT_TRUE(window.isVisible());
}

// Runs the event loop until the client quits; false when it is still running after `ms`.
bool QuitsWithin(const std::function<void()>& trigger, int ms = 5000) {
  QTimer::singleShot(0, trigger);
  bool timedOut = false;
  QTimer::singleShot(ms, [&] {
    timedOut = true;
    QApplication::exit(1);
  });
  return QApplication::exec() == 0 && !timedOut;
}

TEST(Exit, TheTrayEntryStopsEverythingBeforeQuitting) {
  struct Row {
    bool withSession;
    HttpAnswer firstDeletion;
  };
  const Row rows[] = {{false, {204, ""}}, {true, {204, ""}}, {true, {500, R"({"message":"后端忙"})"}}};
  for (const Row& row : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    service.Script(2, 0, R"({"state":"accelerating"})");
    SignIn(window, screen);
    if (row.withSession) {
      ASSERT_TRUE(Accelerate(screen));
    }
    backend.deletion = row.firstDeletion;
    QString stalled;
    bool trayBack = false;
    if (row.firstDeletion.status != 204) {
      // The refused deletion brings the tray back and asks; quitting anyway still stops the tunnel.
      OnNextBox([&](QMessageBox& box) {
        stalled = box.windowTitle();
        trayBack = window.findChild<QSystemTrayIcon*>()->isVisible();
        ButtonOf(box, "仍然退出")->click();
      });
    }
    QAction* exit = window.findChild<QMenu*>()->actions().at(1);
    EXPECT_TRUE(QuitsWithin([&] { exit->trigger(); }));
    EXPECT_EQ(service.Requests().last().operation(), 3) << "StopTunnel before the end";
    EXPECT_EQ(backend.Received("DELETE", "/").size(), row.withSession ? 1 : 0);
    if (row.firstDeletion.status != 204) {
      EXPECT_EQ(stalled, "退出失败");
      EXPECT_TRUE(trayBack);
    }
  }
}

TEST(Exit, AStartedInstallerEndsTheClientAndLeavesTheTunnelAlone) {
  Desk<BalloonWatch> desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  service.Script(2, 0, R"({"state":"accelerating"})");
  SignIn(window, screen);
  ASSERT_TRUE(Accelerate(screen));
  QTemporaryDir saved;
  const QString installer = saved.filePath("setup.sh"), ran = saved.filePath("ran");
  QFile script(installer);
  script.open(QIODevice::WriteOnly);
  script.write(("#!/bin/sh\ntouch '" + ran + "'\n").toUtf8());
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  script.close();
  const int before = service.Requests().size();
  window.show();  // a shown window is not asked to close: it would go to the tray instead
  OnNextBox([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
  EXPECT_TRUE(QuitsWithin([&] { emit window.findChild<ApiClient*>()->UpdateDownloaded(installer); }));
  EXPECT_TRUE(WaitFor([&] { return QFile::exists(ran); }));
  EXPECT_EQ(service.Requests().size(), before) << "the service keeps the tunnel";
  EXPECT_TRUE(window.balloons.isEmpty()) << "the window was asked to close and said it stays in the tray";
  EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty());
}

}  // namespace

