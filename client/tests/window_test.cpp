// The main window driven through its widgets, against the loopback backend,
// a stand-in service and a stand-in key tool in the program's folder.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QDateTime>
#include <QDesktopServices>
#include <QJsonArray>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include "api_client.h"
#include "quality_poll.h"
#include "single_instance.h"
#include "window_rig.h"

namespace {

using namespace zv::test;

constexpr quint16 kQueryQuality = static_cast<quint16>(zv::ControlOperation::QueryQuality);

void Pause(int ms) { WaitFor([] { return false; }, ms); }

QSystemTrayIcon* TrayOf(MainWindow& window) { return window.findChild<QSystemTrayIcon*>(); }

bool SameImage(const QIcon& a, const QIcon& b) { return a.pixmap(32).toImage() == b.pixmap(32).toImage(); }

// Holds every quality answer until `release` is given; other operations start tunnels.
StandInService::RawReply HeldQuality(QSemaphore& release, const QByteArray& quality) {
  return [&release, quality](const StandInService::Request& request) {
    const bool asked = request.operation() == kQueryQuality;
    if (asked) release.tryAcquire(1, 5000);
    return Framed(request.header.requestId, 0, asked ? quality : R"({"state":"accelerating"})");
  };
}

// One window with everything it talks to, named for the part of it a test is about.
struct Window : ::testing::Test, Desk {};
using AccountPanel = Window;
using LiveView = Window;
using Update = Window;

TEST_F(Window, StartsSignedOutAndAsksOnlyForUpdates) {
  QStringList order;
  for (QWidget* widget : LeftColumn(window)) order.append(Text(widget));
  EXPECT_EQ(order, (QStringList{"Zentravolk", "让每一局都更稳定", "memberCard", "账号或邮箱", "密码", "登录", "注册账号",
                                "加速线路：请选择游戏", "routeQuality", "尚未连接本地加速服务", "检查服务", "开始加速", "启动游戏",
                                "停止加速"}));
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled() || screen.Button("停止加速")->isEnabled() ||
               screen.Button("启动游戏")->isEnabled());
  EXPECT_TRUE(screen.Button("检查服务")->isEnabled() && screen.Button("登录")->isEnabled());
  EXPECT_TRUE(screen.Label("membershipStatus")->isHidden());
  EXPECT_EQ(window.windowTitle(), "游戏加速器");
  ASSERT_TRUE(WaitFor([&] { return !backend.server.received.isEmpty(); }));
  QApplication::processEvents();
  ASSERT_EQ(backend.server.received.size(), 1);
  EXPECT_TRUE(backend.server.received.first().target.startsWith("/api/v1/client/releases/latest?"));
  EXPECT_TRUE(service.Requests().isEmpty());
}

// The test screen is a 1366 x 768 laptop's work area: every control can be
// scrolled to and is seen whole, and signing in and out never makes the window grow.
// Disabled buttons look so, and no label paints over the member card.
TEST_F(Window, FitsALaptopScreenAndLooksAsItIs) {
  window.show();
  const QRect available = window.screen()->availableGeometry();
  EXPECT_TRUE(available.contains(window.frameGeometry())) << window.frameGeometry().height();
  EXPECT_LE(window.minimumSizeHint().height(), available.height() / 2);
  const auto fill = [](QWidget* widget) { return widget->grab().toImage().pixelColor(8, widget->height() / 2); };
  const QColor disabled = fill(screen.Button("开始加速"));
  for (QPushButton* button : {screen.Button("启动游戏"), screen.Button("停止加速")}) {
    EXPECT_EQ(fill(button), disabled) << button->text().toStdString() << " disabled";
    button->setEnabled(true);
    EXPECT_NE(fill(button), disabled) << button->text().toStdString() << " enabled";
    button->setEnabled(false);
  }
  QLabel* account = screen.Account();
  const QPoint besideText = account->geometry().topRight() + QPoint(-2, 2);  // no glyph reaches the label's end
  EXPECT_EQ(window.findChild<QFrame*>("memberCard")->grab().toImage().pixelColor(besideText), QColor("#121b18"))
      << "a label paints over the card";
  const QSize size = window.size();
  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_TRUE(SignIn());
    ASSERT_TRUE(WaitFor([&] { return !screen.Button("退出登录")->isHidden(); }));
    screen.Button("退出登录")->click();
    QApplication::processEvents();
    EXPECT_EQ(window.size(), size) << "cycle " << cycle;
  }
  // A long node name with its IP must wrap, not widen the column past its view.
  screen.route->setText("当前节点：Frankfurt am Main Premium Gaming Node 07 · 加速 IP：203.0.113.100");
  QApplication::processEvents();
  auto* scroll = window.findChild<QScrollArea*>();
  for (QWidget* widget : LeftColumn(window)) {
    if (widget->isHidden()) continue;
    scroll->ensureWidgetVisible(widget, 0, 0);
    const QRect shown(widget->mapTo(scroll->viewport(), QPoint()), widget->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(shown)) << Text(widget).toStdString();
    EXPECT_LE(widget->minimumSizeHint().width(), widget->width()) << "cut off: " << Text(widget).toStdString();
  }
}

