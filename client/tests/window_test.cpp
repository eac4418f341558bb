// The main window driven through its widgets, against the loopback backend,
// a stand-in service and a stand-in key tool in the program's folder: one test
// for the wiring of each concern (the rules themselves are window_rules_test).
#include <gtest/gtest.h>

#include <signal.h>

#include <QAccessible>
#include <QDesktopServices>
#include <QJsonArray>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSemaphore>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include "api_client.h"
#include "quality_poll.h"
#include "single_instance.h"
#include "window_rig.h"

namespace {

using namespace zv::test;

constexpr quint16 kQueryQuality = static_cast<quint16>(zv::ControlOperation::QueryQuality);

void Pause(int ms) { WaitFor([] { return false; }, ms); }

QSystemTrayIcon* TrayOf(MainWindow& window) { return window.findChild<QSystemTrayIcon*>(); }

QImage IconImage(MainWindow& window) { return TrayOf(window)->icon().pixmap(32).toImage(); }

void Click(QMessageBox& box, const QString& text) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == text) button->click();
  }
}

// Holds every quality answer until `release` is given; other operations start tunnels.
StandInService::RawReply HeldQuality(QSemaphore& release, const QByteArray& quality) {
  return [&release, quality](const StandInService::Request& request) {
    const bool asked = request.operation() == kQueryQuality;
    if (asked) release.tryAcquire(1, 5000);
    return Framed(request.header.requestId, 0, asked ? quality : R"({"state":"accelerating"})");
  };
}

QList<quint16> Operations(StandInService& service) {
  QList<quint16> operations;
  for (const auto& request : service.Requests()) operations << request.operation();
  return operations;
}

// One window with everything it talks to, named for the part of it a test is about.
struct Window : ::testing::Test, Desk {};
using Keyboard = Window;
using LiveView = Window;
using Stop = Window;
using Update = Window;

// Signed out it asks the backend for nothing but updates; signed in, the account panel
// shows the membership the backend reports.
TEST_F(Window, StartsSignedOutAsksOnlyForUpdatesAndShowsTheMembershipOnceSignedIn) {
  QStringList order;
  for (QWidget* widget : Part(window, "leftColumn") + Part(window, "actionPanel")) order.append(Text(widget));
  EXPECT_EQ(order, (QStringList{"Zentravolk", "让每一局都更稳定", "memberCard", "账号或邮箱", "密码", "登录", "注册账号",
                                "加速线路：请选择游戏", "routeQuality", "pathGraph", "尚未连接本地加速服务", "检查服务",
                                "开始加速", "启动游戏", "停止加速"}));
  EXPECT_EQ(screen.Actions(), std::tuple(false, false, false));
  EXPECT_TRUE(screen.Button("检查服务")->isEnabled() && screen.Button("登录")->isEnabled());
  EXPECT_TRUE(screen.Label("membershipStatus")->isHidden());
  EXPECT_EQ(window.windowTitle(), "游戏加速器");
  ASSERT_TRUE(WaitFor([&] { return !backend.server.received.isEmpty(); }));
  QApplication::processEvents();
  ASSERT_EQ(backend.server.received.size(), 1);
  EXPECT_TRUE(backend.server.received.first().target.startsWith("/api/v1/client/releases/latest?"));
  EXPECT_TRUE(service.Requests().isEmpty());

  backend.profile.body = R"({"account":"me@example.com","membership":{"active":true,"kind":"grant"}})";
  ASSERT_TRUE(SignIn());
  ASSERT_TRUE(WaitFor([&] { return !screen.Label("membershipStatus")->isHidden(); }));
  EXPECT_EQ(screen.Account()->text(), "账号：me@example.com");
  EXPECT_EQ(screen.Label("membershipStatus")->text(), "会员状态：赠送会员 · 剩余 0 天");
  EXPECT_EQ(screen.Label("membershipExpiry")->text(), "到期时间：");
  EXPECT_TRUE(screen.Label("membershipStatus")->property("active").toBool());
  EXPECT_TRUE(screen.Button("登录")->isHidden());
}

