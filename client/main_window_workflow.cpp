// The acceleration workflow: from a game in the catalog to a running tunnel and
// back, the control channel, the key pair and launching the game.
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <limits>

#include "api_client.h"
#include "control_client.h"
#include "key_tool.h"
#include "main_window.h"

namespace {

// The node's "score" as the probe's round-trip time: a whole 32-bit number, else 100; at least 1.
int ProbeValue(const QJsonValue& score) {
  int value = 100;
  if (score.isDouble()) {
    const double number = score.toDouble();
    if (number == static_cast<double>(static_cast<qint64>(number)) && number >= std::numeric_limits<int>::min() &&
        number <= std::numeric_limits<int>::max()) {
      value = static_cast<int>(number);
    }
  }
  return std::max(value, 1);
}

}  // namespace

void MainWindow::OfferStart(bool condition) { startButton->setEnabled(condition && sessionId.isEmpty()); }

bool MainWindow::RefreshServiceState(quint16 operation, const QByteArray& body) {
  const ControlReply reply = SendControlRequest(operation, body);
  if (!reply.ok) {
    serviceStatusLabel->setText(reply.errorText);
    return false;
  }
  if (reply.replyText.contains(QStringLiteral("\"accelerating\""))) {
    serviceStatusLabel->setText(tr("正在加速"));
    startButton->setEnabled(false);
    stopButton->setEnabled(true);
  } else if (reply.replyText.contains(QStringLiteral("\"idle\""))) {
    serviceStatusLabel->setText(tr("当前未加速"));
    OfferStart(api->IsAuthenticated() && gameList->currentItem() != nullptr);
    // A session the backend still holds must stay stoppable, or nothing could end it.
    stopButton->setEnabled(!sessionId.isEmpty());
  } else {
    serviceStatusLabel->setText(reply.replyText);
  }
  return true;
}

bool MainWindow::GenerateKeyPair() {
  const KeyToolRun run = RunKeyTool(KeyToolPath());
  if (!run.ran) {
    serviceStatusLabel->setText(tr("无法生成隧道密钥，请重新安装客户端"));
    return false;
  }
  privateKey = run.privateKey;
  publicKey = run.publicKey;
  if (privateKey.isEmpty() || publicKey.isEmpty()) {
    serviceStatusLabel->setText(tr("隧道密钥生成失败"));
    return false;
  }
  return true;
}

void MainWindow::FillGames(const QJsonArray& games) {
  gameList->clear();
  for (const QJsonValue& value : games) {
    const QJsonObject game = value.toObject();
    auto* item = new QListWidgetItem(game.value("name").toString(), gameList);
    item->setData(kGameIdRole, game.value("id").toString());
    item->setData(kGameSlugRole, game.value("slug").toString());
  }
  if (gameList->count() > 0) gameList->setCurrentRow(0);
  MarkAcceleratedGame(acceleratedFor.isValid());
}

void MainWindow::SelectGame(QListWidgetItem* current) {
  gameId.clear();
  regionId.clear();
  gameSlug.clear();
  startButton->setEnabled(false);
  launchButton->setEnabled(false);
  routeCardLabel->setText(tr("加速线路：正在匹配…"));
  if (current == nullptr || !api->IsAuthenticated()) return;
  gameId = current->data(kGameIdRole).toString();
  gameSlug = current->data(kGameSlugRole).toString();
  serviceStatusLabel->setText(tr("正在读取可用区服…"));
  api->LoadRegions(gameId);
}

void MainWindow::TakeRegion(const QString& replyGameId, const QJsonArray& regions) {
  if (replyGameId != gameId || regions.isEmpty()) {
    serviceStatusLabel->setText(tr("当前游戏暂无可用区服"));
    return;
  }
  const QJsonObject region = regions.first().toObject();
  regionId = region.value("id").toString();
  routeCardLabel->setText(tr("加速线路：%1 · 香港智能节点").arg(region.value("name").toString()));
  // While a session is held no second one may start, so the line must not offer one.
  serviceStatusLabel->setText(sessionId.isEmpty() ? tr("香港节点在线，可开始加速")
                                                  : tr("已在加速中，停止加速后可开始新的加速"));
  OfferStart(true);
}

void MainWindow::BeginAcceleration() {
  if (!GenerateKeyPair()) return;
  startButton->setEnabled(false);
  serviceStatusLabel->setText(tr("正在选择最优线路…"));
  api->LoadNodes(gameId, regionId);
}