// What the window shows in each state, and that the user always has a way
// forward that the status line does not contradict.
TEST_F(Window, EveryStateShowsItsTextAndAWayForward) {
  const auto check = [&](std::uint32_t status, const QByteArray& body) {
    return [&, status, body] {
      service.Script(1, status, body);
      screen.Button("检查服务")->click();
    };
  };
  const auto press = [&](const char* button, HttpAnswer deletion) {
    return [&, button, deletion] {
      backend.deletion = deletion;
      screen.Button(button)->click();
    };
  };
  const QString refused = "服务拒绝了请求";
  const struct {
    const char* what;
    std::function<void()> act;
    QString status;
    bool start, stop, launch;
  } steps[] = {
      {"signed out, idle", check(0, R"({"state":"idle"})"), "当前未加速", false, false, false},
      {"both words", check(0, R"({"state":"idle","was":"accelerating"})"), "正在加速", false, true, false},
      {"another text", check(0, R"({"note":"other"})"), R"({"note":"other"})", false, true, false},
      {"a refusal", check(4, R"({"error":"x"})"), refused, false, true, false},
      {"no service",
       [&] {
         const QByteArray socket = qgetenv(zv::kControlSocketVariable);
         qputenv(zv::kControlSocketVariable, "/nonexistent/zv.sock");
         screen.Button("检查服务")->click();
         qputenv(zv::kControlSocketVariable, socket);
       },
       "后台加速服务未运行", false, true, false},
      {"idle again", check(0, R"({"state":"idle"})"), "当前未加速", false, false, false},
      {"signed in", [&] { SignIn(); }, "香港节点在线，可开始加速", true, false, false},
      {"no key tool",
       [&] {
         QFile::rename(keyTool.path, keyTool.path + ".away");
         screen.Button("开始加速")->click();
         QFile::rename(keyTool.path + ".away", keyTool.path);
       },
       "无法生成隧道密钥，请重新安装客户端", true, false, false},
      {"accelerating", [&] { screen.Button("开始加速")->click(); }, "正在加速 · 智能分流 Beta（仅游戏流量）", false, true, true},
      {"another game meanwhile", [&] { screen.games->setCurrentRow(1); }, "已在加速中，停止加速后可开始新的加速", false,
       true, false},
      {"checked meanwhile", check(0, R"({"state":"accelerating"})"), "正在加速", false, true, false},
      {"the deletion fails", press("停止加速", {500, R"({"message":"稍后再试"})"}), "稍后再试", false, true, false},
      {"stopped", press("停止加速", {204, ""}), "当前未加速", true, false, false},
      {"a refused start, rolling back",
       [&] {
         service.Script(2, 4, R"({"error":"tunnel_already_running"})");
         press("开始加速", {204, "", false, 500})();
       },
       "本地隧道启动失败，正在撤销会话… · " + refused, false, false, false},
      {"rolled back", [] {}, "当前未加速 · 上次启动失败：" + refused, true, false, false},
      {"a refused start whose rollback fails", press("开始加速", {502, ""}), "停止加速会话失败", false, true, false},
      {"checked: the held session stays stoppable", check(0, R"({"state":"idle"})"), "当前未加速", false, true, false},
      {"stopped at last", press("停止加速", {204, ""}), "当前未加速 · 上次启动失败：" + refused, true, false, false},
  };
  for (const auto& step : steps) {
    step.act();
    EXPECT_TRUE(WaitFor([&] { return screen.status->text() == step.status; }))
        << step.what << ": " << screen.status->text().toStdString();
    EXPECT_EQ(screen.Button("开始加速")->isEnabled(), step.start) << step.what;
    EXPECT_EQ(screen.Button("停止加速")->isEnabled(), step.stop) << step.what;
    EXPECT_EQ(screen.Button("启动游戏")->isEnabled(), step.launch) << step.what;
    if (QString(step.what) == "accelerating") {
      EXPECT_EQ(backend.LastSession().value("preferred_node_id"), "n1") << "the first node, whatever the scores";
      EXPECT_EQ(backend.LastSession().value("client_public_key"), "PUB");
      EXPECT_EQ(service.Requests().last().body,
                R"({"assigned_ip":"10.240.0.2/32","egress_ip":"203.0.113.7","game_processes":["game.exe"],)"
                R"("private_key":"PRIV","route_mode":"process-beta","rules_environment":"x","session_id":"s1"})");
      EXPECT_EQ(screen.route->text(), "当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7");
    }
  }
  EXPECT_EQ(service.Requests().last().operation(), 3) << "each ended session stops the tunnel";
}

