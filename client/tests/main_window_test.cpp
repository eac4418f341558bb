// The main window driven through its widgets, against the loopback backend,
// a stand-in service and a stand-in key tool in the program's folder.
#include "main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QListWidget>
#include <QPushButton>
#include <functional>

#include "api_client.h"
#include "window_rig.h"

namespace {

using namespace zv::test;

TEST(MainWindow, StartsSignedOutAndAsksOnlyForUpdates) {
  Backend backend;
  MainWindow window;
  Screen screen(window);
  QStringList order;
  for (QWidget* widget : LeftColumn(window)) order.append(Text(widget));
  EXPECT_EQ(order, (QStringList{"Zentravolk", "让每一局都更稳定", "memberCard", "账号或邮箱", "密码", "登录", "注册账号",
                                "加速线路：请选择游戏", "尚未连接本地加速服务", "检查服务", "开始加速", "启动游戏",
                                "停止加速"}));
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled());
  EXPECT_FALSE(screen.Button("停止加速")->isEnabled());
  EXPECT_FALSE(screen.Button("启动游戏")->isEnabled());
  EXPECT_TRUE(screen.Button("检查服务")->isEnabled() && screen.Button("登录")->isEnabled());
  EXPECT_TRUE(window.findChild<QLabel*>("membershipStatus")->isHidden());
  EXPECT_EQ(window.windowTitle(), "游戏加速器");
  ASSERT_TRUE(WaitFor([&] { return !backend.server.received.isEmpty(); }));
  QApplication::processEvents();
  ASSERT_EQ(backend.server.received.size(), 1);
  EXPECT_TRUE(backend.server.received.first().target.startsWith("/api/v1/client/releases/latest?"));
}

TEST(MainWindow, TheServiceAnswerDecidesTheButtons) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  struct Row {
    std::uint32_t status;
    QByteArray body;
    const char* text;
    bool stopEnabled;
  };
  const Row rows[] = {
      {0, R"({"state":"accelerating"})", "正在加速", true},
      {0, R"({"state":"idle"})", "当前未加速", false},
      {0, R"({"state":"idle","was":"accelerating"})", "正在加速", true},
      {0, R"({"note":"other"})", R"({"note":"other"})", true},
      {4, R"({"error":"tunnel_already_running"})", "服务拒绝了请求", true},
  };
  for (const Row& row : rows) {
    service.Script(1, row.status, row.body);
    screen.Button("检查服务")->click();
    EXPECT_EQ(screen.status->text(), row.text) << row.body.constData();
    EXPECT_EQ(screen.Button("停止加速")->isEnabled(), row.stopEnabled) << row.body.constData();
    EXPECT_FALSE(screen.Button("开始加速")->isEnabled()) << "signed out: " << row.body.constData();
  }
  SignIn(window, screen);  // signed in with a game selected, "idle" offers the start again
  service.Script(1, 0, R"({"state":"accelerating"})");
  screen.Button("检查服务")->click();
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled());
  service.Script(1, 0, R"({"state":"idle"})");
  screen.Button("检查服务")->click();
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled());
  EXPECT_FALSE(screen.Button("停止加速")->isEnabled());
}

