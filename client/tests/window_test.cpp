// The main window driven through its widgets, against the reference backend in
// process, a stand-in service and a stand-in key tool in the program's folder:
// one walk for the wiring of each concern (the rules themselves are
// window_rules_test), written as steps of a few kinds.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QDesktopServices>
#include <QJsonArray>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSemaphore>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include "api_client.h"
#include "quality_poll.h"
#include "window_rig.h"

namespace {

using namespace zv::test;
using Actions = std::tuple<bool, bool, bool>;

constexpr quint16 kQueryQuality = static_cast<quint16>(zv::ControlOperation::QueryQuality);
const QString kSessions = "/api/v1/acceleration/sessions";
const QString kRunning = "正在加速 · 智能分流 Beta（仅游戏流量） · Counter‑Strike 2";
const QByteArray kNoHandshake = Up(2600, -1, 100, 2600, -1, -1);


void Pause(int ms) { WaitFor([] { return false; }, ms); }

QSystemTrayIcon* TrayOf(MainWindow& window) { return window.findChild<QSystemTrayIcon*>(); }

QImage IconImage(MainWindow& window) { return TrayOf(window)->icon().pixmap(32).toImage(); }

// The operations the service was asked, and the body of the last tunnel start.
QList<quint16> Operations(StandInService& service) {
  QList<quint16> operations;
  for (const auto& request : service.Requests()) operations << request.operation();
  return operations;
}
QByteArray LastStart(StandInService& service) {
  QByteArray body;
  for (const auto& request : service.Requests()) body = request.operation() == 2 ? request.body : body;
  return body;
}

// One thing a user, the backend or the service does, and what the window then shows.
struct Step {
  enum Kind {
    Press,     // the button `text`
    Select,    // the game list's row `number`
    Check,     // "检查服务", the service answering `number` with `body`
    Answer,    // the backend answers `text` ("GET /api/...") with `number` and `body` from now on; 0: as itself
    Reply,     // the service answers operation `number` with status 0 and `body` from now on
    Refuse,    // the service answers operation `number` with status 4
    Quality,   // the service's quality answers are `body`
    Running,   // the service listens (`number` 1) or is gone (0)
    Late,      // every answer of the service comes `number` ms late
    Box,       // the next message box is answered with the button `text`, the backend itself again
    SignIn,
    KeyTool,   // the key tool is there (`number` 1) or not (0)
    Marker,    // the marker file "force-full-tunnel" is there (1) or not (0)
    Wait,      // `number` ms
  } kind;
  QByteArray text = {};
  int number = 0;
  QByteArray body = {};
  QString status = {};  // what the status line then says; empty: not looked at
  std::optional<Actions> actions = {};  // only where the window itself works out what they rest on
};

// Runs the steps on a desk, each waiting until the status line says what it should.
void Walk(Desk& desk, const std::vector<Step>& steps) {
  auto& backend = desk.backend;
  auto& service = desk.service;
  auto& screen = desk.screen;
  for (const Step& step : steps) {
    const QString where = step.status.isEmpty() ? QString::number(step.kind) + " " + step.text : step.status;
    switch (step.kind) {
      case Step::Press: screen.Button(step.text)->click(); break;
      case Step::Select: screen.games->setCurrentRow(step.number); break;
      case Step::Check: service.Script(1, static_cast<std::uint32_t>(step.number), step.body), screen.Button("检查服务")->click(); break;
      case Step::Answer:  // a body "late": an empty one, 600 ms late
        if (step.number == 0) backend.scripts.remove(step.text);
        else if (step.body == "late") backend.scripts[step.text] = Scripted{step.number, "", 600};
        else backend.scripts[step.text] = Scripted{step.number, step.body};
        break;
      case Step::Reply: service.Script(static_cast<quint16>(step.number), 0, step.body); break;
      case Step::Refuse: service.Script(static_cast<quint16>(step.number), 4, R"({"error":"x"})"); break;
      case Step::Quality: service.SetQuality(step.body); break;
      case Step::Running: service.SetRunning(step.number == 1); break;
      case Step::Late: service.SetDelay(step.number); break;
      case Step::Box: OnNextBox([&backend, button = step.text](QMessageBox& box) { backend.scripts.clear(), Click(box, button); }); break;
      case Step::SignIn: EXPECT_TRUE(desk.SignIn()); break;
      case Step::KeyTool: QFile::rename(desk.keyTool.path + (step.number ? ".away" : ""), desk.keyTool.path + (step.number ? "" : ".away")); break;
      case Step::Marker: {
        QFile marker(QCoreApplication::applicationDirPath() + "/force-full-tunnel");
        step.number ? void(marker.open(QIODevice::WriteOnly)) : void(marker.remove());
        break;
      }
      case Step::Wait: Pause(step.number); break;
    }
    const bool said = step.status.isEmpty() || WaitFor([&] { return screen.status->text() == step.status; }, 8000);
    EXPECT_TRUE(said) << where.toStdString() << ": " << screen.status->text().toStdString();
    EXPECT_TRUE(!step.actions || screen.Actions() == *step.actions) << where.toStdString();
  }
}

// One window with everything it talks to, named for the part of it a test is about.
struct Window : ::testing::Test, Desk {};
using Keyboard = Window;
using LiveView = Window;
using Stop = Window;
using Update = Window;

// Signed out it asks the backend for nothing but updates, and the service once,
// whether it runs an acceleration; signed in, the account panel shows the membership.
TEST_F(Window, StartsSignedOutAsksOnlyForUpdatesAndShowsTheMembershipOnceSignedIn) {
  QStringList order;
  for (QWidget* widget : Part(window, "leftColumn") + Part(window, "actionPanel")) order.append(Text(widget));
  EXPECT_EQ(order, (QStringList{"Zentravolk", "让每一局都更稳定", "memberCard", "账号或邮箱", "密码", "登录", "注册账号",
                                "routeBox", "pathGraph", "routeQuality", "尚未连接本地加速服务", "检查服务",
                                "开始加速", "启动游戏", "停止加速"}));
  EXPECT_EQ(std::tuple(screen.Actions(), window.windowTitle()), std::tuple(Actions(false, false, false), "游戏加速器"));
  ASSERT_TRUE(WaitFor([&] { return !backend.received.isEmpty(); }));
  QApplication::processEvents();
  ASSERT_EQ(backend.received.size(), 1);
  EXPECT_TRUE(backend.received.first().target.startsWith("/api/v1/client/releases/latest?"));
  EXPECT_EQ(Operations(service), QList<quint16>{1});
  ASSERT_TRUE(SignIn());
  ASSERT_TRUE(WaitFor([&] { return !screen.Label("membershipStatus")->isHidden() && screen.Button("登录")->isHidden(); }));
  EXPECT_EQ(screen.Account()->text() + " " + screen.Label("membershipStatus")->text(), "账号：demo@zentravolk.com 会员状态：试用会员 · 剩余 7 天");
}

// On a 1366 x 768 laptop's work area, and (as their own tests) on it and on a
// 1920 x 1080 screen at 150 %: in every state each button of the moment and the
// live line are on screen without scrolling, the route card is whole, and
// signing in and out never makes the window grow. Disabled buttons look so,
// and no label paints over the member card.
TEST_F(Window, FitsTheScreenWithEveryButtonOfTheMomentInView) {
  window.show();
  const QRect available = window.screen()->availableGeometry();
  const auto inView = [&](const char* state) {
    Pause(50);  // the layouts settle, each a step of its own
    EXPECT_TRUE(available.contains(window.frameGeometry())) << state;
    auto* scroll = window.findChild<QScrollArea*>();
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 0) << state;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
      if (!widget->isVisible() || !(qobject_cast<QPushButton*>(widget) || qobject_cast<QLineEdit*>(widget) || widget == screen.quality)) continue;
      const QRect shown(widget->mapTo(&window, QPoint()), widget->size());
      const QRect area = scroll->widget()->isAncestorOf(widget) ? QRect(scroll->viewport()->mapTo(&window, QPoint()), scroll->viewport()->size()) : window.rect();
      EXPECT_TRUE(area.contains(shown)) << state << ": " << Text(widget).toStdString() << " is out of view";
      EXPECT_LE(widget->minimumSizeHint().width(), widget->width()) << state << ": cut off " << Text(widget).toStdString();
    }
    EXPECT_GE(screen.route->height(), screen.route->heightForWidth(screen.route->width())) << state << ": card cut";
    EXPECT_LE(screen.route->width(), scroll->viewport()->width()) << state << ": card cut";
  };
  inView("signed out");
  const auto fill = [](QWidget* widget) { return widget->grab().toImage().pixelColor(8, widget->height() / 2); };
  const QColor disabled = fill(screen.Button("开始加速"));
  EXPECT_EQ(std::tuple(fill(screen.Button("启动游戏")), fill(screen.Button("停止加速"))), std::tuple(disabled, disabled));
  const QPoint besideText = screen.Account()->geometry().topRight() + QPoint(-2, 2);  // no glyph reaches the label's end
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
  ASSERT_TRUE(WaitFor([&] { return screen.quality->text().startsWith("延迟"); }));
  // A long node name with its IP must wrap, not widen the column past its view.
  screen.route->setText("当前节点：Frankfurt am Main Premium Gaming Node 07 · 加速 IP：203.0.113.100");
  inView("accelerating");
  EXPECT_NE(fill(screen.Button("停止加速")), disabled) << "enabled";
}