// Run on a 1366 x 768 laptop's work area, and (as their own tests) on it and
// on a 1920 x 1080 screen at 150 %: in every state each button of the moment
// is on screen without scrolling, and signing in and out never makes the
// window grow. Disabled buttons look so, and no label paints over the member card.
TEST_F(Window, FitsTheScreenWithEveryButtonOfTheMomentInView) {
  window.show();
  const QRect available = window.screen()->availableGeometry();
  const auto inView = [&](const char* state) {
    QApplication::processEvents();
    EXPECT_TRUE(available.contains(window.frameGeometry())) << state;
    auto* scroll = window.findChild<QScrollArea*>();
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 0) << state;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
      if (!widget->isVisible() || !(qobject_cast<QPushButton*>(widget) || qobject_cast<QLineEdit*>(widget))) continue;
      const QRect shown(widget->mapTo(&window, QPoint()), widget->size());
      const bool scrolled = scroll->widget()->isAncestorOf(widget);
      const QRect area = scrolled ? QRect(scroll->viewport()->mapTo(&window, QPoint()), scroll->viewport()->size())
                                  : window.rect();
      EXPECT_TRUE(area.contains(shown)) << state << ": " << Text(widget).toStdString() << " is out of view";
      EXPECT_LE(widget->minimumSizeHint().width(), widget->width()) << state << ": cut off " << Text(widget).toStdString();
    }
  };
  inView("signed out");
  const auto fill = [](QWidget* widget) { return widget->grab().toImage().pixelColor(8, widget->height() / 2); };
  const QColor disabled = fill(screen.Button("开始加速"));
  for (QPushButton* button : {screen.Button("启动游戏"), screen.Button("停止加速")}) {
    EXPECT_EQ(fill(button), disabled) << button->text().toStdString() << " disabled";
  }
  QLabel* account = screen.Account();
  const QPoint besideText = account->geometry().topRight() + QPoint(-2, 2);  // no glyph reaches the label's end
  EXPECT_EQ(window.findChild<QFrame*>("memberCard")->grab().toImage().pixelColor(besideText), QColor("#121b18"))
      << "a label paints over the card";
  const QSize size = window.size();
  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_TRUE(SignIn());
    ASSERT_TRUE(WaitFor([&] { return !screen.Button("退出登录")->isHidden(); }));
    if (cycle == 0) inView("signed in");
    screen.Button("退出登录")->click();
    QApplication::processEvents();
    EXPECT_EQ(window.size(), size) << "cycle " << cycle;
  }
  ASSERT_TRUE(SignInAndAccelerate());
  // A long node name with its IP must wrap, not widen the column past its view.
  screen.route->setText("当前节点：Frankfurt am Main Premium Gaming Node 07 · 加速 IP：203.0.113.100");
  inView("accelerating");
  EXPECT_NE(fill(screen.Button("停止加速")), disabled) << "enabled";
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
      {"a refusal of this user", check(3, R"({"error":"access_denied"})"),
       refused + "：本地加速服务不接受当前用户，请在本机登录的桌面会话中使用", false, true, false},
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
      {"no nodes to be had",
       [&] {
         backend.nodes.status = 503;
         screen.Button("开始加速")->click();
       },
       "读取加速节点失败", true, false, false},
      {"accelerating, the game named",
       [&] {
         backend.nodes.status = 200;
         screen.Button("开始加速")->click();
       },
       "正在加速 · 智能分流 Beta（仅游戏流量） · Game One", false, true, true},
      {"another game meanwhile", [&] { screen.games->setCurrentRow(1); }, "已在加速中，停止加速后可开始新的加速", false,
       true, false},
      {"the accelerated game again", [&] { screen.games->setCurrentRow(0); }, "已在加速中，停止加速后可开始新的加速",
       false, true, true},
      {"checked meanwhile", check(0, R"({"state":"accelerating"})"), "正在加速", false, true, true},
      {"a late failure of a start given up", [&] { emit window.findChild<ApiClient*>()->AccelerationFailed("迟到"); },
       "迟到", false, true, true},
      {"the deletion fails, is tried again, and the service refuses the stop",
       [&] {
         service.Script(3, 4, R"({"error":"x"})");
         OnNextBox([&](QMessageBox& box) {
           backend.deletion = {204, ""};
           Click(box, "重试");
         });
         press("停止加速", {500, R"({"message":"稍后再试"})"})();
       },
       "未能停止加速：" + refused, false, true, true},
      {"a dead node then: no other node, no new session",
       [&] {
         const auto sessions = backend.Received("POST", "/api/v1/acceleration").size();
         service.SetQuality(Up(6000, -1, 0, 6000, -1, -1));
         Pause(1500);
         service.SetQuality(kHealthyPath);
         Pause(1500);
         EXPECT_EQ(backend.Received("POST", "/api/v1/acceleration").size(), sessions);
       },
       "正在加速 · 智能分流 Beta（仅游戏流量） · Game One", false, true, true},
      {"stopped when pressed again",
       [&] {
         service.Script(3, 0, R"({"state":"idle"})");
         screen.Button("停止加速")->click();
       },
       "当前未加速", true, false, false},
      {"a start with the service away, rolled back", [&] { service.SetRunning(false), screen.Button("开始加速")->click(); },
       "当前未加速 · 上次启动失败：后台加速服务未运行", true, false, false},
      {"a refused start, rolling back",
       [&] {
         service.SetRunning(true);
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
    EXPECT_EQ(screen.Actions(), std::tuple(step.start, step.stop, step.launch)) << step.what;
    if (QString(step.what).startsWith("accelerating")) {
      // The first node, whatever the scores, with its score as the probe.
      EXPECT_EQ(QJsonDocument(backend.LastSession()).toJson(QJsonDocument::Compact),
                R"({"client_public_key":"PUB","game_id":"g1","preferred_node_id":"n1",)"
                R"("probes":[{"jitter_ms":0,"loss_rate":0,"node_id":"n1","rtt_ms":20}],"region_id":"r1"})");
      EXPECT_EQ(service.Requests().last().body,
                R"({"assigned_ip":"10.240.0.2/32","egress_ip":"203.0.113.7","game_processes":["game.exe"],)"
                R"("private_key":"PRIV","route_mode":"process-beta","rules_environment":"x","session_id":"s1"})");
      EXPECT_EQ(screen.route->text(), "当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7");
    }
  }
  EXPECT_EQ(service.Requests().last().operation(), 3) << "each ended session stops the tunnel";
}

