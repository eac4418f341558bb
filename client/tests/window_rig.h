// The main window's test rig: the window seen through its widgets, the
// reference backend run in process, a stand-in service and a stand-in key
// tool in the program's folder.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QHttpServer>
#include <QJsonDocument>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <tuple>

#include "bounded_servers.h"
#include "main_window.h"
#include "reference_backend.h"
#include "stand_in_service.h"
#include "window_driving.h"

namespace zv::test {

inline QByteArray TestData(const char* name) {
  QFile file(QStringLiteral(ZV_TEST_DATA "/") + name);
  file.open(QIODevice::ReadOnly);
  return file.readAll();
}

// The widgets of a named part of the window (the scrolled "leftColumn", the "actionPanel"), in order.
inline QList<QWidget*> Part(MainWindow& window, const char* name) {
  QLayout* layout = window.findChild<QWidget*>(name)->layout();
  QList<QWidget*> widgets;
  for (int i = 0; i < layout->count(); ++i) {
    if (QWidget* widget = layout->itemAt(i)->widget()) widgets.append(widget);
  }
  return widgets;
}

inline QString Text(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().isEmpty() ? label->objectName() : label->text();
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->placeholderText();
  return widget->objectName();
}

// The window with handles on the widgets a user works with.
struct Screen {
  explicit Screen(MainWindow& window) : window(window) {}
  QPushButton* Button(const char* text) { return ButtonWithText(window, text); }
  QLabel* Label(const char* name) { return window.findChild<QLabel*>(name); }
  QLineEdit* Edit(const QString& placeholder) {
    const auto edits = window.findChildren<QLineEdit*>();
    return *std::find_if(edits.begin(), edits.end(), [&](QLineEdit* e) { return e->placeholderText() == placeholder; });
  }
  void TypeSignIn() { Edit("账号或邮箱")->setText(BackendStore::kDemoAccount), Edit("密码")->setText(BackendStore::kDemoPassword); }
  // Whether start, stop and launch are offered.
  std::tuple<bool, bool, bool> Actions() {
    return {Button("开始加速")->isEnabled(), Button("停止加速")->isEnabled(), Button("启动游戏")->isEnabled()};
  }
  QLabel* Account() {
    return qobject_cast<QLabel*>(window.findChild<QFrame*>("memberCard")->layout()->itemAt(1)->widget());
  }
  MainWindow& window;
  QLabel* status = Label("serviceStatus");
  QLabel* route = Label("routeCard");
  QLabel* quality = Label("routeQuality");
  QListWidget* games = window.findChild<QListWidget*>("gameList");
};

// The reference backend in process, on loopback (and over TLS with the tests'
// certificate): its store, every request it heard, and the answers a test
// scripts for a method and a target's beginning ("GET /api/v1/me").
struct Backend {
  explicit Backend(bool tls = false) {
    QString error;
    const QByteArray key(32, 'k');
    const QString nodeKey = QString::fromLatin1(key.toBase64());
    EXPECT_TRUE(store.Open(":memory:", {{"Edge A", "", "192.0.2.1:51820", nodeKey, "203.0.113.7"},
                                        {"Edge B", "", "192.0.2.2:51820", nodeKey, "203.0.113.8"}},
                           error)) << error.toStdString();
    api.linuxVersion = kApplicationVersion;  // no release to tell of unless a test offers one
    api.Route(http);
    hooks.heard = [this](const Exchange& exchange) { received << exchange; };
    hooks.script = [this](const Exchange& exchange) -> std::optional<Scripted> {
      for (auto script = scripts.cbegin(); script != scripts.cend(); ++script) {
        if ((exchange.method + " " + exchange.target).startsWith(script.key())) return script.value();
      }
      return std::nullopt;  // the backend's own answer
    };
    QTcpServer* server = tls ? static_cast<QTcpServer*>(new BoundedSslServer(&hooks)) : new BoundedTcpServer(&hooks);
    if (auto* secure = qobject_cast<QSslServer*>(server)) {
      QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
      configuration.setLocalCertificate(QSslCertificate(TestData("loopback.crt")));
      configuration.setPrivateKey(QSslKey(TestData("loopback.key"), QSsl::Rsa));
      secure->setSslConfiguration(configuration);
    }
    server->setParent(&http);
    server->listen(QHostAddress::LocalHost);
    http.bind(server);
    origin = QByteArray(tls ? "https" : "http") + "://127.0.0.1:" + QByteArray::number(server->serverPort());
    qputenv("VIRI_ZIVADADIVAZ_API_URL", origin);
  }
  QList<Exchange> Received(const QByteArray& method, const QByteArray& prefix = "/") {
    QList<Exchange> matching;
    for (const Exchange& e : received) matching << QList<Exchange>(e.method == method && e.target.startsWith(prefix), e);
    return matching;
  }
  BackendStore store;
  ReferenceBackend api{store};
  ServerHooks hooks;
  QList<Exchange> received;
  QMap<QByteArray, Scripted> scripts;
  QByteArray origin;
  QHttpServer http;  // last: gone first, with its listeners, before what they use
};

// Makes every TLS connection of this process trust the tests' certificate.
inline void TrustTestCertificate() {
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.addCaCertificates(QSslCertificate::fromData(TestData("loopback.crt")));
  QSslConfiguration::setDefaultConfiguration(configuration);
}

// A key tool in the program's own folder, where the client looks for it: a fresh pair each run.
struct KeyTool {
  KeyTool() {
    QFile file(path);
    file.open(QIODevice::WriteOnly), file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    file.write("#!/bin/sh\nk=$(head -c 32 /dev/urandom | base64)\necho \"{\\\"private_key\\\":\\\"$k\\\",\\\"public_key\\\":\\\"$k\\\"}\"\n");
  }
  ~KeyTool() { QFile::remove(path); }
  QString path = QCoreApplication::applicationDirPath() + "/orvekind";
};

// Answers the next message box once it is up, modal or not: `answer` sees it and decides how it ends.
inline void OnNextBox(std::function<void(QMessageBox&)> answer) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, answer] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box == nullptr || !box->isVisible()) continue;
      poll->stop();
      poll->deleteLater();
      return answer(*box);
    }
  });
  poll->start(10);
}