TEST(MainWindow, AccelerationRunsFromGameToTunnelAndBack) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  service.Script(2, 0, R"({"state":"accelerating"})");
  SignIn(window, screen);
  EXPECT_EQ(screen.games->count(), 2);
  EXPECT_EQ(screen.route->text(), "加速线路：华东 · 香港智能节点");

  ASSERT_TRUE(Accelerate(screen)) << screen.status->text().toStdString();
  const QJsonObject created = QJsonDocument::fromJson(backend.Received("POST", "/api/v1/acceleration").first().body).object();
  EXPECT_EQ(created.value("preferred_node_id"), "n1") << "the backend's first node, whatever the scores";
  EXPECT_EQ(created.value("client_public_key"), "PUB");
  EXPECT_EQ(created.value("probes")[0].toObject().value("rtt_ms"), 20);

  const QList<zv::test::StandInService::Request> requests = service.Requests();
  ASSERT_FALSE(requests.isEmpty());
  EXPECT_EQ(requests.last().operation(), 2);
  EXPECT_EQ(requests.last().body,
            R"({"assigned_ip":"10.240.0.2/32","egress_ip":"203.0.113.7","game_processes":["game.exe"],)"
            R"("private_key":"PRIV","route_mode":"process-beta","rules_environment":"x","session_id":"s1"})");
  EXPECT_EQ(screen.status->text(), "正在加速 · 智能分流 Beta（仅游戏流量）");
  EXPECT_EQ(screen.route->text(), "当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7");
  EXPECT_TRUE(screen.Button("停止加速")->isEnabled());
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled());

  // Another game while accelerating: its regions load, but no second session may start.
  screen.games->setCurrentRow(1);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "香港节点在线，可开始加速"; }));
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled()) << "a session is held";
  EXPECT_TRUE(screen.Button("停止加速")->isEnabled());

  // The deletion fails: the tunnel runs on and must stay stoppable.
  backend.deletion = HttpAnswer{500, R"({"message":"稍后再试"})"};
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "稍后再试"; }));
  EXPECT_TRUE(screen.Button("停止加速")->isEnabled());
  EXPECT_EQ(service.Requests().last().operation(), 2) << "no StopTunnel before the session is gone";

  backend.deletion = HttpAnswer{204, ""};
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; }));
  EXPECT_EQ(service.Requests().last().operation(), 3);
  EXPECT_EQ(backend.Received("DELETE", "/api/v1/acceleration/sessions/s1").size(), 2);
  EXPECT_FALSE(screen.Button("停止加速")->isEnabled());
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled());
}

TEST(MainWindow, WithoutTheKeyToolNothingIsAsked) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  QFile::remove(keyTool.path);
  SignIn(window, screen);
  screen.Button("开始加速")->click();
  EXPECT_EQ(screen.status->text(), "无法生成隧道密钥，请重新安装客户端");
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled());
  QApplication::processEvents();
  EXPECT_TRUE(backend.Received("GET", "/api/v1/games/g1/regions/r1/nodes").isEmpty());

  QFile file(keyTool.path);  // a tool that prints only the private key
  file.open(QIODevice::WriteOnly);
  file.write("#!/bin/sh\necho '{\"private_key\":\"PRIV\"}'\n");
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  file.close();
  screen.Button("开始加速")->click();
  EXPECT_EQ(screen.status->text(), "隧道密钥生成失败");
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled());
}

TEST(MainWindow, RepliesForAnEarlierSelectionChangeNothing) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  backend.slowSecondGame = 300;
  backend.nodes.delayMs = 300;
  SignIn(window, screen);

  screen.games->setCurrentRow(1);  // its regions come late, after the first game is back
  screen.games->setCurrentRow(0);
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前游戏暂无可用区服"; }));
  EXPECT_EQ(screen.route->text(), "加速线路：华东 · 香港智能节点");
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "the first game's region is still the one in use";

  screen.Button("开始加速")->click();  // its nodes come late, after the user picked another game
  screen.games->setCurrentRow(1);
  ASSERT_TRUE(WaitFor([&] { return backend.Received("GET", "/api/v1/games/g1/regions/r1/nodes").size() == 1; }));
  QElapsedTimer settle;
  settle.start();
  WaitFor([&] { return settle.elapsed() > 700; }, 1000);
  EXPECT_TRUE(backend.Received("POST", "/api/v1/acceleration").isEmpty()) << "no session for a stale node list";
}