TEST_F(Window, RepliesForAnEarlierSelectionChangeNothing) {
  backend.secondRegions.delayMs = 300;
  backend.nodes.delayMs = 300;
  ASSERT_TRUE(SignIn());
  screen.games->setCurrentRow(1);  // its regions come late, after the first game is back
  screen.games->setCurrentRow(0);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前游戏暂无可用区服"; }));
  EXPECT_EQ(screen.route->text(), "加速线路：华东 · 香港智能节点");
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "the first game's region is still the one in use";

  // Its nodes come late, after the user picked another game and came back: that start is given up.
  screen.Button("开始加速")->click();
  screen.games->setCurrentRow(1);
  screen.games->setCurrentRow(0);
  ASSERT_TRUE(WaitFor([&] { return backend.Received("GET", "/api/v1/games/g1/regions/r1/nodes").size() == 1; }));
  Pause(700);
  EXPECT_TRUE(backend.Received("POST", "/api/v1/acceleration").isEmpty()) << "no session for a start given up";
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "and a start is offered again";

  // A given-up start's node list that fails late must not end the start made since.
  const HttpAnswer nodes = backend.nodes;
  backend.nodes = {503, "{}", false, 500};
  screen.Button("开始加速")->click();
  screen.games->setCurrentRow(1);
  screen.games->setCurrentRow(0);
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  backend.nodes = nodes;
  backend.session.delayMs = 900;
  EXPECT_TRUE(Accelerate()) << screen.status->text().toStdString();
  service.Script(3, 0, R"({"state":"idle"})");
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  backend.session.delayMs = 0;

  // A failure for an earlier selection is only said: the start under way goes on.
  backend.secondRegions = {500, "", false, 300};
  backend.nodes.delayMs = 900;
  screen.games->setCurrentRow(1);
  screen.games->setCurrentRow(0);
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  EXPECT_TRUE(Accelerate()) << screen.status->text().toStdString();
}

TEST_F(Window, ARefusedSessionCanBeRetriedAndTheMarkerKeepsTheWholeTunnel) {
  backend.session = HttpAnswer{409, R"({"message":"名额已满"})"};
  ASSERT_TRUE(SignIn());
  screen.Button("开始加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "名额已满"; }));
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled());
  EXPECT_EQ(screen.route->text(), "当前节点：Edge A · HK");

  QFile marker(QCoreApplication::applicationDirPath() + "/force-full-tunnel");
  ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
  marker.close();
  backend.session = HttpAnswer{201, R"({"session_id":"s2","game_processes":["game.exe"],"rules_environment":"global-fallback"})"};
  ASSERT_TRUE(Accelerate());
  QFile::remove(marker.fileName());
  EXPECT_EQ(service.Requests().last().body,
            R"({"game_processes":["game.exe"],"private_key":"PRIV","rules_environment":"global-fallback","session_id":"s2"})");
  EXPECT_EQ(screen.status->text(), "正在加速 · 全局模式（全部 IPv4 流量经香港） · Game One");
}

class SteamHandler : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

// "启动游戏" goes with the accelerated game, and through Steam where the game is known.
TEST_F(Window, LaunchStartsTheAcceleratedGameOnly) {
  SteamHandler steam;
  QDesktopServices::setUrlHandler("steam", &steam, "Open");
  backend.games.body = R"({"items":[{"id":"g1","name":"PUBG","slug":"pubg"},{"id":"g2","name":"Other","slug":"x"}]})";
  ASSERT_TRUE(SignInAndAccelerate());
  screen.Button("启动游戏")->click();
  EXPECT_EQ(steam.opened, QList<QUrl>{QUrl("steam://rungameid/578080")});
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; }));
  EXPECT_FALSE(screen.Button("启动游戏")->isEnabled()) << "no unaccelerated launch after a stop";

  screen.games->setCurrentRow(1);
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  ASSERT_TRUE(Accelerate());
  QString said;
  OnNextBox([&](QMessageBox& box) { said = Said(box), box.accept(); });
  screen.Button("启动游戏")->click();
  EXPECT_EQ(said, "启动游戏|该游戏暂未配置自动启动，请保持Zentravolk处于“正在加速”，再从游戏官方启动器打开。");
  EXPECT_EQ(steam.opened.size(), 1);
  QDesktopServices::unsetUrlHandler("steam");
}

