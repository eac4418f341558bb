// The main window's test rig: the window seen through its widgets, a loopback
// backend, a stand-in service and a stand-in key tool in the program's folder.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <tuple>

#include "main_window.h"
#include "stand_in_service.h"
#include "test_http_server.h"
#include "window_driving.h"

namespace zv::test {

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
    for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
      if (edit->placeholderText() == placeholder) return edit;
    }
    return nullptr;
  }
  void TypeSignIn() {
    Edit("账号或邮箱")->setText("me");
    Edit("密码")->setText("pw");
  }
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
  QListWidget* games = window.findChild<QListWidget*>("gameList");
};

// A backend with one signed-in account, two games, one region, scripted nodes and sessions.
struct Backend {
  Backend() {
    qputenv("VIRI_ZIVADADIVAZ_API_URL", server.Origin());
    server.answer = [this](const HttpExchange& request) {
      const QByteArray& target = request.target;
      if (target.startsWith("/api/v1/client/releases")) return release;
      if (target == "/api/v1/auth/login") return login;
      if (target == "/api/v1/me") return profile;
      if (target == "/api/v1/games") return games;
      if (target.endsWith("/regions")) return target.contains("/g2/") ? secondRegions : regions;
      if (target.endsWith("/nodes")) return nodes;
      return request.method == "POST" ? session : deletion;
    };
  }
  QList<HttpExchange> Received(const QByteArray& method, const QByteArray& prefix) {
    QList<HttpExchange> matching;
    for (const HttpExchange& e : server.received) {
      if (e.method == method && e.target.startsWith(prefix)) matching.append(e);
    }
    return matching;
  }
  QJsonObject LastSession() {
    const QList<HttpExchange> posts = Received("POST", "/api/v1/acceleration");
    return QJsonDocument::fromJson(posts.isEmpty() ? "" : posts.last().body).object();
  }
  TestHttpServer server;
  HttpAnswer nodes{200, R"({"items":[{"id":"n1","name":"Edge A","location":"hk","score":20},)"
                        R"({"id":"n2","name":"Edge B","location":"hk","score":90}]})"};
  HttpAnswer session{201, R"({"session_id":"s1","assigned_ip":"10.240.0.2/32","private_key":"theirs",)"
                          R"("game_processes":["game.exe"],"egress_ip":"203.0.113.7","rules_environment":"x"})"};
  HttpAnswer deletion{204, ""};
  HttpAnswer regions{200, R"({"items":[{"id":"r1","name":"华东"}]})"};
  HttpAnswer secondRegions = regions;  // the second game's, to make them late or failing
  HttpAnswer release{200, R"({"version":"0.4.0"})"};
  HttpAnswer login{200, R"({"access_token":"t","refresh_token":"r"})"};
  HttpAnswer profile{200, R"({"account":"me","membership":{"active":false}})"};
  HttpAnswer games{200, R"({"items":[{"id":"g1","name":"Game One","slug":"one"},{"id":"g2","name":"Two"}]})"};
};

// A key tool script in the program's own folder, where the client looks for it.
struct KeyTool {
  KeyTool() {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\necho '{\"private_key\":\"PRIV\",\"public_key\":\"PUB\"}'\n");
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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

// The window, keeping the tray balloons it shows; it updates as on Windows when told to.
struct Watched : MainWindow {
  QStringList balloons;
  bool asOnWindows = false;
  void ShowTrayMessage(const QString& title, const QString& text) override { balloons << title + "|" + text; }
  bool UpdatesByInstaller() const override { return asOnWindows || MainWindow::UpdatesByInstaller(); }
};

// One window with everything it talks to; the backend is asked only as requests
// come, so a test may change its answers after construction.
struct Desk {
  bool SignIn() {
    screen.TypeSignIn();
    screen.Button("登录")->click();
    return WaitFor([&] { return screen.Button("开始加速")->isEnabled(); });
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
  Watched window;
  Screen screen{window};
};

}  // namespace zv::test