// What the window shows in each state, and that the user always has a way
// forward that the status line does not contradict.
TEST_F(Window, EveryStateShowsItsTextAndAWayForward) {
  const QString refused = "服务拒绝了请求";
  const QByteArray nodes = "GET /api/v1/games/g-cs2/regions/hk/nodes", deletion = "DELETE " + kSessions.toUtf8(), creation = "POST " + kSessions.toUtf8();
  Walk(*this, {
      {Step::Check, "", 0, R"({"state":"idle"})", "当前未加速", Actions(false, false, false)},
      {Step::Check, "", 0, R"({"state":"idle","was":"accelerating"})", "正在加速", Actions(false, true, false)},
      {Step::Check, "", 0, R"({"note":"other"})", R"({"note":"other"})"},
      {Step::Check, "", 4, R"({"error":"x"})", refused},
      {Step::Check, "", 3, R"({"error":"access_denied"})", refused + "：本地加速服务不接受当前用户，请在本机登录的桌面会话中使用"},
      {Step::Running, "", 0}, {Step::Check, "", 0, "", "后台加速服务未运行", Actions(false, true, false)},
      {Step::Running, "", 1}, {Step::Late, "", 1500},
      {Step::Check, "", 0, R"({"state":"idle"})", "本地加速服务正忙，请稍后再试", Actions(false, true, false)},
      {Step::Late, "", 0}, {Step::Check, "", 0, R"({"state":"idle"})", "当前未加速"},
      {Step::SignIn, "", 0, "", "香港节点在线，可开始加速"},
      {Step::KeyTool, "", 0}, {Step::Press, "开始加速", 0, "", "无法生成隧道密钥，请重新安装客户端"}, {Step::KeyTool, "", 1},
      {Step::Answer, nodes, 503}, {Step::Press, "开始加速", 0, "", "读取加速节点失败", Actions(true, false, false)},
      {Step::Answer, nodes, 0}, {Step::Answer, creation, 409, R"({"message":"名额已满"})"},
      {Step::Press, "开始加速", 0, "", "名额已满", Actions(true, false, false)},
      {Step::Answer, creation, 0}, {Step::Press, "开始加速", 0, "", kRunning, Actions(false, true, true)},
      {Step::Select, "", 1, "", "已在加速中，停止加速后可开始新的加速", Actions(false, true, false)},
      {Step::Select, "", 0, "", "已在加速中，停止加速后可开始新的加速", Actions(false, true, true)},
      {Step::Check, "", 0, R"({"state":"accelerating"})", kRunning},
      // The deletion fails, is tried again, and the service refuses the stop.
      {Step::Refuse, "", 3}, {Step::Answer, deletion, 500, R"({"message":"稍后再试"})"}, {Step::Box, "重试"},
      {Step::Press, "停止加速", 0, "", "未能停止加速：" + refused, Actions(false, true, true)},
      // A dead node then: with no session held, no other node and no new session.
      {Step::Quality, "", 0, kNoHandshake}, {Step::Wait, "", 1500}, {Step::Quality, "", 0, kHealthyPath},
      {Step::Wait, "", 1000, "", kRunning},
      {Step::Reply, "", 3, R"({"state":"idle"})"}, {Step::Press, "停止加速", 0, "", "当前未加速", Actions(true, false, false)},
      {Step::Running, "", 0},
      {Step::Press, "开始加速", 0, "", "当前未加速 · 上次启动失败：后台加速服务未运行", Actions(true, false, false)},
      {Step::Running, "", 1}, {Step::Refuse, "", 2}, {Step::Answer, deletion, 204, "late"},
      {Step::Press, "开始加速", 0, "", "本地隧道启动失败，正在撤销会话… · " + refused},
      {Step::Wait, "", 0, "", "当前未加速 · 上次启动失败：" + refused, Actions(true, false, false)},
      {Step::Answer, deletion, 502, ""}, {Step::Press, "开始加速", 0, "", "停止加速会话失败", Actions(false, true, false)},
      {Step::Check, "", 0, R"({"state":"idle"})", "当前未加速", Actions(false, true, false)},
      {Step::Answer, deletion, 0}, {Step::Press, "停止加速", 0, "", "当前未加速 · 上次启动失败：" + refused},
      // The marker keeps the whole tunnel.
      {Step::Reply, "", 2, R"({"state":"accelerating"})"}, {Step::Marker, "", 1},
      {Step::Press, "开始加速", 0, "", "正在加速 · 游戏分流模式 · Counter‑Strike 2"}, {Step::Marker, "", 0},
  });
  EXPECT_EQ(screen.route->text(), "当前节点：Edge A · 加速 IP：203.0.113.7");
  const QJsonObject asked = QJsonDocument::fromJson(backend.Received("POST", kSessions.toUtf8()).last().body).object();
  EXPECT_EQ(QJsonDocument(asked.value("probes").toArray()).toJson(QJsonDocument::Compact),
            R"([{"jitter_ms":0,"loss_rate":0,"node_id":"hk-node-1","rtt_ms":20}])");
  QList<QJsonObject> starts;
  for (const auto& request : service.Requests()) {
    if (request.operation() == 2) starts << QJsonDocument::fromJson(request.body).object();
  }
  EXPECT_EQ(starts.last().value("private_key"), asked.value("client_public_key")) << "the tool's pair, ours";
  EXPECT_FALSE(starts.last().contains("route_mode")) << "with the marker";
  EXPECT_EQ(starts.last().value("game_processes"), QJsonArray{"cs2.exe"}) << "the session's members, all of them";
  EXPECT_EQ(starts.first().value("route_mode"), "process-beta") << "without the marker";
  EXPECT_EQ(backend.store.SessionIds().size(), 1) << "every session but the running one ended";
}