// Windows offers the installer (declined, or taken at once when mandatory);
// here, on Linux, the package manager is named and nothing is downloaded.
TEST(UpdateOffer, EachPlatformHasItsWay) {
  for (const bool installer : {true, false}) {
    for (const bool mandatory : {false, true}) {
      Backend backend;
      backend.release.body =
          QByteArray(R"({"version":"9.9.9","download_url":"http://127.0.0.1/x.exe","sha256":"ab",)") +
          R"("size_bytes":5,"release_notes":"修复","mandatory":)" + (mandatory ? "true" : "false") + "}";
      QStringList seen;
      OnNextBox([&](QMessageBox& box) {
        seen << Said(box) + "|" + box.informativeText() + "|" + QString::number(box.buttons().size()) +
                    (box.isModal() ? "" : "|modeless");
        if (!installer || !mandatory) {
          Click(box, installer ? "稍后提醒" : "知道了");
          if (box.isVisible()) box.reject();  // not the box it should be: the row fails, the test goes on
          return;
        }
        // Esc still downloads; the plain-HTTP address then fails with a warning box.
        OnNextBox([&](QMessageBox& warning) { seen << Said(warning), warning.accept(); });
        box.reject();
      });
      Watched window;
      window.asOnWindows = installer;
      Screen screen(window);
      ASSERT_TRUE(WaitFor([&] { return seen.size() == (installer && mandatory ? 2 : 1); })) << installer << mandatory;
      const QString packaged = "请通过系统的软件包管理器升级（例如：sudo apt update && sudo apt install zentravolk）。";
      EXPECT_EQ(seen.first(), installer ? QString("发现新版本|Zentravolk 9.9.9 已发布|修复|%1").arg(mandatory ? 1 : 2)
                                        : "发现新版本|Zentravolk 9.9.9 已发布|" +
                                              QString(mandatory ? "这是必须安装的更新，请尽快升级。\n\n" : "") +
                                              "修复\n\n" + packaged + "|1|modeless");
      EXPECT_EQ(seen.last(), installer && mandatory ? "更新失败|更新信息不完整" : seen.first());
      EXPECT_EQ(screen.status->text(), installer && mandatory ? "更新信息不完整" : "尚未连接本地加速服务");
      EXPECT_EQ(backend.Received("GET", "/api/v1/client/releases").size(), 1);
    }
  }
}

// Enter signs in; a failure keeps what was typed and the focus on the password.
// Signed in, Tab follows the screen with no stop on the scroll area, Enter presses
// the focused button, and the focused button wears a ring that stands out.
TEST_F(Keyboard, ReachesEverythingAndAFailedSignInKeepsWhatWasTyped) {
  window.show();
  QApplication::setActiveWindow(&window);
  QLineEdit* account = screen.Edit("账号或邮箱");
  QLineEdit* password = screen.Edit("密码");
  account->setText("   ");
  password->setText("pw");
  QTest::keyClick(password, Qt::Key_Return);
  EXPECT_EQ(screen.Account()->text(), "请输入账号和密码");
  QApplication::processEvents();
  EXPECT_TRUE(backend.Received("POST", "/api/v1/auth/login").isEmpty());

  backend.login = HttpAnswer{401, R"({"message":"密码错误"})"};
  account->setText("me");
  QTest::keyClick(password, Qt::Key_Enter);
  ASSERT_TRUE(WaitFor([&] { return screen.Account()->text() == "密码错误"; }));
  EXPECT_EQ(account->text() + password->text(), "mepw");
  EXPECT_TRUE(screen.Button("登录")->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), password);

  // A stored token with a failed answer counts as signed in for the failure's text.
  backend.login = HttpAnswer{200, R"({"access_token":"t","refresh_token":""})"};
  screen.Button("登录")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "登录响应缺少 Token"; }));
  EXPECT_EQ(screen.Account()->text(), "正在登录…");
  EXPECT_TRUE(screen.Button("登录")->isEnabled());

  backend.login = HttpAnswer{200, R"({"access_token":"t","refresh_token":"r"})"};
  ASSERT_TRUE(SignIn());
  ASSERT_TRUE(WaitFor([&] { return !screen.Button("退出登录")->isHidden(); }));
  screen.Button("退出登录")->setFocus();
  QStringList order;
  for (int i = 0; i < 6; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order << Text(QApplication::focusWidget());
  }
  EXPECT_EQ(order, (QStringList{"检查服务", "开始加速", "搜索游戏", "gameList", "退出登录", "检查服务"}))
      << "disabled buttons are skipped";
  QPushButton* check = screen.Button("检查服务");
  const QColor edge = check->grab().toImage().pixelColor(1, check->height() / 2);
  EXPECT_GT(qGray(edge.rgb()), 200) << "a light ring on the dark window";
  check->clearFocus();
  EXPECT_LT(qGray(check->grab().toImage().pixelColor(1, check->height() / 2).rgb()), 150) << "only when focused";
  const int before = service.Requests().size();
  check->setFocus();
  QTest::keyClick(check, Qt::Key_Return);
  EXPECT_EQ(service.Requests().size(), before + 1) << "Enter pressed it";
}

TEST(SignOut, DeletesTheSessionWhileTheTokenIsStillHeldAndStopsTheTunnelAnyway) {
  const std::pair<bool, HttpAnswer> rows[] = {{false, {204, ""}}, {true, {204, ""}}, {true, {500, ""}}};
  for (const auto& [withSession, deletion] : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    ASSERT_TRUE(withSession ? desk.SignInAndAccelerate() : desk.SignIn());
    backend.deletion = deletion;
    screen.Button("退出登录")->click();
    ASSERT_TRUE(WaitFor([&] { return Operations(service).endsWith(3); })) << "the tunnel stops, after any deletion";
    const QList<HttpExchange> deletions = backend.Received("DELETE", "/");
    ASSERT_EQ(deletions.size(), withSession ? 1 : 0);
    if (withSession) {
      EXPECT_EQ(deletions.first().target, "/api/v1/acceleration/sessions/s1");
      EXPECT_EQ(deletions.first().headers.value("authorization"), "Bearer t");
    }
    EXPECT_EQ(screen.Account()->text(), deletion.status == 204 ? "尚未登录" : "停止加速会话失败");
    EXPECT_EQ(screen.games->count(), 0);
    EXPECT_EQ(screen.Actions(), std::tuple(false, false, false));
    EXPECT_FALSE(screen.Button("登录")->isHidden());
    EXPECT_FALSE(window.findChildren<QLineEdit*>().first()->text().isEmpty()) << "the account text stays";
  }
  QSettings().remove("sessions/unended");
}

