// zv-road: drives the real client window through one acceleration, as a user
// would, and says what happened at each step. The headless demo and the
// end-to-end test run it offscreen against the reference backend and the
// service.
//   zv-road [--take-up] ACCOUNT PASSWORD SCREENSHOT_DIR CHECK_COMMAND...
// Saves signed-in.png and accelerating.png (once the path's quality shows) in
// SCREENSHOT_DIR. CHECK_COMMAND runs while the tunnel is up, with the window's
// event loop running as in the client; its failure fails the road.
// --take-up: a client started again while its acceleration runs: the window
// must show it without a click; after the check it is stopped, and a sign-in
// ends its session at the backend.
// With ZV_ROAD_TIMELINE=FILE every change of the status, quality, route and
// gain lines, and the press of 开始加速, is written there as it happens:
// "EPOCH_MS WHAT TEXT", for checks and measurements of what the window tells.
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QEventLoop>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app_identity.h"
#include "main_window.h"
#include "window_driving.h"

namespace {

using zv::test::ButtonWithText;
using zv::test::WaitFor;

class Road {
 public:
  void Step(const char* what, const std::function<bool()>& done, const std::function<QString()>& seen) {
    if (failed) return;
    const bool reached = WaitFor(done, 20000);
    std::printf("[%s] %s: %s\n", reached ? " ok " : "FAIL", what, qPrintable(seen()));
    std::fflush(stdout);
    failed = !reached;
  }
  bool failed = false;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  zv::ApplyApplicationIdentity();
  QApplication::setQuitOnLastWindowClosed(false);
  QStringList arguments = QApplication::arguments();
  const bool takeUp = arguments.value(1) == "--take-up";
  if (takeUp) arguments.removeAt(1);
  if (arguments.size() < 5) {
    std::fprintf(stderr, "usage: zv-road [--take-up] ACCOUNT PASSWORD SCREENSHOT_DIR CHECK_COMMAND...\n");
    return 2;
  }
  MainWindow window;
  window.show();
  Road road;
  auto* status = window.findChild<QLabel*>("serviceStatus");
  auto* games = window.findChild<QListWidget*>("gameList");
  auto* route = window.findChild<QLabel*>("routeCard");
  auto* membership = window.findChild<QLabel*>("membershipStatus");
  auto* quality = window.findChild<QLabel*>("routeQuality");
  auto* gain = window.findChild<QLabel*>("routeGain");
  const QDir pictures(arguments[3]);
  const auto save = [&](const char* name) {
    if (road.failed) return;
    window.grab().save(pictures.filePath(name));
    std::printf("[ ok ] screenshot: %s\n", qPrintable(pictures.filePath(name)));
    std::fflush(stdout);
  };
  QFile timeline(qEnvironmentVariable("ZV_ROAD_TIMELINE"));
  const auto note = [&](const char* what, const QString& text) {
    if (!timeline.isOpen()) return;
    timeline.write(QString("%1 %2 %3\n").arg(QDateTime::currentMSecsSinceEpoch()).arg(what, text).toUtf8());
    timeline.flush();
  };
  QTimer watch;
  if (!timeline.fileName().isEmpty() && timeline.open(QIODevice::WriteOnly | QIODevice::Append)) {
    QObject::connect(&watch, &QTimer::timeout, [&, shown = QStringList(4)]() mutable {
      const QString now[] = {status->text(), quality->text(), route->text(), gain->text()};
      const char* what[] = {"status", "quality", "route", "gain"};
      for (int i = 0; i < 4; ++i) {
        if (now[i] != shown[i]) note(what[i], shown[i] = now[i]);
      }
    });
    watch.start(20);
  }
  QFrame* card = window.findChild<QFrame*>("memberCard");
  auto* account = qobject_cast<QLabel*>(card->layout()->itemAt(1)->widget());

  const auto signIn = [&] {
    for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
      if (edit->placeholderText() == "账号或邮箱") edit->setText(arguments[1]);
      if (edit->placeholderText() == "密码") edit->setText(arguments[2]);
    }
    ButtonWithText(window, "登录")->click();
    road.Step("signed in, profile shown", [&] { return account->text().startsWith("账号：") && !membership->isHidden(); },
              [&] { return account->text() + " · " + membership->text(); });
  };
  // Asynchronous, so that the window lives as it does for a user while the check runs.
  const auto check = [&] {
    if (road.failed) return;
    QProcess check;
    QEventLoop checking;
    QObject::connect(&check, &QProcess::finished, &checking, &QEventLoop::quit);
    QObject::connect(&check, &QProcess::errorOccurred, &checking, &QEventLoop::quit);
    check.setProcessChannelMode(QProcess::ForwardedChannels);
    check.start(arguments[4], arguments.mid(5));
    if (check.state() != QProcess::NotRunning) checking.exec();
    const int checked = check.exitStatus() == QProcess::NormalExit && check.error() == QProcess::UnknownError
                            ? check.exitCode() : -1;
    road.Step("the game server through the tunnel", [&] { return checked == 0; },
              [&] { return arguments.mid(4).join(' ') + " -> exit " + QString::number(checked); });
  };
  QPushButton* stop = window.findChild<QPushButton*>("secondaryButton");
  if (takeUp) {
    road.Step("started again: the running acceleration shown", [&] { return status->text().startsWith("正在加速"); },
              [&] { return status->text() + " · " + route->text(); });
    check();
    stop->click();
    road.Step("停止加速 while signed out: tunnel down", [&] { return status->text().startsWith("当前未加速"); },
              [&] { return status->text(); });
    signIn();
    road.Step("its session ended with the sign-in's token",
              [&] { return QSettings().value("sessions/unended").toStringList().isEmpty(); },
              [&] { return QSettings().value("sessions/unended").toStringList().join(' '); });
    return road.failed ? 1 : 0;
  }
  road.Step("the window asks the service", [&] { return !status->text().isEmpty(); }, [&] { return status->text(); });
  signIn();
  road.Step("the catalog", [&] { return games->count() > 0; }, [&] {
    QStringList names;
    for (int i = 0; i < games->count(); ++i) names << games->item(i)->text();
    return names.join(", ");
  });
  games->setCurrentRow(0);
  road.Step("first game, its region", [&] { return ButtonWithText(window, "开始加速")->isEnabled(); },
            [&] { return games->currentItem()->text() + " · " + route->text(); });
  save("signed-in.png");
  note("click", "开始加速");
  ButtonWithText(window, "开始加速")->click();
  road.Step("开始加速: session created, tunnel up", [&] { return ButtonWithText(window, "启动游戏")->isEnabled(); },
            [&] { return status->text() + " · " + route->text(); });
  road.Step("the path's quality", [&] { return quality->text().startsWith("延迟"); }, [&] { return quality->text(); });
  save("accelerating.png");
  check();
  if (stop != nullptr && stop->isEnabled()) {
    stop->click();
    road.Step("停止加速: session deleted, tunnel down", [&] { return status->text() == "当前未加速"; },
              [&] { return status->text(); });
  }
  return road.failed ? 1 : 0;
}