TEST_F(Window, RepliesForAnEarlierSelectionChangeNothing) {
  backend.scripts["GET /api/v1/games/g-pubg/regions"] = {200, R"({"items":[]})", 300};
  backend.scripts["GET /api/v1/games/g-cs2/regions/hk/nodes"] = {200, R"({"items":[{"id":"hk-node-1"}]})", 300};
  ASSERT_TRUE(SignIn());
  const auto away = [&] { screen.games->setCurrentRow(1), screen.games->setCurrentRow(0); };  // and back
  away();  // the other game's regions come late, after the first game is back
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前游戏暂无可用区服"; }));
  EXPECT_EQ(screen.route->text(), "加速线路：香港 · 香港智能节点");
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "the first game's region is still the one in use";

  // Its nodes come late, after the user picked another game and came back: that start is given up.
  screen.Button("开始加速")->click();
  away();
  Pause(700);
  EXPECT_TRUE(backend.Received("POST", kSessions.toUtf8()).isEmpty()) << "no session for a start given up";
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "and a start is offered again";

  // A given-up start's node list that fails late must not end the start made since.
  backend.scripts["GET /api/v1/games/g-cs2/regions/hk/nodes"] = {503, "{}", 500};
  screen.Button("开始加速")->click();
  away();
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  backend.scripts["GET /api/v1/games/g-cs2/regions/hk/nodes"] = {
      200, R"({"items":[{"id":"hk-node-1","name":"Edge A","location":"hk"}]})", 900};
  EXPECT_TRUE(Accelerate()) << screen.status->text().toStdString();
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
  QSqlQuery().exec("INSERT INTO games VALUES ('g-x', 'Other', 'other', 'other.exe', '198.51.100.0/24')");
  SteamHandler steam;
  QDesktopServices::setUrlHandler("steam", &steam, "Open");
  ASSERT_TRUE(SignInAndAccelerate());
  screen.Button("启动游戏")->click();
  EXPECT_EQ(steam.opened, QList<QUrl>{QUrl("steam://rungameid/730")});
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; }));
  EXPECT_FALSE(screen.Button("启动游戏")->isEnabled()) << "no unaccelerated launch after a stop";
  screen.games->setCurrentRow(3);
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
      backend.scripts["GET /api/v1/client/releases"] = {
          200, QByteArray(R"({"version":"9.9.9","download_url":"http://127.0.0.1/x.exe","sha256":"ab",)") +
                   R"("size_bytes":5,"release_notes":"修复","mandatory":)" + (mandatory ? "true" : "false") + "}"};
      QStringList seen;
      OnNextBox([&](QMessageBox& box) {
        seen << Said(box) + "|" + box.informativeText() + "|" + QString::number(box.buttons().size()) + (box.isModal() ? "" : "|modeless");
        // Esc on a mandatory offer still downloads; the plain-HTTP address then fails with a warning box.
        if (installer && mandatory) OnNextBox([&](QMessageBox& warning) { seen << Said(warning), warning.accept(); });
        else Click(box, installer ? "稍后提醒" : "知道了");
        if (box.isVisible()) box.reject();  // also when it is not the box it should be: the row fails, the test goes on
      });
      Watched window;
      Screen screen(window);
      window.asOnWindows = installer;
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
// Signed in, the focus waits on "开始加速" and stays with the pressed button
// through a start; Tab follows the screen, Enter presses the focused button,
// and the focused button wears a ring that stands out.
TEST_F(Keyboard, ReachesEverythingAndAFailedSignInKeepsWhatWasTyped) {
  window.show();
  QApplication::setActiveWindow(&window);
  QLineEdit *account = screen.Edit("账号或邮箱"), *password = screen.Edit("密码");
  account->setText("   "), password->setText("pw");
  QTest::keyClick(password, Qt::Key_Return);
  EXPECT_EQ(screen.Account()->text(), "请输入账号和密码");
  account->setText("demo@zentravolk.com");
  QTest::keyClick(password, Qt::Key_Enter);
  ASSERT_TRUE(WaitFor([&] { return screen.Account()->text() == "账号或密码错误"; }));
  EXPECT_EQ(backend.Received("POST", "/api/v1/auth/login").size(), 1) << "nothing sent for the empty account";
  EXPECT_EQ(account->text() + password->text(), "demo@zentravolk.compw");
  EXPECT_TRUE(screen.Button("登录")->isEnabled() && QApplication::focusWidget() == password);

  screen.TypeSignIn();
  QTest::keyClick(password, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == screen.Button("开始加速"); })) << "ready to start";
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  ASSERT_TRUE(WaitFor([&] { return screen.Button("启动游戏")->isEnabled(); }));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_TRUE(screen.Edit("搜索游戏")->text().isEmpty() && screen.Button("停止加速")->isEnabled()) << "the next Space does nothing";
  screen.Button("退出登录")->setFocus();
  QStringList order;
  for (int i = 0; i < 7; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order << Text(QApplication::focusWidget());
  }
  EXPECT_EQ(order, (QStringList{"检查服务", "启动游戏", "停止加速", "搜索游戏", "gameList", "退出登录", "检查服务"}))
      << "disabled buttons are skipped";
  QPushButton* check = screen.Button("检查服务");
  const auto edge = [&] { return qGray(check->grab().toImage().pixelColor(1, check->height() / 2).rgb()); };
  EXPECT_GT(edge(), 200) << "a light ring on the dark window";
  check->clearFocus();
  EXPECT_LT(edge(), 150) << "only when focused";
  const int before = service.Requests().size();
  check->setFocus();
  QTest::keyClick(check, Qt::Key_Return);
  EXPECT_EQ(service.Requests().size(), before + 1) << "Enter pressed it";
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
  const bool quit = QApplication::exec() == 0 && !timedOut;
  // A quit asked for inside a dialog's loop may still be pending: spent here, not in a later test's dialog.
  QTimer::singleShot(100, [] { QApplication::exit(0); });
  QApplication::exec();
  return quit;
}