// Runs the event loop until the client quits; false when it is still running after `ms`.
bool QuitsWithin(const std::function<void()>& trigger, int ms = 5000) {
  QTimer::singleShot(0, trigger);
  bool timedOut = false;
  QTimer deadline;  // gone with this call, so it never ends a later test's loop
  QObject::connect(&deadline, &QTimer::timeout, [&] {
    timedOut = true;
    QApplication::exit(1);
  });
  deadline.start(ms);
  return QApplication::exec() == 0 && !timedOut;
}

// A session that comes after the user signed out or quit starts no tunnel and
// is ended: on the way out, or at the next sign-in, which offers a start again;
// one that never comes keeps no exit waiting.
TEST(GivenUp, ASessionThatComesAfterASignOutOrAnExitIsEndedUnused) {
  const std::pair<bool, int> rows[] = {{false, 201}, {true, 201}, {true, 500}};  // exit, the session's answer
  for (const auto& [exit, answer] : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    ASSERT_TRUE(desk.SignIn());
    backend.session.status = answer;
    backend.session.delayMs = 500;
    screen.Button("开始加速")->click();
    ASSERT_TRUE(WaitFor([&] { return backend.Received("POST", "/api/v1/acceleration").size() == 1; }));
    if (exit) {
      EXPECT_TRUE(QuitsWithin([&] { window.findChild<QMenu*>()->actions().at(1)->trigger(); })) << answer;
    } else {
      screen.Button("退出登录")->click();
      Pause(800);
      EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty()) << "no token left to end it with";
      ASSERT_TRUE(desk.SignIn());
    }
    EXPECT_TRUE(WaitFor([&] { return backend.Received("DELETE", "/").size() == (answer == 201 ? 1 : 0); })) << exit;
    if (answer == 201) {
      EXPECT_EQ(backend.Received("DELETE", "/").value(0).target, "/api/v1/acceleration/sessions/s1") << exit;
    }
    EXPECT_FALSE(Operations(service).contains(2)) << exit << ": a tunnel for a session given up";
  }
  QSettings().remove("sessions/unended");
}

// Closing (or Esc) only hides the window, each time with a balloon that says
// so; the tray brings it back; its exit entry stops everything before quitting.
TEST(Tray, ClosingHidesTheWindowAndTheExitEntryStopsEverything) {
  const std::pair<bool, HttpAnswer> rows[] = {
      {false, {204, ""}}, {true, {204, ""}}, {true, {500, R"({"message":"后端忙"})", false, 500}}};
  for (const auto& [withSession, deletion] : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    ASSERT_TRUE(withSession ? desk.SignInAndAccelerate() : desk.SignIn());
    window.show();
    window.close();
    EXPECT_TRUE(window.isHidden());
    window.show();
    QApplication::setActiveWindow(&window);
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_TRUE(window.isHidden()) << "Esc";
    const QString said = withSession ? "Zentravolk仍在运行|加速仍在运行；选择“退出并停止加速”才会断开。"
                                     : "Zentravolk仍在运行|程序已最小化到任务栏通知区域。";
    EXPECT_EQ(window.balloons, QStringList({said, said}));
    EXPECT_TRUE(backend.Received("DELETE", "/").isEmpty()) << "closing never ends the session";
    for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Trigger,
                              QSystemTrayIcon::DoubleClick}) {
      window.hide();
      emit TrayOf(window)->activated(reason);
      EXPECT_EQ(window.isVisible(), reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
          << reason;
    }
    window.hide();
    window.findChild<QMenu*>()->actions().at(0)->trigger();
    EXPECT_TRUE(window.isVisible());

    backend.deletion = deletion;
    backend.secondRegions = {500, ""};
    screen.games->setCurrentRow(1);  // its regions fail while the exit waits: that asks nothing
    QString stalled = "-";
    if (deletion.status != 204) {
      // The refused deletion brings the tray back and asks; quitting anyway still stops the tunnel.
      OnNextBox([&](QMessageBox& box) {
        stalled = box.windowTitle() + "|" + screen.status->text() + (TrayOf(window)->isVisible() ? " with the tray" : "");
        Click(box, "仍然退出");
      });
    }
    EXPECT_TRUE(QuitsWithin([&] { window.findChild<QMenu*>()->actions().at(1)->trigger(); }));
    EXPECT_EQ(service.Requests().last().operation(), 3) << "StopTunnel before the end";
    EXPECT_EQ(backend.Received("DELETE", "/").isEmpty(), !withSession);
    EXPECT_EQ(stalled, deletion.status != 204 ? "退出失败|后端忙 with the tray" : "-");
    EXPECT_EQ(QSettings().value("sessions/unended").toStringList(),
              deletion.status != 204 ? QStringList{"s1"} : QStringList{})
        << "kept for the next sign-in";
    QSettings().remove("sessions/unended");
  }
}