TEST_F(Window, RepliesForAnEarlierSelectionChangeNothing) {
  backend.slowSecondGame = 300;
  backend.nodes.delayMs = 300;
  ASSERT_TRUE(SignIn());
  screen.games->setCurrentRow(1);  // its regions come late, after the first game is back
  screen.games->setCurrentRow(0);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前游戏暂无可用区服"; }));
  EXPECT_EQ(screen.route->text(), "加速线路：华东 · 香港智能节点");
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "the first game's region is still the one in use";

  screen.Button("开始加速")->click();  // its nodes come late, after the user picked another game
  screen.games->setCurrentRow(1);
  ASSERT_TRUE(WaitFor([&] { return backend.Received("GET", "/api/v1/games/g1/regions/r1/nodes").size() == 1; }));
  Pause(700);
  EXPECT_TRUE(backend.Received("POST", "/api/v1/acceleration").isEmpty()) << "no session for a stale node list";
}

TEST_F(Window, ProbeValueAndRouteModeFollowTheRules) {
  backend.session = HttpAnswer{409, R"({"message":"名额已满"})"};
  ASSERT_TRUE(SignIn());
  const std::pair<QByteArray, int> scores[] = {{"20", 20}, {"", 100}, {"0", 1}, {"-5", 1}, {"12.5", 100}, {"\"7\"", 100}};
  for (const auto& [score, rtt] : scores) {
    backend.nodes.body = R"({"items":[{"id":"n1","name":"A","location":"hk")" +
                         (score.isEmpty() ? QByteArray() : ",\"score\":" + score) + "}]}";
    backend.server.received.clear();
    screen.Button("开始加速")->click();
    ASSERT_TRUE(WaitFor([&] { return !backend.Received("POST", "/api/v1/acceleration").isEmpty(); }));
    ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); })) << "a refused session can be retried";
    EXPECT_EQ(screen.status->text(), "名额已满");
    EXPECT_EQ(screen.route->text(), "当前节点：A · HK");
    EXPECT_EQ(backend.LastSession().value("probes")[0].toObject().value("rtt_ms").toInt(), rtt) << score.constData();
  }

  // The marker file keeps the whole tunnel: no route mode, whatever the session lists.
  QFile marker(QCoreApplication::applicationDirPath() + "/force-full-tunnel");
  ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
  marker.close();
  backend.session = HttpAnswer{201, R"({"session_id":"s2","game_processes":["game.exe"],"rules_environment":"global-fallback"})"};
  ASSERT_TRUE(Accelerate());
  QFile::remove(marker.fileName());
  EXPECT_EQ(service.Requests().last().body,
            R"({"game_processes":["game.exe"],"private_key":"PRIV","rules_environment":"global-fallback","session_id":"s2"})");
  EXPECT_EQ(screen.status->text(), "正在加速 · 全局模式（全部 IPv4 流量经香港）");
}

class SteamHandler : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