TEST(MainWindow, ProbeValueAndRouteModeFollowTheRules) {
  struct Row {
    QByteArray score;  // JSON text of the member, empty: absent
    int rtt;
  };
  const Row scores[] = {{"20", 20}, {"", 100}, {"0", 1}, {"-5", 1}, {"12.5", 100}, {"\"7\"", 100}};
  for (const Row& row : scores) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    backend.nodes.body = R"({"items":[{"id":"n1","name":"A","location":"hk")" +
                         (row.score.isEmpty() ? QByteArray() : ",\"score\":" + row.score) + "}]}";
    backend.session = HttpAnswer{409, R"({"message":"名额已满"})"};
    SignIn(window, screen);
    screen.Button("开始加速")->click();
    ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "名额已满"; }));
    EXPECT_EQ(screen.route->text(), "当前节点：A · HK");
    const QJsonObject body = QJsonDocument::fromJson(backend.Received("POST", "/api/v1/acceleration").first().body).object();
    EXPECT_EQ(body.value("probes")[0].toObject().value("rtt_ms").toInt(), row.rtt) << row.score.constData();
    EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << "a refused session can be tried again";
  }

  // The marker file keeps the whole tunnel; the service refusing the start rolls the session back.
  QFile marker(QCoreApplication::applicationDirPath() + "/force-full-tunnel");
  ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
  marker.close();
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  backend.session.body = R"({"session_id":"s2","game_processes":["game.exe"],"rules_environment":"global-fallback"})";
  service.Script(2, 4, R"({"error":"tunnel_already_running"})");
  SignIn(window, screen);
  screen.Button("开始加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; })) << screen.status->text().toStdString();
  QFile::remove(marker.fileName());
  const QList<zv::test::StandInService::Request> requests = service.Requests();
  ASSERT_GE(requests.size(), 2);
  EXPECT_EQ(requests[requests.size() - 2].body,
            R"({"game_processes":["game.exe"],"private_key":"PRIV","rules_environment":"global-fallback","session_id":"s2"})");
  EXPECT_EQ(requests.last().operation(), 3) << "the rollback's SessionStopped stops the tunnel";
  EXPECT_EQ(backend.Received("DELETE", "/api/v1/acceleration/sessions/s2").size(), 1);
}

TEST(MainWindow, AFailedRollbackKeepsTheSessionStoppable) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  backend.deletion = HttpAnswer{502, ""};
  service.Script(2, 4, R"({"error":"create_adapter_failed_5"})");
  SignIn(window, screen);
  screen.Button("开始加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "停止加速会话失败"; })) << screen.status->text().toStdString();
  EXPECT_TRUE(screen.Button("停止加速")->isEnabled()) << "the session is still held";
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled());
  backend.deletion = HttpAnswer{204, ""};
  screen.Button("停止加速")->click();
  ASSERT_TRUE(WaitFor([&] { return screen.status->text() == "当前未加速"; }));
  EXPECT_EQ(backend.Received("DELETE", "/api/v1/acceleration/sessions/s1").size(), 2);
  EXPECT_TRUE(screen.Button("开始加速")->isEnabled());
}

class SteamHandler : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