// A stop whose deletion the backend refuses asks; stopping anyway takes the
// tunnel down at once, and the session is ended later: in the background, and
// at the next sign-in, of this run or the next.
TEST_F(Stop, AlwaysStopsAndTheSessionIsEndedLater) {
  ASSERT_TRUE(SignInAndAccelerate());
  // Another game's regions fail first: only the deletion's own failure asks.
  backend.secondRegions = {500, ""};
  backend.deletion = {503, R"({"message":"后端维护中"})", false, 500};
  screen.games->setCurrentRow(1);
  QString asked;
  OnNextBox([&](QMessageBox& box) {
    asked = Said(box) + "|" + box.informativeText();
    Click(box, "仍然停止");
  });
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速 · 加速会话将在后台结束"; }));
  EXPECT_EQ(asked, "停止失败|无法结束加速会话。要重试，还是仍然停止？|后端维护中");
  EXPECT_EQ(Operations(service).last(), 3) << "the tunnel is down";
  screen.games->setCurrentRow(0);
  EXPECT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  EXPECT_TRUE(WaitFor([&] { return backend.Received("DELETE", "/").size() == 2; })) << "tried again in the background";
  EXPECT_EQ(QSettings().value("sessions/unended").toStringList(), QStringList{"s1"});

  // The next run signs in once the backend is back: the session is ended then.
  backend.deletion = {204, ""};
  Watched next;
  Screen nextScreen(next);
  nextScreen.TypeSignIn();
  nextScreen.Button("登录")->click();
  ASSERT_TRUE(WaitFor([&] { return backend.Received("DELETE", "/").size() == 3; }));
  EXPECT_EQ(backend.Received("DELETE", "/").last().target, "/api/v1/acceleration/sessions/s1");
  EXPECT_TRUE(WaitFor([&] { return QSettings().value("sessions/unended").toStringList().isEmpty(); }));
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

// A broken path is said in the status line, the tray's icon and one balloon;
// when it is back the line and the icon return at once, and no balloon comes.
TEST_F(LiveView, BrokenIsLoudAndRecoveredQuiet) {
  ASSERT_TRUE(SignIn());
  const QImage idle = IconImage(window);
  service.SetQuality(GameRanBefore(kHealthyPath));  // said once, however often told
  ASSERT_TRUE(Accelerate());
  QLabel* line = screen.Label("routeQuality");
  const QString running = "正在加速 · 智能分流 Beta（仅游戏流量） · Game One";
  ASSERT_TRUE(WaitFor([&] { return line->text().startsWith("延迟 23 ms · 丢包 0% · 已加速 00:00:0"); }))
      << line->text().toStdString();
  const QImage accelerating = IconImage(window);
  EXPECT_NE(accelerating, idle);
  EXPECT_EQ(TrayOf(window)->toolTip(), "Zentravolk游戏加速器 · 正在加速 Game One · 延迟 23 ms · 最低/平均/最高 23/23/23 ms");
  EXPECT_TRUE(screen.games->item(0)->font().bold() && !screen.games->item(1)->font().bold());
  EXPECT_FALSE(window.findChild<QWidget*>("pathGraph")->isHidden());
  EXPECT_TRUE(window.findChild<QWidget*>("pathGraph")->accessibleDescription().startsWith("最低 23 · 平均 23"));

  service.SetQuality(GameRanBefore(Up(90000, 23, 0, 3100, 3100, 60000)));
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "线路中断：节点无响应"; })) << screen.status->text().toStdString();
  EXPECT_TRUE(line->text().startsWith("线路中断：节点已 3 秒无响应"));
  EXPECT_EQ(line->property("level"), "broken");
  EXPECT_TRUE(screen.status->property("alert").toBool()) << "said in amber";
  const QImage broken = IconImage(window);
  EXPECT_NE(broken, accelerating);
  EXPECT_TRUE(TrayOf(window)->toolTip().contains("线路中断"));
  Pause(1500);
  EXPECT_EQ(window.balloons, QStringList({"请重新启动游戏|游戏在开始加速前已运行：它此前建立的连接不经过加速，"
                                          "重新启动游戏后即全部加速。",
                                          "Zentravolk线路中断|线路中断：节点无响应"}))
      << "one balloon";
  screen.Button("检查服务")->click();
  EXPECT_EQ(screen.status->text(), "线路中断：节点无响应") << "a check finding it accelerating hides no break";

  service.SetQuality(kHealthyPath);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == running; }));
  EXPECT_EQ(IconImage(window), accelerating);
  EXPECT_FALSE(screen.status->property("alert").toBool());
  EXPECT_EQ(window.balloons.size(), 2) << "recovered quietly";
  EXPECT_EQ(screen.Actions(), std::tuple(false, true, true));

  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; }));
  EXPECT_TRUE(line->isHidden() && window.findChild<QWidget*>("pathGraph")->isHidden());
  EXPECT_EQ(TrayOf(window)->toolTip(), "Zentravolk游戏加速器 · 当前未加速");
  EXPECT_EQ(IconImage(window), idle);
  EXPECT_FALSE(screen.games->item(0)->font().bold());
}

