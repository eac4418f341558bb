// The main window driven through its widgets, against the loopback backend,
// a stand-in service and a stand-in key tool in the program's folder.
#include "main_window.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>

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
                                "加速线路：请选择游戏", "routeQuality", "尚未连接本地加速服务", "检查服务", "开始加速", "启动游戏",
                                "停止加速"}));
  EXPECT_FALSE(screen.Button("开始加速")->isEnabled() || screen.Button("停止加速")->isEnabled() ||
               screen.Button("启动游戏")->isEnabled());
  EXPECT_TRUE(screen.Button("检查服务")->isEnabled() && screen.Button("登录")->isEnabled());
  EXPECT_TRUE(window.findChild<QLabel*>("membershipStatus")->isHidden());
  EXPECT_EQ(window.windowTitle(), "游戏加速器");
  ASSERT_TRUE(WaitFor([&] { return !backend.server.received.isEmpty(); }));
  QApplication::processEvents();
  ASSERT_EQ(backend.server.received.size(), 1);
  EXPECT_TRUE(backend.server.received.first().target.startsWith("/api/v1/client/releases/latest?"));
}

// The test screen is a 1366 x 768 laptop's work area: every control can be
// scrolled to and is seen whole, and signing in and out never makes the window grow.
TEST(MainWindow, FitsALaptopScreenAndNeverGrowsByItself) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  window.show();
  const QRect available = window.screen()->availableGeometry();
  EXPECT_TRUE(available.contains(window.frameGeometry())) << window.frameGeometry().height();
  EXPECT_LE(window.minimumSizeHint().height(), available.height() / 2);
  const QSize size = window.size();
  for (int cycle = 0; cycle < 2; ++cycle) {
    SignIn(window, screen);
    ASSERT_TRUE(WaitFor([&] { return !screen.Button("退出登录")->isHidden(); }));
    screen.Button("退出登录")->click();
    QApplication::processEvents();
    EXPECT_EQ(window.size(), size) << "cycle " << cycle;
  }
  // A long node name with its IP must wrap, not widen the column past its view.
  window.findChild<QLabel*>("routeCard")->setText("当前节点：Frankfurt am Main Premium Gaming Node 07 · 加速 IP：203.0.113.100");
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

TEST(MainWindow, DisabledLooksDisabledAndTheMemberCardIsClean) {
  Backend backend;
  MainWindow window;
  Screen screen(window);
  window.show();
  const auto fill = [](QWidget* widget) { return widget->grab().toImage().pixelColor(8, widget->height() / 2); };
  const QColor disabled = fill(screen.Button("开始加速"));
  for (QPushButton* button : {screen.Button("启动游戏"), screen.Button("停止加速")}) {
    EXPECT_EQ(fill(button), disabled) << button->text().toStdString() << " disabled";
    button->setEnabled(true);
    EXPECT_NE(fill(button), disabled) << button->text().toStdString() << " enabled";
  }
  auto* card = window.findChild<QFrame*>("memberCard");
  const QImage cardImage = card->grab().toImage();
  QLabel* label = qobject_cast<QLabel*>(card->layout()->itemAt(1)->widget());
  const QPoint besideText = label->geometry().topRight() + QPoint(-2, 2);  // no glyph reaches the label's end
  EXPECT_EQ(cardImage.pixelColor(besideText), QColor("#121b18")) << "a label paints over the card";
}