// Signing out deletes the session while the token is still held, and the tray's
// exit before it quits; either way the tunnel stops, and a refused deletion is
// kept for later (the exit asks first, with the tray back). A session that
// comes after a sign-out or an exit starts no tunnel and is ended, on the way
// out or at the next sign-in; one that never comes keeps no exit waiting.
TEST(GivenUp, SignOutAndExitEndWhatTheyHoldOrAskFor) {
  const Scripted late{201, R"({"session_id":"s-late","game_processes":["cs2.exe"]})", 500};
  const struct {
    bool exit;
    const char* holds;  // "running", "asked" (`asked` answers it), or "nothing"
    Scripted asked;
    int deletion = 204;
    QString stalled = "-";
  } rows[] = {
      {false, "running", {}}, {false, "running", {}, 500}, {false, "asked", late}, {true, "asked", late},
      {true, "asked", {500, "", 500}}, {true, "nothing", {}}, {true, "running", {}},
      {true, "running", {}, 500, "退出失败|后端忙 with the tray"},
  };
  for (const auto& row : rows) {
    Desk desk;
    Backend& backend = desk.backend;
    const QString holds = row.holds;
    backend.scripts["DELETE " + kSessions.toUtf8() + "/s-late"] = {204, ""};  // as if the backend held it
    ASSERT_TRUE(holds == "running" ? desk.SignInAndAccelerate() : desk.SignIn());
    if (row.deletion != 204) backend.scripts["DELETE " + kSessions.toUtf8()] = {row.deletion, R"({"message":"后端忙"})"};
    backend.scripts["GET /api/v1/games/g-pubg/regions"] = {500, ""};
    if (holds == "running") desk.screen.games->setCurrentRow(1);  // its regions fail meanwhile: that asks nothing
    if (holds == "asked") {
      backend.scripts["POST " + kSessions.toUtf8()] = row.asked;
      desk.screen.Button("开始加速")->click();
      ASSERT_TRUE(WaitFor([&] { return backend.Received("POST", kSessions.toUtf8()).size() == 1; }));
    }
    QString stalled = "-";
    if (row.stalled != "-") {
      OnNextBox([&](QMessageBox& box) {
        stalled = box.windowTitle() + "|" + desk.screen.status->text() + (TrayOf(desk.window)->isVisible() ? " with the tray" : "");
        Click(box, "仍然退出");
      });
    }
    if (row.exit) {
      EXPECT_TRUE(QuitsWithin([&] { desk.window.findChild<QMenu*>()->actions().at(1)->trigger(); }));
    } else {
      desk.screen.Button("退出登录")->click();
      EXPECT_EQ(std::tuple(desk.screen.games->count(), desk.screen.Actions()), std::tuple(0, Actions(false, false, false)));
      EXPECT_FALSE(desk.screen.Edit("账号或邮箱")->text().isEmpty()) << "the account text stays";
    }
    EXPECT_TRUE(WaitFor([&] { return Operations(desk.service).last() == 3; })) << "the tunnel stops, after any deletion";
    if (holds == "asked" && !row.exit) {
      Pause(800);
      EXPECT_TRUE(backend.Received("DELETE").isEmpty()) << "no token left to end it with";
      backend.scripts.remove("GET /api/v1/games/g-pubg/regions");
      ASSERT_TRUE(desk.SignIn());
    }
    const bool ended = row.asked.status == 201;
    EXPECT_TRUE(WaitFor([&] { return backend.Received("DELETE", kSessions.toUtf8() + "/s-late").size() == (ended ? 1 : 0); }));
    EXPECT_TRUE(WaitFor([&] { return backend.store.SessionIds().size() == (holds == "running" && row.deletion != 204); }))
        << row.exit << holds.toStdString() << row.deletion;
    EXPECT_EQ(backend.Received("DELETE").value(0).headers.value("authorization", QByteArray(71, '-')).size(), 71);
    EXPECT_EQ(Operations(desk.service).count(2), holds == "running" ? 1 : 0) << "no tunnel for a session given up";
    EXPECT_EQ(QSettings().value("sessions/unended").toStringList().size(), row.deletion == 204 ? 0 : 1);
    EXPECT_EQ(stalled, row.stalled);
    EXPECT_FALSE(zv::LoadKeptAcceleration()) << "nothing for a next run to take up";
  }
}