// The service killed while accelerating: said, and nothing offers a launch; back
// with nothing held: it is given the held session again, and says so.
TEST_F(LiveView, TheWindowFollowsTheService) {
  ASSERT_TRUE(SignInAndAccelerate());
  const QByteArray started = service.Requests().last().body;
  service.SetRunning(false);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "本地加速服务已停止，等待它恢复…"; }));
  EXPECT_EQ(screen.Actions(), std::tuple(false, true, false)) << "a stop, and no launch";
  EXPECT_EQ(window.balloons.size(), 1);
  service.SetQuality(GameRanBefore(kHealthyPath));

  service.SetRunning(true);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "本地加速服务已重新启动，加速已自动恢复"; }));
  EXPECT_EQ(service.Requests().last().operation(), 2);
  EXPECT_EQ(service.Requests().last().body, started) << "the same session, with its key";
  EXPECT_TRUE(WaitFor([&] { return screen.Label("routeQuality")->text().startsWith("延迟 23 ms"); }));
  EXPECT_EQ(screen.Actions(), std::tuple(false, true, true));
  EXPECT_EQ(screen.status->text(), "本地加速服务已重新启动，加速已自动恢复");
  EXPECT_EQ(window.balloons.size(), 1) << "the window's own start found the game running: nothing to tell";

  // Stopped while the service is away: it is not told stopped, and once the
  // service is back with nothing held, the acceleration is over.
  service.SetRunning(false);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "本地加速服务已停止，等待它恢复…"; }));
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "未能停止加速：后台加速服务未运行"; }));
  const int requests = service.Requests().size();
  service.SetRunning(true);
  EXPECT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; })) << screen.status->text().toStdString();
  EXPECT_EQ(screen.Actions(), std::tuple(true, false, false));
  EXPECT_FALSE(Operations(service).mid(requests).contains(2)) << "no start without a session";
}

// The first node never shakes hands: its tunnel and session end, and the next
// node the backend offered takes over, with a fresh key.
TEST_F(LiveView, ADeadNodeIsReplacedByTheNextOffered) {
  service.SetQuality(Up(6000, -1, 0, 6000, -1, -1));
  backend.deletion = {204, ""};
  ASSERT_TRUE(SignIn());
  screen.Button("开始加速")->click();
  ASSERT_TRUE(WaitFor([&] { return backend.Received("POST", "/api/v1/acceleration").size() == 2; }));
  service.SetQuality(kHealthyPath);
  EXPECT_EQ(backend.LastSession().value("preferred_node_id"), "n2");
  EXPECT_EQ(backend.Received("DELETE", "/").value(0).target, "/api/v1/acceleration/sessions/s1");
  EXPECT_TRUE(WaitFor([&] { return Operations(service) == QList<quint16>{2, 3, 2}; })) << "the dead tunnel goes first";
  EXPECT_TRUE(WaitFor([&] { return screen.status->text() == "正在加速 · 智能分流 Beta（仅游戏流量） · Game One"; }));
  EXPECT_TRUE(WaitFor([&] { return screen.Label("routeQuality")->text().startsWith("延迟 23 ms"); }));
  EXPECT_EQ(screen.route->text(), "当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7");
  EXPECT_EQ(screen.Actions(), std::tuple(false, true, true));
  EXPECT_TRUE(QSettings().value("sessions/unended").toStringList().isEmpty()) << "the dead node's session is ended";
  service.SetQuality(GameRanBefore(kHealthyPath));
  Pause(1500);
  EXPECT_TRUE(window.balloons.isEmpty()) << "the switch's own start found the game running: nothing to tell";
}

// The service holds every quality answer back for seconds; the window's own
// event loop must keep running all the while.
TEST_F(LiveView, TheWindowNeverWaitsForTheService) {
  ASSERT_TRUE(SignIn());
  QSemaphore release;
  service.ScriptRaw(HeldQuality(release, kHealthyPath));
  ASSERT_TRUE(Accelerate());
  ASSERT_TRUE(WaitFor([&] { return service.QualityPolls() == 1; }));
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
  tick.start(10);
  Pause(1500);
  EXPECT_GE(ticks, 60) << "the event loop stood still while the service was asked";
  release.release(10);
  EXPECT_TRUE(WaitFor([&] { return screen.Label("routeQuality")->text().startsWith("延迟 23 ms"); }));
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

// Two hundred games, one with a very long name: the search finds it, the list cuts
// it. Then every control has a name for screen readers.
TEST_F(Window, TheListScalesWithSearchAndCutNamesAndEveryControlIsNamed) {
  QJsonArray games;
  const QString longName = "Ultra " + QString(90, 'W');
  for (int i = 0; i < 200; ++i) {
    games.append(QJsonObject{{"id", QString("g%1").arg(i)}, {"name", i == 150 ? longName : QString("Game %1").arg(i)}});
  }
  backend.games.body = QJsonDocument(QJsonObject{{"items", games}}).toJson();
  window.show();
  ASSERT_TRUE(SignIn());
  screen.Edit("搜索游戏")->setText("ultra");
  int shown = 0;
  for (int row = 0; row < screen.games->count(); ++row) shown += screen.games->isRowHidden(row) ? 0 : 1;
  EXPECT_EQ(shown, 1);
  EXPECT_FALSE(screen.games->isRowHidden(150));
  QApplication::processEvents();
  EXPECT_EQ(screen.games->horizontalScrollBar()->maximum(), 0) << "no sideways scrolling";
  EXPECT_LE(screen.games->visualItemRect(screen.games->item(150)).width(), screen.games->viewport()->width());
  EXPECT_EQ(screen.games->item(150)->toolTip(), longName) << "whole in its tip";
  screen.games->setCurrentRow(150);
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  ASSERT_TRUE(Accelerate());
  EXPECT_EQ(screen.status->text(), "正在加速 · 智能分流 Beta（仅游戏流量） · Ultra " + QString(25, 'W') + "…");
  EXPECT_TRUE(WaitFor([&] { return TrayOf(window)->toolTip().startsWith("Zentravolk游戏加速器 · 正在加速 Ultra WWW"); }));
  EXPECT_LT(TrayOf(window)->toolTip().size(), 120) << "the tray tip cuts the name";

  const auto name = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    const auto* button = qobject_cast<QAbstractButton*>(widget);
    if (button || qobject_cast<QLineEdit*>(widget) || qobject_cast<QListWidget*>(widget) ||
        qobject_cast<QLabel*>(widget) || widget->objectName() == "pathGraph") {
      EXPECT_FALSE(name(widget).isEmpty()) << widget->metaObject()->className() << " " << Text(widget).toStdString();
    }
    if (button) {
      EXPECT_EQ(name(widget), button->text());
    }
  }
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
    edit->setText("typed");  // a placeholder is gone once there is text; the name stays
    EXPECT_TRUE(QStringList({"账号或邮箱", "密码", "搜索游戏"}).contains(name(edit)));
  }
  EXPECT_EQ(name(screen.games), "选择游戏");
}