// What the window shows in each state, and that the user always has a way
// forward that the status line does not contradict.
TEST(MainWindow, EveryStateShowsItsTextAndAWayForward) {
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  struct Step {
    const char* what;
    std::function<void()> act;
    QString status;
    bool start, stop, launch;
  };
  const auto check = [&](quint16 operation, std::uint32_t status, const QByteArray& body) {
    service.Script(operation, status, body);
    screen.Button("检查服务")->click();
  };
  const QString refused = "服务拒绝了请求";
  const Step steps[] = {
      {"signed out, idle", [&] { check(1, 0, R"({"state":"idle"})"); }, "当前未加速", false, false, false},
      {"both words", [&] { check(1, 0, R"({"state":"idle","was":"accelerating"})"); }, "正在加速", false, true, false},
      {"another text", [&] { check(1, 0, R"({"note":"other"})"); }, R"({"note":"other"})", false, true, false},
      {"a refusal", [&] { check(1, 4, R"({"error":"x"})"); }, refused, false, true, false},
      {"idle again", [&] { check(1, 0, R"({"state":"idle"})"); }, "当前未加速", false, false, false},
      {"signed in", [&] { SignIn(window, screen); }, "香港节点在线，可开始加速", true, false, false},
      {"no key tool",
       [&] {
         QFile::rename(keyTool.path, keyTool.path + ".away");
         screen.Button("开始加速")->click();
         QFile::rename(keyTool.path + ".away", keyTool.path);
       },
       "无法生成隧道密钥，请重新安装客户端", true, false, false},
      {"accelerating",
       [&] {
         service.Script(2, 0, R"({"state":"accelerating"})");
         screen.Button("开始加速")->click();
       },
       "正在加速 · 智能分流 Beta（仅游戏流量）", false, true, true},
      {"another game meanwhile", [&] { screen.games->setCurrentRow(1); }, "已在加速中，停止加速后可开始新的加速", false,
       true, false},
      {"checked meanwhile", [&] { check(1, 0, R"({"state":"accelerating"})"); }, "正在加速", false, true, false},
      {"the deletion fails",
       [&] {
         backend.deletion = HttpAnswer{500, R"({"message":"稍后再试"})"};
         screen.Button("停止加速")->click();
       },
       "稍后再试", false, true, false},
      {"stopped",
       [&] {
         backend.deletion = HttpAnswer{204, ""};
         screen.Button("停止加速")->click();
       },
       "当前未加速", true, false, false},
      {"a refused start, rolling back",
       [&] {
         service.Script(2, 4, R"({"error":"tunnel_already_running"})");
         backend.deletion.delayMs = 500;
         screen.Button("开始加速")->click();
       },
       "本地隧道启动失败，正在撤销会话… · " + refused, false, false, false},
      {"rolled back", [] {}, "当前未加速 · 上次启动失败：" + refused, true, false, false},
      {"a refused start whose rollback fails",
       [&] {
         backend.deletion = HttpAnswer{502, ""};
         screen.Button("开始加速")->click();
       },
       "停止加速会话失败", false, true, false},
      {"checked: the held session stays stoppable", [&] { check(1, 0, R"({"state":"idle"})"); }, "当前未加速", false,
       true, false},
      {"stopped at last",
       [&] {
         backend.deletion = HttpAnswer{204, ""};
         screen.Button("停止加速")->click();
       },
       "当前未加速 · 上次启动失败：" + refused, true, false, false},
  };
  for (const Step& step : steps) {
    step.act();
    EXPECT_TRUE(WaitFor([&] { return screen.status->text() == step.status; }))
        << step.what << ": " << screen.status->text().toStdString();
    EXPECT_EQ(screen.Button("开始加速")->isEnabled(), step.start) << step.what;
    EXPECT_EQ(screen.Button("停止加速")->isEnabled(), step.stop) << step.what;
    EXPECT_EQ(screen.Button("启动游戏")->isEnabled(), step.launch) << step.what;
    if (screen.status->text().contains("可开始加速")) {
      EXPECT_TRUE(screen.Button("开始加速")->isEnabled()) << step.what << ": the text offers a start";
    }
    if (QString(step.what) == "accelerating") {
      const QJsonObject created =
          QJsonDocument::fromJson(backend.Received("POST", "/api/v1/acceleration").first().body).object();
      EXPECT_EQ(created.value("preferred_node_id"), "n1") << "the backend's first node, whatever the scores";
      EXPECT_EQ(created.value("client_public_key"), "PUB");
      EXPECT_EQ(service.Requests().last().body,
                R"({"assigned_ip":"10.240.0.2/32","egress_ip":"203.0.113.7","game_processes":["game.exe"],)"
                R"("private_key":"PRIV","route_mode":"process-beta","rules_environment":"x","session_id":"s1"})");
      EXPECT_EQ(screen.route->text(), "当前节点：Hong Kong Test Node · 加速 IP：203.0.113.7");
    }
  }
  EXPECT_EQ(service.Requests().last().operation(), 3) << "each ended session stops the tunnel";
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
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  backend.session = HttpAnswer{409, R"({"message":"名额已满"})"};
  SignIn(window, screen);
  const std::pair<QByteArray, int> scores[] = {{"20", 20}, {"", 100}, {"0", 1}, {"-5", 1}, {"12.5", 100}, {"\"7\"", 100}};
  for (const auto& [score, rtt] : scores) {
    backend.nodes.body = R"({"items":[{"id":"n1","name":"A","location":"hk")" +
                         (score.isEmpty() ? QByteArray() : ",\"score\":" + score) + "}]}";
    const int before = backend.Received("POST", "/api/v1/acceleration").size();
    screen.Button("开始加速")->click();
    ASSERT_TRUE(WaitFor([&] { return backend.Received("POST", "/api/v1/acceleration").size() > before; }));
    ASSERT_TRUE(WaitFor([&] { return screen.Button("开始加速")->isEnabled(); })) << "a refused session can be retried";
    EXPECT_EQ(screen.status->text(), "名额已满");
    EXPECT_EQ(screen.route->text(), "当前节点：A · HK");
    const QJsonObject body = QJsonDocument::fromJson(backend.Received("POST", "/api/v1/acceleration").last().body).object();
    EXPECT_EQ(body.value("probes")[0].toObject().value("rtt_ms").toInt(), rtt) << score.constData();
  }

  // The marker file keeps the whole tunnel: no route mode, whatever the session lists.
  QFile marker(QCoreApplication::applicationDirPath() + "/force-full-tunnel");
  ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
  marker.close();
  backend.session = HttpAnswer{201, R"({"session_id":"s2","game_processes":["game.exe"],"rules_environment":"global-fallback"})"};
  service.Script(2, 0, R"({"state":"accelerating"})");
  ASSERT_TRUE(Accelerate(screen));
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

TEST(MainWindow, LaunchGoesThroughSteamForKnownSlugsOnly) {
  SteamHandler steam;
  QDesktopServices::setUrlHandler("steam", &steam, "Open");
  const std::pair<const char*, const char*> rows[] = {
      {"pubg", "steam://rungameid/578080"},
      {"war-thunder-international", "steam://rungameid/236390"},
      {"war-thunder", nullptr},
      {"CS2", nullptr},
  };
  Desk desk;
  auto& [backend, service, keyTool, window, screen] = desk;
  QJsonArray games;
  for (const auto& [slug, url] : rows) games.append(QJsonObject{{"id", slug}, {"name", slug}, {"slug", slug}});
  backend.games.body = QJsonDocument(QJsonObject{{"items", games}}).toJson();
  service.Script(2, 0, R"({"state":"accelerating"})");
  SignIn(window, screen);
  ASSERT_TRUE(Accelerate(screen));
  for (int row = 0; row < 4; ++row) {
    const auto& [slug, url] = rows[row];
    screen.games->setCurrentRow(row);
    screen.Button("启动游戏")->setEnabled(true);  // the selection change turned it off; the slug is what counts here
    steam.opened.clear();
    QString boxText;
    if (url == nullptr) OnNextBox([&](QMessageBox& box) { boxText = box.windowTitle() + "|" + box.text(); box.accept(); });
    screen.Button("启动游戏")->click();
    EXPECT_EQ(steam.opened, url ? QList<QUrl>{QUrl(url)} : QList<QUrl>{}) << slug;
    if (url == nullptr) {
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
    EXPECT_EQ(seen.first(), QString("发现新版本|Zentravolk 9.9.9 已发布|修复|%1").arg(mandatory ? 1 : 2));
    EXPECT_EQ(seen.last(), mandatory ? "更新失败|更新信息不完整" : seen.first());
    EXPECT_EQ(screen.status->text(), mandatory ? "更新信息不完整" : "尚未连接本地加速服务");
  }

  Backend backend;
  MainWindow window;
  Screen screen(window);
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