TEST_F(Window, LaunchGoesThroughSteamForKnownSlugsOnly) {
  SteamHandler steam;
  QDesktopServices::setUrlHandler("steam", &steam, "Open");
  const std::pair<const char*, const char*> rows[] = {
      {"pubg", "steam://rungameid/578080"},
      {"war-thunder-international", "steam://rungameid/236390"},
      {"war-thunder", nullptr},
      {"CS2", nullptr},
  };
  QJsonArray games;
  for (const auto& [slug, url] : rows) games.append(QJsonObject{{"id", slug}, {"name", slug}, {"slug", slug}});
  backend.games.body = QJsonDocument(QJsonObject{{"items", games}}).toJson();
  ASSERT_TRUE(SignInAndAccelerate());
  for (int row = 0; row < 4; ++row) {
    const auto& [slug, url] = rows[row];
    screen.games->setCurrentRow(row);
    screen.Button("启动游戏")->setEnabled(true);  // the selection change turned it off; the slug is what counts here
    steam.opened.clear();
    QString said;
    if (url == nullptr) OnNextBox([&](QMessageBox& box) { said = Said(box), box.accept(); });
    screen.Button("启动游戏")->click();
    EXPECT_EQ(steam.opened, url ? QList<QUrl>{QUrl(url)} : QList<QUrl>{}) << slug;
    EXPECT_EQ(said, url ? "" : "启动游戏|该游戏暂未配置自动启动，请保持Zentravolk处于“正在加速”，再从游戏官方启动器打开。") << slug;
  }
  QDesktopServices::unsetUrlHandler("steam");
}

TEST(UpdateOffer, PromptsFollowIt) {
  for (const bool mandatory : {false, true}) {
    Backend backend;
    backend.release.body = QByteArray(R"({"version":"9.9.9","download_url":"http://127.0.0.1/x.exe","sha256":"ab",)") +
                           R"("size_bytes":5,"release_notes":"修复","mandatory":)" + (mandatory ? "true" : "false") + "}";
    QStringList seen;
    OnNextBox([&](QMessageBox& box) {
      seen << Said(box) + "|" + box.informativeText() + "|" + QString::number(box.buttons().size());
      if (!mandatory) {
        for (QAbstractButton* button : box.buttons()) {
          if (button->text() == "稍后提醒") button->click();
        }
        return;
      }
      // Esc still downloads; the plain-HTTP address then fails with a warning box.
      OnNextBox([&](QMessageBox& warning) { seen << Said(warning), warning.accept(); });
      box.reject();
    });
    MainWindow window;
    Screen screen(window);
    ASSERT_TRUE(WaitFor([&] { return seen.size() == (mandatory ? 2 : 1); })) << mandatory;
    EXPECT_EQ(seen.first(), QString("发现新版本|Zentravolk 9.9.9 已发布|修复|%1").arg(mandatory ? 1 : 2));
    EXPECT_EQ(seen.last(), mandatory ? "更新失败|更新信息不完整" : seen.first());
    EXPECT_EQ(screen.status->text(), mandatory ? "更新信息不完整" : "尚未连接本地加速服务");
  }
}

TEST_F(AccountPanel, MembershipIsShownAsTheBackendReportsIt) {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const QDateTime inTrial = now.addSecs(36 * 3600);
  const qint64 trialDays = now.date().daysTo(inTrial.date());  // one or two UTC midnights ahead
  const QString trialExpiry = inTrial.toString(Qt::ISODate), pastExpiry = "2020-01-02T03:04:00Z";
  const auto local = [](const QString& iso) {
    return QDateTime::fromString(iso, Qt::ISODate).toLocalTime().toString("yyyy-MM-dd HH:mm");
  };
  const struct {
    QJsonValue membership;  // undefined: no member at all
    QString status, expiry;
    bool active;
  } rows[] = {
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
  for (const auto& row : rows) {
    QJsonObject profile{{"account", "me@example.com"}};
    if (!row.membership.isUndefined()) profile.insert("membership", row.membership);
    emit window.findChild<ApiClient*>()->ProfileLoaded(profile);
    const std::string label = QJsonDocument(profile).toJson(QJsonDocument::Compact).toStdString();
    EXPECT_EQ(screen.Account()->text(), "账号：me@example.com");
    EXPECT_EQ(screen.Label("membershipStatus")->text(), row.status) << label;
    EXPECT_EQ(screen.Label("membershipExpiry")->text(), row.expiry) << label;
    EXPECT_EQ(screen.Label("membershipStatus")->property("active").toBool(), row.active) << label;
    EXPECT_FALSE(screen.Label("membershipStatus")->isHidden());
    EXPECT_TRUE(screen.Button("登录")->isHidden());
  }
}

TEST_F(AccountPanel, SignInFailuresKeepWhatWasTyped) {
  QLineEdit *account = nullptr, *password = nullptr;
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
    (edit->echoMode() == QLineEdit::Password ? password : account) = edit;
  }
  account->setText("   ");
  password->setText("pw");
  screen.Button("登录")->click();
  EXPECT_EQ(screen.Account()->text(), "请输入账号和密码");
  QApplication::processEvents();
  EXPECT_TRUE(backend.Received("POST", "/api/v1/auth/login").isEmpty());

  backend.login = HttpAnswer{401, R"({"message":"密码错误"})"};
  account->setText("me");
  screen.Button("登录")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.Account()->text() == "密码错误"; }));
  EXPECT_EQ(account->text() + password->text(), "mepw");
  EXPECT_TRUE(screen.Button("登录")->isEnabled());

  // A stored token with a failed answer counts as signed in for the failure's text.
  backend.login = HttpAnswer{200, R"({"access_token":"t","refresh_token":""})"};
  screen.Button("登录")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "登录响应缺少 Token"; }));
  EXPECT_EQ(screen.Account()->text(), "正在登录…");
  EXPECT_TRUE(screen.Button("登录")->isEnabled());
}