// Closing (or Esc) only hides the window, each time with a balloon that says
// so; the tray brings it back.
TEST_F(Window, ClosingHidesTheWindowAndTheTrayBringsItBack) {
  ASSERT_TRUE(SignIn());
  for (const char* said : {"程序已最小化到任务栏通知区域。", "加速仍在运行；选择“退出并停止加速”才会断开。"}) {
    window.show();
    window.close();
    EXPECT_TRUE(window.isHidden());
    window.show();
    QApplication::setActiveWindow(&window);
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_TRUE(window.isHidden()) << "Esc";
    EXPECT_EQ(window.balloons.mid(window.balloons.size() - 2), QStringList(2, QString("Zentravolk仍在运行|") + said));
    ASSERT_TRUE(Accelerate());
  }
  for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Trigger,
                            QSystemTrayIcon::DoubleClick}) {
    window.hide();
    emit TrayOf(window)->activated(reason);
    EXPECT_EQ(window.isVisible(), reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick);
  }
  window.hide();
  window.findChild<QMenu*>()->actions().at(0)->trigger();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(backend.Received("DELETE").isEmpty()) << "closing never ends the session";
}

// A stop whose deletion the backend refuses asks; stopping anyway takes the
// tunnel down at once, and the session is ended later: in the background, and
// at the next sign-in, of this run or the next.
TEST_F(Stop, AlwaysStopsAndTheSessionIsEndedLater) {
  ASSERT_TRUE(SignInAndAccelerate());
  // Another game's regions fail first: only the deletion's own failure asks.
  backend.scripts["GET /api/v1/games/g-pubg/regions"] = {500, ""};
  backend.scripts["DELETE " + kSessions.toUtf8()] = {503, R"({"message":"后端维护中"})"};
  screen.games->setCurrentRow(1);
  QString asked;
  OnNextBox([&](QMessageBox& box) {
    asked = Said(box) + "|" + box.informativeText();
    Click(box, "仍然停止");
  });
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速 · 加速会话将在后台结束"; }))
      << screen.status->text().toStdString() << " " << asked.toStdString();
  EXPECT_EQ(asked, "停止失败|无法结束加速会话。要重试，还是仍然停止？|后端维护中");
  EXPECT_EQ(Operations(service).last(), 3) << "the tunnel is down";
  EXPECT_TRUE(WaitFor([&] { return backend.Received("DELETE").size() == 2; })) << "tried again in the background";
  EXPECT_EQ(backend.store.SessionIds().size(), 1);

  // The next run signs in once the backend is back: the session is ended then.
  backend.scripts.clear();
  Watched next;
  Screen nextScreen(next);
  nextScreen.TypeSignIn();
  nextScreen.Button("登录")->click();
  EXPECT_TRUE(WaitFor([&] { return backend.store.SessionIds().isEmpty(); }, 8000));
  EXPECT_TRUE(WaitFor([&] { return QSettings().value("sessions/unended").toStringList().isEmpty(); }));
}

