// The acceleration workflow: from a game in the catalog to a running tunnel and
// back, the control channel, the key pair and launching the game.
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "api_client.h"
#include "control_client.h"
#include "key_tool.h"
#include "main_window.h"

namespace {

constexpr int kStatusNameLength = 32;

}  // namespace

void MainWindow::ShowControls() {
  const QListWidgetItem* selected = gameList->currentItem();
  const zv::Controls controls = zv::ControlsFor({
      .phase = phase,
      .signedIn = api->IsAuthenticated(),
      .regionHeld = !regionId.isEmpty(),
      .sessionHeld = !sessionId.isEmpty(),
      .serviceAccelerating = serviceAccelerating,
      .tunnelLost = pathVerdict.tunnelLost,
      .acceleratedSelected = selected != nullptr && !acceleratedGameId.isEmpty() &&
                             selected->data(kGameIdRole).toString() == acceleratedGameId,
  });
  startButton->setEnabled(controls.start);
  stopButton->setEnabled(controls.stop);
  launchButton->setEnabled(controls.launch);
}

bool MainWindow::RefreshServiceState(quint16 operation, const QByteArray& body) {
  const ControlReply reply = SendControlRequest(operation, body);
  if (!reply.ok) {
    // A caller the service does not serve is told so, not left guessing.
    serviceStatusLabel->setText(reply.replyText.contains(QStringLiteral("\"access_denied\""))
                                    ? reply.errorText + tr("：本地加速服务不接受当前用户，请在本机登录的桌面会话中使用")
                                    : reply.errorText);
    return false;
  }
  if (reply.replyText.contains(QStringLiteral("\"accelerating\""))) {
    // Accelerating is no news while the path is broken: the break stays said.
    serviceStatusLabel->setText(pathVerdict.status.isEmpty() ? tr("正在加速") : pathVerdict.status);
    serviceAccelerating = true;
  } else if (reply.replyText.contains(QStringLiteral("\"idle\""))) {
    serviceStatusLabel->setText(tr("当前未加速"));
    serviceAccelerating = false;
  } else {
    serviceStatusLabel->setText(reply.replyText);
  }
  ShowControls();
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
  FilterGames(searchEdit->text());
  if (gameList->count() > 0) gameList->setCurrentRow(0);
  MarkAcceleratedGame(acceleratedFor.isValid());
}

void MainWindow::FilterGames(const QString& text) {
  for (int row = 0; row < gameList->count(); ++row) {
    gameList->setRowHidden(row, !gameList->item(row)->text().contains(text.trimmed(), Qt::CaseInsensitive));
  }
}

void MainWindow::SelectGame(QListWidgetItem* current) {
  if (phase == zv::Phase::Preparing) phase = zv::Phase::Idle;  // another game: that start is given up
  gameId.clear();
  regionId.clear();
  gameSlug.clear();
  routeCardLabel->setText(tr("加速线路：正在匹配…"));
  ShowControls();
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
  ShowControls();
}

void MainWindow::BeginAcceleration() {
  if (!GenerateKeyPair()) return;
  phase = zv::Phase::Preparing;
  ShowControls();
  serviceStatusLabel->setText(tr("正在选择最优线路…"));
  api->LoadNodes(gameId, regionId);
}

void MainWindow::ChooseNode(const QString& replyGameId, const QString& replyRegionId, const QJsonArray& nodes) {
  if (phase != zv::Phase::Preparing || replyGameId != gameId || replyRegionId != regionId) return;
  if (nodes.isEmpty()) {
    serviceStatusLabel->setText(tr("当前没有在线加速节点"));
    routeCardLabel->setText(tr("加速线路：暂无可用节点"));
    phase = zv::Phase::Idle;
    ShowControls();
    return;
  }
  // The backend's order decides; the later nodes stand by in case the first never answers.
  offeredNodes = nodes;
  acceleratedGameId = gameId;
  acceleratedRegionId = regionId;
  acceleratedGameName = gameList->currentItem() != nullptr ? gameList->currentItem()->text() : QString();
  serviceStatusLabel->setText(tr("正在申请加速会话…"));
  phase = zv::Phase::Requesting;
  RequestSession(nodes.first().toObject());
}

void MainWindow::RequestSession(const QJsonObject& node) {
  routeCardLabel->setText(
      tr("当前节点：%1 · %2").arg(node.value("name").toString(), node.value("location").toString().toUpper()));
  api->CreateSession(acceleratedGameId, acceleratedRegionId, node.value("id").toString(), publicKey,
                     zv::ProbeValue(node.value("score")));
}