TEST(SignOut, DeletesTheSessionWhileTheTokenIsStillHeld) {
  for (const bool withSession : {false, true}) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    ASSERT_TRUE(withSession ? desk.SignInAndAccelerate() : desk.SignIn());
    const int before = service.Requests().size();
    screen.Button("退出登录")->click();
    ASSERT_TRUE(WaitFor([&] { return service.Requests().size() > before; })) << "the tunnel stops, after any deletion";
    const QList<HttpExchange> deletions = backend.Received("DELETE", "/");
    ASSERT_EQ(deletions.size(), withSession ? 1 : 0);
    if (withSession) {
      EXPECT_EQ(deletions.first().target, "/api/v1/acceleration/sessions/s1");
      EXPECT_EQ(deletions.first().headers.value("authorization"), "Bearer t");
    }
    EXPECT_EQ(service.Requests().last().operation(), 3);
    EXPECT_EQ(screen.Account()->text(), "尚未登录");
    EXPECT_EQ(screen.games->count(), 0);
    EXPECT_FALSE(screen.Button("开始加速")->isEnabled() || screen.Button("启动游戏")->isEnabled());
    EXPECT_FALSE(screen.Button("登录")->isHidden());
    EXPECT_FALSE(window.findChildren<QLineEdit*>().first()->text().isEmpty()) << "the account text stays";
  }
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

// Closing only hides the window, each time with a balloon that says so; the tray
// brings it back; its exit entry stops everything before quitting.
TEST(Tray, ClosingHidesTheWindowAndTheExitEntryStopsEverything) {
  const std::pair<bool, HttpAnswer> rows[] = {
      {false, {204, ""}}, {true, {204, ""}}, {true, {500, R"({"message":"后端忙"})"}}};
  for (const auto& [withSession, deletion] : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    ASSERT_TRUE(withSession ? desk.SignInAndAccelerate() : desk.SignIn());
    for (int i = 0; i < 2; ++i) {
      window.show();
      window.close();
      EXPECT_TRUE(window.isHidden());
    }
    const QString said = withSession ? "Zentravolk仍在运行|加速仍在运行；选择“退出并停止加速”才会断开。"
                                     : "Zentravolk仍在运行|程序已最小化到任务栏通知区域。";
    EXPECT_EQ(window.balloons, QStringList({said, said}));
    EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty()) << "closing never ends the session";
    for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
      emit TrayOf(window)->activated(reason);
      EXPECT_TRUE(window.isHidden()) << reason;
    }
    for (const auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
      window.hide();
      emit TrayOf(window)->activated(reason);
      EXPECT_TRUE(window.isVisible()) << reason;
    }
    window.hide();
    window.findChild<QMenu*>()->actions().at(0)->trigger();
    EXPECT_TRUE(window.isVisible());

    backend.deletion = deletion;
    QString stalled = "-";
    if (deletion.status != 204) {
      // The refused deletion brings the tray back and asks; quitting anyway still stops the tunnel.
      OnNextBox([&](QMessageBox& box) {
        stalled = box.windowTitle() + (TrayOf(window)->isVisible() ? " with the tray" : "");
        for (QAbstractButton* button : box.buttons()) {
          if (button->text() == "仍然退出") button->click();
        }
      });
    }
    EXPECT_TRUE(QuitsWithin([&] { window.findChild<QMenu*>()->actions().at(1)->trigger(); }));
    EXPECT_EQ(service.Requests().last().operation(), 3) << "StopTunnel before the end";
    EXPECT_EQ(backend.Received("DELETE", "/").size(), withSession ? 1 : 0);
    EXPECT_EQ(stalled, deletion.status != 204 ? "退出失败 with the tray" : "-");
  }
}