// A client started again while its acceleration runs shows it and can stop it
// (the session is ended with the next sign-in's token); an acceleration it did
// not start is offered to stop; a kept session whose tunnel is gone is ended.
TEST(StartedAgain, TakesUpWhatTheServiceRuns) {
  const struct {
    bool kept, accelerating;
    QString status;
    Actions actions;
  } rows[] = {
      {true, true, kRunning, {false, true, false}},
      {false, true, "本地加速服务正在运行一次加速（不是本客户端开始的），可按“停止加速”结束", {false, true, false}},
      {true, false, "尚未连接本地加速服务", {false, false, false}},
  };
  for (const auto& row : rows) {
    Desk desk;
    ASSERT_TRUE(desk.SignInAndAccelerate());
    desk.made.reset();  // killed: it told nobody anything more
    if (!row.kept) zv::ForgetKeptAcceleration();
    if (!row.accelerating) desk.service.Script(1, 0, R"({"state":"idle"})");
    Watched next;
    Screen again(next);
    ASSERT_TRUE(WaitFor([&] { return again.status->text() == row.status; }, 8000)) << again.status->text().toStdString();
    EXPECT_EQ(again.Actions(), row.actions);
    EXPECT_TRUE(!row.kept || !row.accelerating || again.route->text() == "当前节点：Edge A · 加速 IP：203.0.113.7");
    EXPECT_TRUE(!row.kept || !row.accelerating || again.quality->text().contains("已加速 00:00:0")) << "since its start";
    if (row.accelerating) again.Button("停止加速")->click();
    EXPECT_TRUE(WaitFor([&] { return again.status->text().startsWith(row.accelerating ? "当前未加速" : "尚未连接"); }));
    EXPECT_EQ(Operations(desk.service).last(), row.accelerating ? 3 : 1);
    again.TypeSignIn();
    again.Button("登录")->click();
    EXPECT_TRUE(WaitFor([&] { return desk.backend.store.SessionIds().size() == (row.kept ? 0 : 1); }, 8000));
    EXPECT_FALSE(zv::LoadKeptAcceleration());
  }
}

