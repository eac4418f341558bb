// What a gamer sees while accelerating (the path's quality, the time, the
// tray, the game's mark), the names screen readers read, and one client per user.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <QAccessible>

#include "quality_poll.h"
#include "single_instance.h"
#include "window_rig.h"

namespace {

using namespace zv::test;

constexpr quint16 kQueryQuality = static_cast<quint16>(zv::ControlOperation::QueryQuality);

QSystemTrayIcon* Tray(MainWindow& window) { return window.findChild<QSystemTrayIcon*>(); }

bool SameImage(const QIcon& a, const QIcon& b) { return a.pixmap(32).toImage() == b.pixmap(32).toImage(); }

TEST(LiveView, TheQualityLineTheTrayAndTheListTellHowTheAccelerationGoes) {
  struct Row {
    const char* name;
    std::uint32_t status;
    QByteArray reply;
    QString line;  // the quality line up to the time accelerated
    const char* level;
    QString tray;  // the tool tip after "Zentravolk游戏加速器 · "
  };
  const Row rows[] = {
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
  for (const Row& row : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    service.Script(2, 0, R"({"state":"accelerating"})");
    service.Script(kQueryQuality, row.status, row.reply);
    SignIn(window, screen);
    const QIcon idleTray = Tray(window)->icon();
    ASSERT_TRUE(Accelerate(screen)) << row.name;
    auto* line = window.findChild<QLabel*>("routeQuality");
    EXPECT_TRUE(WaitFor([&] { return line->text().startsWith(row.line); })) << row.name << ": " << line->text().toStdString();
    EXPECT_FALSE(line->isHidden()) << row.name;
    EXPECT_EQ(line->property("level").toString(), row.level) << row.name;
    EXPECT_EQ(Tray(window)->toolTip(), "Zentravolk游戏加速器 · " + row.tray) << row.name;
    EXPECT_FALSE(SameImage(Tray(window)->icon(), idleTray)) << row.name << ": the tray's icon tells it accelerates";
    EXPECT_EQ(screen.games->item(0)->toolTip(), "正在加速") << row.name;
    EXPECT_TRUE(screen.games->item(0)->font().bold()) << row.name;
    EXPECT_TRUE(screen.games->item(1)->toolTip().isEmpty()) << row.name;

    screen.Button("停止加速")->click();
    ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; })) << row.name;
    EXPECT_TRUE(line->isHidden()) << row.name;
    EXPECT_EQ(Tray(window)->toolTip(), "Zentravolk游戏加速器 · 当前未加速") << row.name;
    EXPECT_TRUE(SameImage(Tray(window)->icon(), idleTray)) << row.name;
    EXPECT_TRUE(screen.games->item(0)->toolTip().isEmpty() && !screen.games->item(0)->font().bold()) << row.name;
  }
}

// The service gave the tunnel up while the session is still held: said
// plainly, nothing offers to launch, and only stopping is left.
TEST(LiveView, ATunnelTheServiceGaveUpIsSaidPlainly) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  service.Script(2, 0, R"({"state":"accelerating"})");
  service.Script(kQueryQuality, 0, R"({"state":"idle"})");
  SignIn(window, screen);
  ASSERT_TRUE(Accelerate(screen));
  auto* line = window.findChild<QLabel*>("routeQuality");
  ASSERT_TRUE(WaitFor([&] { return line->text().startsWith("加速已中断"); })) << line->text().toStdString();
  EXPECT_EQ(screen.status->text(), "当前未加速");
  EXPECT_FALSE(screen.Button("启动游戏")->isEnabled());
  EXPECT_TRUE(screen.Button("停止加速")->isEnabled());
  EXPECT_EQ(Tray(window)->toolTip(), "Zentravolk游戏加速器 · 加速已中断");
  const int polls = service.QualityPolls();
  WaitFor([] { return false; }, 1500);
  EXPECT_EQ(service.QualityPolls(), polls) << "no more polls once it is over";
}