// The download's progress, then the install, offered once the download is verified:
// declined, it waits; a started installer ends the client and leaves the tunnel to the service.
TEST_F(Update, AStartedInstallerEndsTheClientAndLeavesTheTunnelAlone) {
  ASSERT_TRUE(SignInAndAccelerate());
  QTemporaryDir saved;
  const QString installer = saved.filePath("setup.sh"), ran = saved.filePath("ran");
  QFile script(installer);
  script.open(QIODevice::WriteOnly);
  script.write(("#!/bin/sh\ntouch '" + ran + "'\n").toUtf8());
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  script.close();
  ApiClient* api = window.findChild<ApiClient*>();
  const std::tuple<qlonglong, qlonglong, const char*> progress[] = {
      {1, 3, "正在下载更新：33%"},           {7, -1, "正在下载更新：33%"},  // an unknown total leaves the text
      {1023, 1024, "正在下载更新：99%"},     // truncated, not rounded
      {5'000'000'000, 10'000'000'000, "正在下载更新：50%"},  // 64-bit arithmetic
  };
  for (const auto& [received, total, text] : progress) {
    emit api->UpdateDownloadProgress(received, total);
    EXPECT_EQ(screen.status->text(), text) << received << "/" << total;
  }
  OnNextBox([](QMessageBox& box) {
    EXPECT_EQ(Said(box), "安装更新|新版已下载并通过安全校验。现在退出Zentravolk并开始升级吗？");
    EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::Yes));
    box.button(QMessageBox::No)->click();
  });
  emit api->UpdateDownloaded(installer);
  EXPECT_EQ(screen.status->text(), "更新已下载，可稍后重新检查更新");
  EXPECT_TRUE(QFile::exists(installer) && !QFile::exists(ran)) << "declining keeps the installer, unstarted";
  QString warning;
  OnNextBox([&](QMessageBox& box) {
    OnNextBox([&](QMessageBox& failure) { warning = Said(failure), failure.accept(); });
    box.button(QMessageBox::Yes)->click();
  });
  emit api->UpdateDownloaded("/nonexistent/setup.exe");
  EXPECT_EQ(warning, "更新失败|无法启动更新安装程序");

  const int before = service.Requests().size();
  window.show();  // a shown window is not asked to close: it would go to the tray instead
  OnNextBox([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
  EXPECT_TRUE(QuitsWithin([&] { emit api->UpdateDownloaded(installer); }));
  EXPECT_TRUE(WaitFor([&] { return QFile::exists(ran); }));
  EXPECT_EQ(service.Requests().size(), before) << "the service keeps the tunnel";
  EXPECT_TRUE(window.balloons.isEmpty()) << "the window was asked to close and said it stays in the tray";
  EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty());
}