void MainWindow::ChooseNode(const QString& replyGameId, const QString& replyRegionId, const QJsonArray& nodes) {
  if (replyGameId != gameId || replyRegionId != regionId) return;
  if (nodes.isEmpty()) {
    serviceStatusLabel->setText(tr("当前没有在线加速节点"));
    routeCardLabel->setText(tr("加速线路：暂无可用节点"));
    OfferStart(true);
    return;
  }
  const QJsonObject node = nodes.first().toObject();  // the backend's order decides
  routeCardLabel->setText(
      tr("当前节点：%1 · %2").arg(node.value("name").toString(), node.value("location").toString().toUpper()));
  serviceStatusLabel->setText(tr("正在申请加速会话…"));
  api->CreateSession(gameId, regionId, node.value("id").toString(), publicKey, ProbeValue(node.value("score")));
}

void MainWindow::StartTunnel(const QJsonObject& session) {
  sessionId = session.value("session_id").toString();
  QJsonObject request = session;
  request.insert("private_key", privateKey);
  const bool fullTunnelForced = QFile::exists(QCoreApplication::applicationDirPath() + "/force-full-tunnel");
  if (!fullTunnelForced) {
    const QJsonValue processes = session.value("game_processes");
    if (processes.isArray() && !processes.toArray().isEmpty()) request.insert("route_mode", "process-beta");
  }
  if (!RefreshServiceState(kStartTunnel, QJsonDocument(request).toJson(QJsonDocument::Compact))) {
    // The rollback's texts follow at once; why the start failed stays readable beside them.
    startFailure = serviceStatusLabel->text();
    serviceStatusLabel->setText(tr("本地隧道启动失败，正在撤销会话…") + " · " + startFailure);
    api->StopSession(sessionId);
    return;
  }
  const QString egress = session.value("egress_ip").toString();
  routeCardLabel->setText(
      tr("当前节点：Hong Kong Test Node · 加速 IP：%1").arg(egress.isEmpty() ? tr("分配中") : egress));
  if (request.value("route_mode").toString() == "process-beta") {
    serviceStatusLabel->setText(tr("正在加速 · 智能分流 Beta（仅游戏流量）"));
  } else if (session.value("rules_environment").toString() == "global-fallback") {
    serviceStatusLabel->setText(tr("正在加速 · 全局模式（全部 IPv4 流量经香港）"));
  } else {
    serviceStatusLabel->setText(tr("正在加速 · 游戏分流模式"));
  }
  launchButton->setEnabled(true);
  BeginLiveView();
}

void MainWindow::StopAcceleration() {
  stopButton->setEnabled(false);
  if (sessionId.isEmpty()) {
    RefreshServiceState(kStopTunnel, {});
    return;
  }
  serviceStatusLabel->setText(tr("正在停止加速…"));
  api->StopSession(sessionId);
}

void MainWindow::AccelerationFailed(const QString& message) {
  serviceStatusLabel->setText(message);
  privateKey.clear();
  publicKey.clear();
  OfferStart(!regionId.isEmpty());
  stopButton->setEnabled(false);
  launchButton->setEnabled(false);
}

void MainWindow::SessionStopped() {
  RefreshServiceState(kStopTunnel, {});
  EndLiveView();
  sessionId.clear();
  privateKey.clear();
  publicKey.clear();
  serviceStatusLabel->setText(startFailure.isEmpty() ? tr("当前未加速")
                                                     : tr("当前未加速") + " · " + tr("上次启动失败：%1").arg(startFailure));
  startFailure.clear();
  OfferStart(api->IsAuthenticated() && !regionId.isEmpty());
  stopButton->setEnabled(false);
  if (quitRequested) QApplication::quit();
}

void MainWindow::RequestFailed(const QString& message) {
  if (api->IsAuthenticated()) {
    serviceStatusLabel->setText(message);
    OfferStart(!regionId.isEmpty());
  } else {
    accountLabel->setText(message);
  }
  loginButton->setEnabled(true);
  // A session still held (its deletion failed) must stay stoppable.
  if (!sessionId.isEmpty()) stopButton->setEnabled(true);
  if (quitRequested && !sessionId.isEmpty()) ExitStalled();
}

void MainWindow::LaunchSelectedGame() {
  static const QMap<QString, QString> kSteamAppIds = {
      {"cs2", "730"},
      {"pubg", "578080"},
      {"apex-legends", "1172470"},
      {"delta-force", "2507950"},
      {"repo", "3241660"},
      {"vrchat", "438100"},
      {"war-thunder-international", "236390"},
      {"yugioh-master-duel", "1449850"},
      {"goose-goose-duck", "1568590"},
      {"naraka-bladepoint", "1203220"},
      {"a-way-out", "1222700"},
      {"call-of-duty", "1938090"},
  };
  const auto found = kSteamAppIds.constFind(gameSlug);
  if (found == kSteamAppIds.constEnd()) {
    QMessageBox::information(this, tr("启动游戏"),
                             tr("该游戏暂未配置自动启动，请保持Zentravolk处于“正在加速”，再从游戏官方启动器打开。"));
    return;
  }
  QDesktopServices::openUrl(QUrl(QString("steam://rungameid/%1").arg(*found)));
}