// The download's progress, then the install, offered once the download is verified:
// declined, it waits; a started installer, told it runs as an update, ends the client
// and leaves the tunnel and the kept acceleration for the client it starts again.
TEST_F(Update, AStartedInstallerEndsTheClientAndKeepsTheAccelerationForItsReturn) {
  ASSERT_TRUE(SignInAndAccelerate());
  QTemporaryDir saved;
  const QString installer = saved.filePath("setup.sh"), ran = saved.filePath("ran");
  QFile script(installer);
  script.open(QIODevice::WriteOnly), script.write(("#!/bin/sh\necho \"$@\" > '" + ran + "'\n").toUtf8());
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner), script.close();
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
  EXPECT_TRUE(WaitFor([&] { return QFile(ran).size() > 0; }));
  QFile arguments(ran);
  arguments.open(QIODevice::ReadOnly);
  EXPECT_EQ(arguments.readAll(), "/UPDATE\n") << "the installer knows it runs as an update";
  EXPECT_EQ(service.Requests().size(), before) << "the service keeps the tunnel";
  EXPECT_TRUE(window.balloons.isEmpty()) << "the window was asked to close and said it stays in the tray";
  EXPECT_TRUE(backend.Received("DELETE").isEmpty());
  EXPECT_TRUE(zv::LoadKeptAcceleration()) << "kept for the client the installer starts";
}

// What the live view shows as the path goes: connecting until the node answers
// (a grey dot), accelerating (green), broken (red, amber, one balloon, and a
// check hides no break), back quietly, busy, the service gone and back (given
// the session again), and a dead node replaced by the next one offered.
TEST_F(LiveView, FollowsThePathTheServiceAndTheNode) {
  ASSERT_TRUE(SignIn());
  const QImage idle = IconImage(window);
  const QString tip = "Zentravolk游戏加速器 · ";
  Walk(*this, {{Step::Quality, "", 0, Up(900, -1, 0, 900, -1, -1)},
               {Step::Press, "开始加速", 0, "", "正在连接加速节点 Edge A…", Actions(false, true, true)}});
  EXPECT_EQ(TrayOf(window)->toolTip(), tip + "正在连接加速节点 Counter-Strike 2");
  const QImage connecting = IconImage(window);
  Walk(*this, {{Step::Quality, "", 0, With(kHealthyPath, R"("game_before_start":true)"), kRunning}, {Step::Wait, "", 1500}});
  const QImage accelerating = IconImage(window);
  EXPECT_TRUE(screen.quality->text().startsWith("延迟 23 ms · 丢包 0% · 已加速 00:00:0")) << screen.quality->text().toStdString();
  EXPECT_EQ(TrayOf(window)->toolTip(), tip + "正在加速 Counter-Strike 2 · 延迟 23 ms · 最低/平均/最高 23/23/23 ms");
  EXPECT_TRUE(screen.games->item(0)->font().bold() && !screen.games->item(1)->font().bold());
  // The route card's line and the tray's; green only where the tunnel is faster, as the card is.
  QLabel* gain = screen.Label("routeGain");
  service.SetQuality(With(kHealthyPath, R"("game_address":"203.0.113.7","game_probe":"icmp","game_direct_ms":40,"game_tunnel_ms":52)"));
  ASSERT_TRUE(WaitFor([&] { return !gain->isHidden() && gain->text() == "加速未降低延迟（直连 40 ms，加速 52 ms）"; }));
  EXPECT_EQ(TrayOf(window)->toolTip(), tip + "正在加速 Counter-Strike 2 · 延迟 23 ms\n" + gain->text());
  const QImage plain = gain->grab().toImage();
  for (int i = 0; i < plain.width() * plain.height(); ++i) {
    const QColor c = plain.pixelColor(i % plain.width(), i / plain.width());
    ASSERT_LT(c.green() - c.red(), 90) << "a plain colour, no green";
  }
  Walk(*this, {{Step::Quality, "", 0, Up(90000, 23, 0, 12500, 12500, 60000), "线路中断：节点无响应"},
               {Step::Check, "", 0, R"({"state":"accelerating"})", "线路中断：节点无响应"}});
  EXPECT_TRUE(screen.status->property("alert").toBool()) << "said in amber";
  const QImage broken = IconImage(window);
  EXPECT_TRUE(TrayOf(window)->toolTip().contains("线路中断"));
  Walk(*this, {{Step::Quality, "", 0, kHealthyPath, kRunning}, {Step::Late, "", 1500}, {Step::Wait, "", 2500}});
  EXPECT_FALSE(screen.status->property("alert").toBool());
  EXPECT_TRUE(screen.quality->text().startsWith("本地加速服务正忙")) << screen.quality->text().toStdString();
  EXPECT_EQ(std::make_tuple(idle != connecting, connecting != accelerating, broken != accelerating,
                            IconImage(window) == accelerating),
            std::make_tuple(true, true, true, true));
  const QByteArray started = LastStart(service);
  Walk(*this, {{Step::Late, "", 0},
               {Step::Running, "", 0, "", "本地加速服务已停止，等待它恢复…", Actions(false, true, false)},
               {Step::Running, "", 1, "", "本地加速服务已重新启动，加速已自动恢复"},
               {Step::Wait, "", 0, "", kRunning, Actions(false, true, true)}});
  EXPECT_EQ(LastStart(service), started) << "the same session, with its key";
  Walk(*this, {{Step::Quality, "", 0, kNoHandshake, "节点 Edge A 无响应，已切换到 Edge B，正在连接…"},
               {Step::Quality, "", 0, kHealthyPath, kRunning}});
  EXPECT_EQ(screen.route->text(), "当前节点：Edge B · 加速 IP：203.0.113.8");
  EXPECT_EQ(Operations(service).mid(Operations(service).size() - 2), (QList<quint16>{3, 2})) << "the dead tunnel first";
  EXPECT_TRUE(WaitFor([&] { return backend.store.SessionIds().size() == 1; })) << "the dead node's session is ended";
  EXPECT_EQ(window.balloons, QStringList({"请重新启动游戏|游戏在开始加速前已运行：它此前建立的连接不经过加速，"
                                          "重新启动游戏后即全部加速。",
                                          "Zentravolk线路中断|线路中断：节点无响应",
                                          "Zentravolk线路中断|本地加速服务已停止，等待它恢复…",
                                          "Zentravolk已切换节点|节点 Edge A 无响应，已切换到 Edge B，正在连接…"}));
  Walk(*this, {{Step::Press, "停止加速", 0, "", "当前未加速"}});
  EXPECT_TRUE(screen.quality->isHidden() && window.findChild<QWidget*>("pathGraph")->isHidden());
  EXPECT_TRUE(TrayOf(window)->toolTip() == tip + "当前未加速" && IconImage(window) == idle);
}