// The service holds every quality answer back for seconds; the window's own
// event loop must keep running all the while.
TEST(LiveView, TheWindowNeverWaitsForTheService) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  service.Script(2, 0, R"({"state":"accelerating"})");
  SignIn(window, screen);
  QSemaphore release;
  service.ScriptRaw([&release](const StandInService::Request& request) {
    const bool quality = request.operation() == kQueryQuality;
    if (quality) release.tryAcquire(1, 5000);
    const QByteArray body = quality ? R"({"state":"accelerating","probes":1,"rtt_ms":9,"loss_percent":0,"silent_ms":0})"
                                    : R"({"state":"accelerating"})";
    const auto head = zv::EncodeReplyHeader(request.header.requestId, 0, static_cast<std::uint32_t>(body.size()));
    return QByteArray(reinterpret_cast<const char*>(head.data()), head.size()) + body;
  });
  ASSERT_TRUE(Accelerate(screen));
  ASSERT_TRUE(WaitFor([&] { return service.QualityPolls() == 1; }));
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
  tick.start(10);
  WaitFor([] { return false; }, 1500);
  EXPECT_GE(ticks, 60) << "the event loop stood still while the service was asked";
  release.release(10);
  auto* line = window.findChild<QLabel*>("routeQuality");
  EXPECT_TRUE(WaitFor([&] { return line->text().startsWith("延迟 9 ms"); }));
}

TEST(QualityPoll, AsksOnceAtATime) {
  StandInService service;
  QSemaphore release;
  service.ScriptRaw([&release](const StandInService::Request& request) {
    release.tryAcquire(1, 5000);
    const QByteArray body = R"({"state":"idle"})";
    const auto head = zv::EncodeReplyHeader(request.header.requestId, 0, static_cast<std::uint32_t>(body.size()));
    return QByteArray(reinterpret_cast<const char*>(head.data()), head.size()) + body;
  });
  QualityPoll poll;
  QSignalSpy answers(&poll, &QualityPoll::Answered);
  for (int i = 0; i < 5; ++i) poll.Ask();
  ASSERT_TRUE(WaitFor([&] { return service.QualityPolls() == 1; }));
  release.release(10);
  ASSERT_TRUE(WaitFor([&] { return answers.size() == 1; }));
  WaitFor([] { return false; }, 300);
  EXPECT_EQ(service.QualityPolls(), 1) << "questions asked while one was under way are dropped";
  EXPECT_EQ(answers.size(), 1);
  poll.Ask();
  EXPECT_TRUE(WaitFor([&] { return answers.size() == 2; })) << "and the next is asked";
}

TEST(LiveView, EveryControlHasANameForScreenReaders) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  service.Script(2, 0, R"({"state":"accelerating"})");
  SignIn(window, screen);
  ASSERT_TRUE(Accelerate(screen));
  const QStringList edits = {"账号或邮箱", "密码"};
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    const bool control = qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                         qobject_cast<QListWidget*>(widget) || qobject_cast<QLabel*>(widget);
    if (!control) continue;
    const QString name = QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
    EXPECT_FALSE(name.isEmpty()) << widget->metaObject()->className() << " " << widget->objectName().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      EXPECT_EQ(name, button->text());
    }
  }
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
    edit->setText("typed");  // a placeholder is gone once there is text; the name stays
    EXPECT_TRUE(edits.contains(QAccessible::queryAccessibleInterface(edit)->text(QAccessible::Name)));
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(screen.games)->text(QAccessible::Name), "选择游戏");
}

TEST(SingleInstance, ALaterStartShowsTheRunningClientInstead) {
  QTemporaryDir folder;
  const QString channel = folder.path() + "/client";
  Desk desk;
  auto& window = desk.window;
  auto first = std::make_unique<SingleInstance>(channel);
  ASSERT_TRUE(first->First());
  QObject::connect(first.get(), &SingleInstance::ShowRequested, &window, [&window] { window.ShowWindow(); });
  window.show();
  window.close();  // to the tray
  ASSERT_TRUE(window.isHidden());

  SingleInstance second(channel);
  EXPECT_FALSE(second.First());
  EXPECT_TRUE(WaitFor([&] { return window.isVisible(); })) << "the running client shows itself";

  // A client that died leaves its socket behind: the next start is the first again.
  first.reset();
  QFile leftover(channel);
  ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
  leftover.close();
  SingleInstance next(channel);
  EXPECT_TRUE(next.First());
  SingleInstance other(folder.path() + "/another-user");
  EXPECT_TRUE(other.First()) << "another user's client is not this one";
}

// The real program: a second start ends at once and leaves the first running.
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

  first.kill();  // its socket stays behind
  first.waitForFinished();
  ASSERT_TRUE(start(third));
  EXPECT_FALSE(third.waitForFinished(1500)) << "after a crash the next start is the client";
  third.kill();
  third.waitForFinished();
}

}  // namespace