inline QString Said(QMessageBox& box) { return box.windowTitle() + "|" + box.text(); }

inline void Click(QMessageBox& box, const QString& text) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == text) button->click();
  }
}

// The window, keeping the tray balloons it shows; it updates as on Windows when told to.
struct Watched : MainWindow {
  QStringList balloons;
  bool asOnWindows = false;
  void ShowTrayMessage(const QString& title, const QString& text) override { balloons << title + "|" + text; }
  bool UpdatesByInstaller() const override { return asOnWindows || MainWindow::UpdatesByInstaller(); }
};

// One window with everything it talks to; a test may change the backend's
// answers and the service's at any time.
struct Desk {
  // What a test leaves in the settings is no next test's business.
  ~Desk() {
    zv::ForgetKeptAcceleration();
    QSettings().remove("sessions/unended");
  }
  bool SignIn() {
    screen.TypeSignIn(), screen.Button("登录")->click();
    return WaitFor([&] { return screen.Button("开始加速")->isEnabled(); }, 10000);
  }
  // Presses "开始加速" and waits until the tunnel runs.
  bool Accelerate() {
    screen.Button("开始加速")->click();
    return WaitFor([&] { return screen.Button("启动游戏")->isEnabled(); });
  }
  bool SignInAndAccelerate() { return SignIn() && Accelerate(); }
  Backend backend;
  StandInService service;
  KeyTool keyTool;
  std::unique_ptr<Watched> made = std::make_unique<Watched>();  // reset: the client killed
  Watched& window = *made;
  Screen screen{window};
};

}  // namespace zv::test