TEST(QualityPoll, AsksOnceAtATimeOffTheWindowsThread) {
  StandInService service;
  QSemaphore release;
  service.ScriptRaw([&release](const StandInService::Request& request) {
    release.tryAcquire(1, 5000);
    return Framed(request.header.requestId, 0, R"({"state":"idle"})");
  });
  QualityPoll poll;
  QSignalSpy answers(&poll, &QualityPoll::Answered);
  for (int i = 0; i < 5; ++i) poll.Ask();  // returns at once although no answer comes yet
  ASSERT_TRUE(WaitFor([&] { return service.QualityPolls() == 1; }));
  release.release(10);
  ASSERT_TRUE(WaitFor([&] { return answers.size() == 1; }));
  Pause(300);
  EXPECT_EQ(std::make_pair(service.QualityPolls(), answers.size()), std::make_pair(1, qsizetype{1}))
      << "questions asked while one was under way are dropped";
  poll.Ask();
  EXPECT_TRUE(WaitFor([&] { return answers.size() == 2; })) << "and the next is asked";
}

// Two hundred games, one with a very long name: the search finds it, the list
// cuts it, and a search never hides the selected game. Then every control has
// a name for screen readers.
TEST_F(Window, TheListScalesWithSearchAndCutNamesAndEveryControlIsNamed) {
  const QString longName = "Ultra " + QString(90, 'W');
  for (int i = 0; i < 200; ++i) {
    QSqlQuery().exec(QString("INSERT INTO games VALUES ('g%1', '%2', 'x', 'x.exe', '')").arg(i).arg(i == 150 ? longName : QString("Game %1").arg(i)));
  }
  window.show();
  ASSERT_TRUE(SignIn());
  screen.Edit("搜索游戏")->setText("ultra");
  const auto shown = [&] {
    QStringList names;
    for (int row = 0; row < screen.games->count(); ++row) names << (screen.games->isRowHidden(row) ? "" : screen.games->item(row)->text());
    return names.filter(QRegularExpression("."));
  };
  EXPECT_EQ(shown(), (QStringList{"Counter-Strike 2", longName})) << "the selected game stays listed";
  QApplication::processEvents();
  EXPECT_EQ(screen.games->horizontalScrollBar()->maximum(), 0) << "no sideways scrolling";
  EXPECT_LE(screen.games->visualItemRect(screen.games->item(153)).width(), screen.games->viewport()->width());
  EXPECT_EQ(screen.games->item(153)->toolTip(), longName) << "whole in its tip";
  screen.games->setCurrentRow(153);
  EXPECT_EQ(shown(), QStringList{longName});
  ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }));
  ASSERT_TRUE(Accelerate());
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "正在加速 · 智能分流 Beta（仅游戏流量） · Ultra " + QString(25, 'W') + "…"; }))
      << screen.status->text().toStdString();
  EXPECT_TRUE(WaitFor([&] { return TrayOf(window)->toolTip().startsWith("Zentravolk游戏加速器 · 正在加速 Ultra WWW"); }));
  EXPECT_LT(TrayOf(window)->toolTip().size(), 120) << "the tray tip cuts the name";

  const auto name = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name); };
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    const auto* button = qobject_cast<QAbstractButton*>(widget);
    const bool named = button || qobject_cast<QLineEdit*>(widget) || qobject_cast<QListWidget*>(widget) ||
                       qobject_cast<QLabel*>(widget) || widget->objectName() == "pathGraph";
    EXPECT_TRUE(!named || widget->isHidden() || !name(widget).isEmpty()) << widget->metaObject()->className() << " " << Text(widget).toStdString();
    EXPECT_TRUE(!button || name(widget) == button->text());
  }
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
    edit->setText("typed");  // a placeholder is gone once there is text; the name stays
    EXPECT_TRUE(QStringList({"账号或邮箱", "密码", "搜索游戏"}).contains(name(edit)));
  }
}

}  // namespace

#include "window_test.moc"