TEST(LiveQuality, TheLineTheTrayAndTheListTellHowTheAccelerationGoes) {
  const struct {
    const char* name;
    std::uint32_t status;
    QByteArray reply;
    QString line;  // the quality line up to the time accelerated
    const char* level;
    QString tray;  // the tool tip after "Zentravolk游戏加速器 · "
  } rows[] = {
      {"a good path", 0, R"({"state":"accelerating","probes":5,"rtt_ms":23,"loss_percent":0,"silent_ms":400})",
       "延迟 23 ms · 丢包 0% · 已加速 00:00:0", "good", "正在加速 Game One · 延迟 23 ms"},
      {"under a millisecond", 0, R"({"state":"accelerating","probes":2,"rtt_ms":0,"loss_percent":0,"silent_ms":90})",
       "延迟 <1 ms · 丢包 0% · 已加速", "good", "正在加速 Game One · 延迟 <1 ms"},
      {"a lossy path", 0, R"({"state":"accelerating","probes":10,"rtt_ms":41,"loss_percent":20,"silent_ms":900})",
       "延迟 41 ms · 丢包 20% · 已加速", "poor", "正在加速 Game One · 延迟 41 ms"},
      {"a slow path", 0, R"({"state":"accelerating","probes":10,"rtt_ms":180,"loss_percent":0,"silent_ms":100})",
       "延迟 180 ms · 丢包 0% · 已加速", "poor", "正在加速 Game One · 延迟 180 ms"},
      {"a broken path: said, not the last figure", 0,
       R"({"state":"accelerating","probes":10,"rtt_ms":23,"loss_percent":60,"silent_ms":5200})",
       "线路中断：节点已 5 秒无响应 · 已加速", "broken", "正在加速 Game One · 线路中断"},
      {"nothing answered yet", 0, R"({"state":"accelerating","probes":0,"rtt_ms":-1,"loss_percent":0,"silent_ms":300})",
       "正在测量延迟… · 已加速", "good", "正在加速 Game One · 正在测量延迟"},
      {"a service without figures: the time alone", 1, R"({"error":"unknown_operation"})", "已加速 00:00:0", "good",
       "正在加速 Game One"},
      {"a service that refuses", 4, R"({"error":"boom"})", "无法读取线路质量：服务拒绝了请求 · 已加速", "broken",
       "正在加速 Game One · 线路质量未知"},
  };
  for (const auto& row : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    service.Script(kQueryQuality, row.status, row.reply);
    ASSERT_TRUE(desk.SignIn());
    const QIcon idleTray = TrayOf(window)->icon();
    ASSERT_TRUE(desk.Accelerate()) << row.name;
    QLabel* line = screen.Label("routeQuality");
    EXPECT_TRUE(WaitFor([&] { return line->text().startsWith(row.line); })) << row.name << ": " << line->text().toStdString();
    EXPECT_FALSE(line->isHidden()) << row.name;
    EXPECT_EQ(line->property("level").toString(), row.level) << row.name;
    EXPECT_EQ(TrayOf(window)->toolTip(), "Zentravolk游戏加速器 · " + row.tray) << row.name;
    EXPECT_FALSE(SameImage(TrayOf(window)->icon(), idleTray)) << row.name << ": the tray's icon tells it accelerates";
    EXPECT_EQ(screen.games->item(0)->toolTip(), "正在加速") << row.name;
    EXPECT_TRUE(screen.games->item(0)->font().bold()) << row.name;
    EXPECT_TRUE(screen.games->item(1)->toolTip().isEmpty()) << row.name;

    screen.Button("停止加速")->click();
    ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; })) << row.name;
    EXPECT_TRUE(line->isHidden()) << row.name;
    EXPECT_EQ(TrayOf(window)->toolTip(), "Zentravolk游戏加速器 · 当前未加速") << row.name;
    EXPECT_TRUE(SameImage(TrayOf(window)->icon(), idleTray)) << row.name;
    EXPECT_TRUE(screen.games->item(0)->toolTip().isEmpty() && !screen.games->item(0)->font().bold()) << row.name;
  }
}

// The service gave the tunnel up while the session is still held: said
// plainly, nothing offers to launch, and only stopping is left.
TEST_F(LiveView, ATunnelTheServiceGaveUpIsSaidPlainly) {
  service.Script(kQueryQuality, 0, R"({"state":"idle"})");
  ASSERT_TRUE(SignIn());
  screen.Button("开始加速")->click();  // the first answer may end the run before "启动游戏" is ever seen enabled
  QLabel* line = screen.Label("routeQuality");
  ASSERT_TRUE(WaitFor([&] { return line->text().startsWith("加速已中断"); })) << line->text().toStdString();
  EXPECT_EQ(screen.status->text(), "当前未加速");
  EXPECT_FALSE(screen.Button("启动游戏")->isEnabled());
  EXPECT_TRUE(screen.Button("停止加速")->isEnabled());
  EXPECT_EQ(TrayOf(window)->toolTip(), "Zentravolk游戏加速器 · 加速已中断");
  const int polls = service.QualityPolls();
  Pause(1500);
  EXPECT_EQ(service.QualityPolls(), polls) << "no more polls once it is over";
}