// The running client answers a later start once it has shown itself.
TEST(SingleInstance, ALaterStartShowsTheRunningClientInstead) {
  QTemporaryDir folder;
  QThread thread;
  QObject onThread;
  onThread.moveToThread(&thread);
  thread.start();
  std::atomic<bool> shown{false};
  SingleInstance* first = nullptr;
  QMetaObject::invokeMethod(
      &onThread, [&] {
        first = new SingleInstance(folder.filePath("client"));
        QObject::connect(first, &SingleInstance::ShowRequested, [&] { shown = true; });
      },
      Qt::BlockingQueuedConnection);
  ASSERT_EQ(first->Outcome(), SingleInstance::Start::First);
  EXPECT_EQ(SingleInstance(folder.filePath("client")).Outcome(), SingleInstance::Start::ShownOther);
  EXPECT_TRUE(shown);
  EXPECT_EQ(SingleInstance(folder.filePath("another-user")).Outcome(), SingleInstance::Start::First);
  EXPECT_EQ(SingleInstance(QString()).Outcome(), SingleInstance::Start::NoChannel);
  QMetaObject::invokeMethod(&onThread, [&] { delete first; }, Qt::BlockingQueuedConnection);
  thread.quit();
  thread.wait();
}

// The real program: a second start ends at once and leaves the first running;
// a hung first (stopped by a signal) or no runtime folder of the user's own
// never makes a start end, and a start after a crash is the client.
TEST(SingleInstance, TheProgramStartsUnlessAnotherShowsItself) {
  const struct {
    const char* first;  // what the first start becomes: "running", "hung", "killed"; nullptr: none
    const char* runtime;  // nullptr: a fresh folder of the user's own
    bool secondEnds;
  } rows[] = {
      {"running", nullptr, true},
      {"hung", nullptr, false},
      {"killed", nullptr, false},
      {nullptr, "/proc/version/none", false},  // no folder can be made there
  };
  for (const auto& row : rows) {
    QTemporaryDir runtime;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", row.runtime ? row.runtime : runtime.path());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("VIRI_ZIVADADIVAZ_API_URL", "http://127.0.0.1:9");  // nobody: the release check fails quietly
    const auto start = [&](QProcess& process) {
      process.setProcessEnvironment(environment);
      process.start(ZV_CLIENT_EXECUTABLE, {});
      return process.waitForStarted();
    };
    QProcess first, second;
    if (row.first != nullptr) {
      ASSERT_TRUE(start(first));
      ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(runtime.path() + "/zentravolk-client"); }, 10000));
      if (QString(row.first) == "hung") kill(static_cast<pid_t>(first.processId()), SIGSTOP);
      if (QString(row.first) == "killed") first.kill(), first.waitForFinished();
    }
    ASSERT_TRUE(start(second));
    const bool hung = row.first != nullptr && QString(row.first) == "hung";
    const bool ended = second.waitForFinished(hung ? static_cast<int>(SingleInstance::kAnswerWait.count()) + 1500 : 2500);
    EXPECT_EQ(ended, row.secondEnds) << (row.first ? row.first : row.runtime);
    if (ended) {
      EXPECT_EQ(second.exitCode(), 0);
    }
    if (row.first != nullptr && QString(row.first) != "killed") {
      EXPECT_EQ(first.state(), QProcess::Running);
      kill(static_cast<pid_t>(first.processId()), SIGCONT);
    }
    for (QProcess* process : {&first, &second}) {
      process->kill();
      process->waitForFinished();
    }
  }
}

}  // namespace

#include "window_test.moc"