TEST(MainWindow, LaunchGoesThroughSteamForKnownSlugsOnly) {
  SteamHandler steam;
  QDesktopServices::setUrlHandler("steam", &steam, "Open");
  const std::pair<const char*, const char*> rows[] = {
      {"pubg", "steam://rungameid/578080"},
      {"war-thunder-international", "steam://rungameid/236390"},
      {"war-thunder", nullptr},
      {"CS2", nullptr},
  };
  for (const auto& [slug, url] : rows) {
    Desk desk;
    auto& [backend, service, keyTool, window, screen] = desk;
    backend.games.body = QByteArray(R"({"items":[{"id":"g1","name":"G","slug":")") + slug + R"("}]})";
    service.Script(2, 0, R"({"state":"accelerating"})");
    SignIn(window, screen);
    ASSERT_TRUE(Accelerate(screen)) << slug;
    steam.opened.clear();
    QString boxText;
    if (url == nullptr) OnNextBox([&](QMessageBox& box) { boxText = box.windowTitle() + "|" + box.text(); box.accept(); });
    screen.Button("启动游戏")->click();
    if (url != nullptr) {
      EXPECT_EQ(steam.opened, QList<QUrl>{QUrl(url)}) << slug;
    } else {
      EXPECT_TRUE(steam.opened.isEmpty()) << slug;
      EXPECT_EQ(boxText, "启动游戏|该游戏暂未配置自动启动，请保持Zentravolk处于“正在加速”，再从游戏官方启动器打开。") << slug;
    }
  }
  QDesktopServices::unsetUrlHandler("steam");
}

TEST(MainWindow, UpdatePromptsFollowTheOffer) {
  for (const bool mandatory : {false, true}) {
    Backend backend;
    backend.release.body = QByteArray(R"({"version":"9.9.9","download_url":"http://127.0.0.1/x.exe","sha256":"ab",)") +
                           R"("size_bytes":5,"release_notes":"修复","mandatory":)" + (mandatory ? "true" : "false") + "}";
    QStringList seen;
    OnNextBox([&](QMessageBox& box) {
      seen << box.windowTitle() + "|" + box.text() + "|" + box.informativeText() + "|" +
                  QString::number(box.buttons().size());
      if (!mandatory) {
        ButtonOf(box, "稍后提醒")->click();
        return;
      }
      // Esc still downloads; the plain-HTTP address then fails with a warning box.
      OnNextBox([&](QMessageBox& warning) { seen << warning.windowTitle() + "|" + warning.text(); warning.accept(); });
      box.reject();
    });
    MainWindow window;
    Screen screen(window);
    ASSERT_TRUE(WaitFor([&] { return seen.size() == (mandatory ? 2 : 1); })) << mandatory;
    QApplication::processEvents();
    EXPECT_EQ(seen.first(), QString("发现新版本|Zentravolk 9.9.9 已发布|修复|%1").arg(mandatory ? 1 : 2));
    if (mandatory) {
      EXPECT_EQ(seen.last(), "更新失败|更新信息不完整");
      EXPECT_EQ(screen.status->text(), "更新信息不完整");
    } else {
      EXPECT_EQ(screen.status->text(), "尚未连接本地加速服务") << "postponed: nothing happens";
    }
  }

  Backend backend;
  MainWindow window;
  Screen screen(window);
  ApiClient* api = window.findChild<ApiClient*>();
  emit api->UpdateDownloadProgress(1, 3);
  EXPECT_EQ(screen.status->text(), "正在下载更新：33%");
  emit api->UpdateDownloadProgress(7, -1);
  EXPECT_EQ(screen.status->text(), "正在下载更新：33%") << "unknown totals leave the text";
  emit api->UpdateDownloadProgress(512, 1024);
  EXPECT_EQ(screen.status->text(), "正在下载更新：50%");
  emit api->UpdateDownloadProgress(1023, 1024);
  EXPECT_EQ(screen.status->text(), "正在下载更新：99%") << "truncated, not rounded";
  emit api->UpdateDownloadProgress(5'000'000'000, 10'000'000'000);
  EXPECT_EQ(screen.status->text(), "正在下载更新：50%") << "64-bit arithmetic";

  QTemporaryDir saved;
  const QString installer = saved.filePath("setup.exe");
  QFile(installer).open(QIODevice::WriteOnly);
  OnNextBox([](QMessageBox& box) {
    EXPECT_EQ(box.windowTitle() + "|" + box.text(), "安装更新|新版已下载并通过安全校验。现在退出Zentravolk并开始升级吗？");
    EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::Yes));
    box.button(QMessageBox::No)->click();
  });
  emit api->UpdateDownloaded(installer);
  EXPECT_EQ(screen.status->text(), "更新已下载，可稍后重新检查更新");
  EXPECT_TRUE(QFile::exists(installer)) << "declining keeps the installer";
  QString warning;
  OnNextBox([&](QMessageBox& box) {
    OnNextBox([&](QMessageBox& failure) { warning = failure.windowTitle() + "|" + failure.text(); failure.accept(); });
    box.button(QMessageBox::Yes)->click();
  });
  emit api->UpdateDownloaded("/nonexistent/setup.exe");
  EXPECT_EQ(warning, "更新失败|无法启动更新安装程序");
}

}  // namespace


#include "main_window_test.moc"