// The service holds every quality answer back for seconds; the window's own
// event loop must keep running all the while.
TEST_F(LiveView, TheWindowNeverWaitsForTheService) {
  ASSERT_TRUE(SignIn());
  QSemaphore release;
  service.ScriptRaw(
      HeldQuality(release, R"({"state":"accelerating","probes":1,"rtt_ms":9,"loss_percent":0,"silent_ms":0})"));
  ASSERT_TRUE(Accelerate());
  ASSERT_TRUE(WaitFor([&] { return service.QualityPolls() == 1; }));
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
  tick.start(10);
  Pause(1500);
  EXPECT_GE(ticks, 60) << "the event loop stood still while the service was asked";
  release.release(10);
  EXPECT_TRUE(WaitFor([&] { return screen.Label("routeQuality")->text().startsWith("延迟 9 ms"); }));
}

TEST(QualityPoll, AsksOnceAtATime) {
  StandInService service;
  QSemaphore release;
  service.ScriptRaw(HeldQuality(release, R"({"state":"idle"})"));
  QualityPoll poll;
  QSignalSpy answers(&poll, &QualityPoll::Answered);
  for (int i = 0; i < 5; ++i) poll.Ask();
  ASSERT_TRUE(WaitFor([&] { return service.QualityPolls() == 1; }));
  release.release(10);
  ASSERT_TRUE(WaitFor([&] { return answers.size() == 1; }));
  Pause(300);
  EXPECT_EQ(service.QualityPolls(), 1) << "questions asked while one was under way are dropped";
  EXPECT_EQ(answers.size(), 1);
  poll.Ask();
  EXPECT_TRUE(WaitFor([&] { return answers.size() == 2; })) << "and the next is asked";
}

TEST_F(LiveView, EveryControlHasANameForScreenReaders) {
  ASSERT_TRUE(SignInAndAccelerate());
  const auto name = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    const auto* button = qobject_cast<QAbstractButton*>(widget);
    if (button || qobject_cast<QLineEdit*>(widget) || qobject_cast<QListWidget*>(widget) ||
        qobject_cast<QLabel*>(widget)) {
      EXPECT_FALSE(name(widget).isEmpty()) << widget->metaObject()->className() << " " << Text(widget).toStdString();
    }
    if (button) {
      EXPECT_EQ(name(widget), button->text());
    }
  }
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
    edit->setText("typed");  // a placeholder is gone once there is text; the name stays
    EXPECT_TRUE(QStringList({"账号或邮箱", "密码"}).contains(name(edit)));
  }
  EXPECT_EQ(name(screen.games), "选择游戏");
}

TEST(SingleInstance, ALaterStartShowsTheRunningClientInstead) {
  QTemporaryDir folder;
  Backend backend;
  MainWindow window;
  SingleInstance first(folder.filePath("client"));
  ASSERT_TRUE(first.First());
  QObject::connect(&first, &SingleInstance::ShowRequested, &window, [&window] { window.ShowWindow(); });
  SingleInstance second(folder.filePath("client"));
  EXPECT_FALSE(second.First());
  EXPECT_TRUE(WaitFor([&] { return window.isVisible(); })) << "the running client shows itself";
  EXPECT_TRUE(SingleInstance(folder.filePath("another-user")).First()) << "another user's client is not this one";
}

// The real program: a second start ends at once and leaves the first running;
// a killed client leaves its socket behind, and the next start is the client.
TEST(SingleInstance, TheProgramStartedTwiceRunsOnce) {
  QTemporaryDir runtime;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_RUNTIME_DIR", runtime.path());
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("VIRI_ZIVADADIVAZ_API_URL", "http://127.0.0.1:9");  // nobody: the release check fails quietly
  const auto start = [&](QProcess& process) {
    process.setProcessEnvironment(environment);
    process.start(ZV_CLIENT_EXECUTABLE, {});
    return process.waitForStarted();
  };
  QProcess first, second, third;
  ASSERT_TRUE(start(first));
  ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(runtime.path() + "/zentravolk-client"); }, 10000));
  ASSERT_TRUE(start(second));
  EXPECT_TRUE(second.waitForFinished(5000)) << "the second start ended";
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished();
  ASSERT_TRUE(start(third));
  EXPECT_FALSE(third.waitForFinished(1500)) << "after a crash the next start is the client";
  third.kill();
  third.waitForFinished();
}

}  // namespace

#include "window_test.moc"