void MainWindow::StartTunnel(const QJsonObject& session) {
  if (!zv::SessionAsked(phase)) {
    // Asked for before a sign-out or an exit: ended, never used for a tunnel.
    if (phase == zv::Phase::Stopping && quitRequested) {
      sessionId = session.value("session_id").toString();
      api->StopSession(sessionId);
    } else {
      RetireLater(session.value("session_id").toString());
    }
    return;
  }
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
    phase = zv::Phase::RollingBack;
    ShowControls();
    api->StopSession(sessionId);
    return;
  }
  heldRequest = request;
  const QString egress = session.value("egress_ip").toString();
  routeCardLabel->setText(
      tr("当前节点：Hong Kong Test Node · 加速 IP：%1").arg(egress.isEmpty() ? tr("分配中") : egress));
  if (request.value("route_mode").toString() == "process-beta") {
    accelerationText = tr("正在加速 · 智能分流 Beta（仅游戏流量）");
  } else if (session.value("rules_environment").toString() == "global-fallback") {
    accelerationText = tr("正在加速 · 全局模式（全部 IPv4 流量经香港）");
  } else {
    accelerationText = tr("正在加速 · 游戏分流模式");
  }
  // The game is named, so that it is found however long the list.
  if (!acceleratedGameName.isEmpty()) accelerationText += " · " + zv::Elided(acceleratedGameName, kStatusNameLength);
  serviceStatusLabel->setText(accelerationText);
  const bool sameAcceleration = phase == zv::Phase::Switching;
  phase = zv::Phase::Running;
  if (!sameAcceleration) BeginLiveView();
  ShowControls();
}

void MainWindow::StopAcceleration() {
  if (sessionId.isEmpty()) return EndLocally(tr("当前未加速"));  // nothing held at the backend
  serviceStatusLabel->setText(tr("正在停止加速…"));
  phase = zv::Phase::Stopping;
  ShowControls();
  api->StopSession(sessionId);
}

void MainWindow::AccelerationFailed(const QString& message) {
  if (quitRequested) return ExitWithStop();  // the session asked for on the way out never came
  // A start given up meanwhile: said, and the acceleration since begun goes on.
  if (phase != zv::Phase::Preparing && !zv::SessionAsked(phase)) {
    return RequestFailed(message);
  }
  // A node switch that fails ends the acceleration: the dead node's tunnel is already down.
  if (phase == zv::Phase::Switching) EndLiveView();
  serviceStatusLabel->setText(phase == zv::Phase::Switching ? tr("切换节点失败：%1").arg(message) : message);
  privateKey.clear();
  publicKey.clear();
  phase = zv::Phase::Idle;
  ShowControls();
}

void MainWindow::SessionStopped() {
  EndLocally(startFailure.isEmpty() ? tr("当前未加速")
                                    : tr("当前未加速") + " · " + tr("上次启动失败：%1").arg(startFailure));
  startFailure.clear();
  if (quitRequested) QApplication::quit();
}

void MainWindow::EndLocally(const QString& status) {
  sessionId.clear();
  privateKey.clear();
  publicKey.clear();
  heldRequest = {};
  // Not done only while the service may hold a tunnel: it said so last, and now refuses or is away.
  if (!RefreshServiceState(kStopTunnel, {}) && serviceAccelerating) {
    serviceStatusLabel->setText(tr("未能停止加速：%1").arg(serviceStatusLabel->text()));
    phase = acceleratedFor.isValid() ? zv::Phase::Running : zv::Phase::Idle;
    return ShowControls();
  }
  EndLiveView();
  serviceStatusLabel->setText(status);
  phase = zv::Phase::Idle;
  ShowControls();
}

void MainWindow::RequestFailed(const QString& message) {
  if (api->IsAuthenticated()) {
    serviceStatusLabel->setText(message);
  } else {
    accountLabel->setText(message);
    if (!passwordEdit->isHidden()) passwordEdit->setFocus();  // a wrong password is typed again there
  }
  loginButton->setEnabled(true);
  ShowControls();
}

void MainWindow::SessionStopFailed(const QString& message) {
  if (phase == zv::Phase::RollingBack) phase = zv::Phase::Idle;  // the session stays held, and stoppable
  RequestFailed(message);
  if (phase != zv::Phase::Stopping) return;
  if (quitRequested) return ExitStalled();
  // Signed out meanwhile: nobody is left to ask, and the tunnel must not outlive the sign-out.
  if (!api->IsAuthenticated()) {
    RetireLater(sessionId);
    return EndLocally(tr("当前未加速"));
  }
  StopStalled(message);
}

void MainWindow::LaunchSelectedGame() {
  const QString address = zv::SteamRunAddress(gameSlug);
  if (address.isEmpty()) {
    QMessageBox::information(this, tr("启动游戏"),
                             tr("该游戏暂未配置自动启动，请保持Zentravolk处于“正在加速”，再从游戏官方启动器打开。"));
    return;
  }
  QDesktopServices::openUrl(QUrl(address));
}
