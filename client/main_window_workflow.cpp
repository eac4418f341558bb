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
#include <QStyle>
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
  // A pressed button that goes off leaves the focus in the action panel, where
  // Space presses nothing, rather than in the next field; it comes back on.
  QWidget* focused = focusWidget();
  const auto apply = [&](QPushButton* button, bool enabled) {
    if (!enabled && button == focused) actionPanel->setFocus();
    button->setEnabled(enabled);
    if (enabled && button == actionPanel->property("held").value<QObject*>() && focused == actionPanel) button->setFocus();
  };
  if (focused == startButton || focused == stopButton || focused == launchButton) {
    actionPanel->setProperty("held", QVariant::fromValue<QObject*>(focused));
  }
  apply(startButton, controls.start);
  apply(stopButton, controls.stop);
  apply(launchButton, controls.launch);
}

void MainWindow::ShowNote(const QString& text, bool amber) {
  serviceStatusLabel->setText(text);
  if (serviceStatusLabel->property("alert").toBool() == amber) return;
  serviceStatusLabel->setProperty("alert", amber);
  serviceStatusLabel->style()->polish(serviceStatusLabel);
}

bool MainWindow::RefreshServiceState(quint16 operation, const QByteArray& body) {
  const ControlReply reply = SendControlRequest(operation, body);
  if (!reply.ok) {
    // A caller the service does not serve is told so, not left guessing; a busy one changes nothing.
    ShowNote(reply.replyText.contains(QStringLiteral("\"access_denied\""))
                 ? reply.errorText + tr("：本地加速服务不接受当前用户，请在本机登录的桌面会话中使用")
                 : reply.errorText,
             reply.errorText == kServiceBusy);
    return false;
  }
  if (reply.replyText.contains(QStringLiteral("\"accelerating\""))) {
    serviceAccelerating = true;
    // Our own acceleration is no news: what the path last said stays (connecting, broken, well).
    if (acceleratedSince.isValid() && phase == zv::Phase::Running) ShowPathStatus();
    else ShowNote(tr("正在加速"));
  } else if (reply.replyText.contains(QStringLiteral("\"idle\""))) {
    ShowNote(tr("当前未加速"));
    serviceAccelerating = false;
  } else {
    ShowNote(reply.replyText);
  }
  ShowControls();
  return true;
}

void MainWindow::MeetRunningAcceleration() {
  const ControlReply reply = SendControlRequest(kQueryState, {});
  const std::optional<zv::KeptAcceleration> kept = zv::LoadKeptAcceleration();
  if (!reply.ok) return;  // away or busy: the kept acceleration waits for a later start
  serviceAccelerating = reply.replyText.contains(QStringLiteral("\"accelerating\""));
  if (serviceAccelerating && kept) return Adopt(*kept);
  if (serviceAccelerating) {
    ShowNote(tr("本地加速服务正在运行一次加速（不是本客户端开始的），可按“停止加速”结束"));
    return ShowControls();
  }
  // The tunnel is gone: its session is ended at the next sign-in.
  if (kept) RetireLater(kept->sessionId), zv::ForgetKeptAcceleration();
}

void MainWindow::Adopt(const zv::KeptAcceleration& kept) {
  sessionId = kept.sessionId;
  acceleratedGameId = kept.gameId;
  acceleratedRegionId = kept.regionId;
  acceleratedGameName = kept.gameName;
  offeredNodes = kept.offeredNodes;
  requestedNode = kept.node;
  accelerationMode = kept.mode;
  egressIp = kept.egressIp;
  accelerationText = zv::ModeText(kept.mode);
  if (!kept.gameName.isEmpty()) accelerationText += " · " + zv::NameInLine(kept.gameName, kStatusNameLength);
  routeCardLabel->setText(tr("当前节点：%1 · 加速 IP：%2")
                              .arg(kept.node.value("name").toString(), egressIp.isEmpty() ? tr("分配中") : egressIp));
  phase = zv::Phase::Running;
  BeginLiveView(kept.startedAt, kept.node.value("id").toString());
  ShowControls();
}

void MainWindow::KeepRunningAcceleration() {
  zv::KeepAcceleration({sessionId, acceleratedGameId, acceleratedRegionId, acceleratedGameName, requestedNode,
                        offeredNodes, accelerationMode, egressIp, acceleratedSince});
}

bool MainWindow::GenerateKeyPair() {
  const KeyToolRun run = RunKeyTool(KeyToolPath());
  if (!run.ran) {
    ShowNote(tr("无法生成隧道密钥，请重新安装客户端"));
    return false;
  }
  privateKey = run.privateKey;
  publicKey = run.publicKey;
  if (privateKey.isEmpty() || publicKey.isEmpty()) {
    ShowNote(tr("隧道密钥生成失败"));
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
  // The accelerated game, when one runs, else the first.
  int row = 0;
  for (int i = 0; i < gameList->count(); ++i) {
    if (gameList->item(i)->data(kGameIdRole).toString() == acceleratedGameId) row = i;
  }
  if (gameList->count() > 0) gameList->setCurrentRow(row);
  FilterGames(searchEdit->text());
  MarkAcceleratedGame(acceleratedSince.isValid());
}

// The selected game stays listed, whatever the search: a start uses what is shown.
void MainWindow::FilterGames(const QString& text) {
  for (int row = 0; row < gameList->count(); ++row) {
    const QListWidgetItem* item = gameList->item(row);
    gameList->setRowHidden(row, item != gameList->currentItem() && !item->text().contains(text.trimmed(), Qt::CaseInsensitive));
  }
}

void MainWindow::SelectGame(QListWidgetItem* current) {
  if (phase == zv::Phase::Preparing) phase = zv::Phase::Idle;  // another game: that start is given up
  FilterGames(searchEdit->text());
  gameId.clear();
  regionId.clear();
  gameSlug.clear();
  routeCardLabel->setText(tr("加速线路：正在匹配…"));
  ShowControls();
  if (current == nullptr || !api->IsAuthenticated()) return;
  gameId = current->data(kGameIdRole).toString();
  gameSlug = current->data(kGameSlugRole).toString();
  ShowNote(tr("正在读取可用区服…"));
  api->LoadRegions(gameId);
}

void MainWindow::TakeRegion(const QString& replyGameId, const QJsonArray& regions) {
  if (replyGameId != gameId || regions.isEmpty()) {
    ShowNote(tr("当前游戏暂无可用区服"));
    return;
  }
  const QJsonObject region = regions.first().toObject();
  regionId = region.value("id").toString();
  routeCardLabel->setText(tr("加速线路：%1 · 香港智能节点").arg(region.value("name").toString()));
  // While a session is held no second one may start, so the line must not offer one.
  ShowNote(sessionId.isEmpty() ? tr("香港节点在线，可开始加速") : tr("已在加速中，停止加速后可开始新的加速"));
  ShowControls();
  if (focusStartWhenReady && startButton->isEnabled()) startButton->setFocus();
  focusStartWhenReady = false;
}

void MainWindow::BeginAcceleration() {
  if (!GenerateKeyPair()) return;
  phase = zv::Phase::Preparing;
  ShowControls();
  ShowNote(tr("正在选择最优线路…"));
  api->LoadNodes(gameId, regionId);
}

void MainWindow::ChooseNode(const QString& replyGameId, const QString& replyRegionId, const QJsonArray& nodes) {
  if (phase != zv::Phase::Preparing || replyGameId != gameId || replyRegionId != regionId) return;
  if (nodes.isEmpty()) {
    ShowNote(tr("当前没有在线加速节点"));
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
  ShowNote(tr("正在申请加速会话…"));
  phase = zv::Phase::Requesting;
  RequestSession(nodes.first().toObject());
}

void MainWindow::RequestSession(const QJsonObject& node) {
  requestedNode = node;
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
    ShowNote(tr("本地隧道启动失败，正在撤销会话…") + " · " + startFailure);
    phase = zv::Phase::RollingBack;
    ShowControls();
    api->StopSession(sessionId);
    return;
  }
  heldRequest = request;
  egressIp = session.value("egress_ip").toString();
  // The node the session was made on, which a switch may have changed.
  routeCardLabel->setText(tr("当前节点：%1 · 加速 IP：%2")
                              .arg(requestedNode.value("name").toString(), egressIp.isEmpty() ? tr("分配中") : egressIp));
  accelerationMode = zv::ModeOf(request);
  accelerationText = zv::ModeText(accelerationMode);
  // The game is named, so that it is found however long the list.
  if (!acceleratedGameName.isEmpty()) accelerationText += " · " + zv::NameInLine(acceleratedGameName, kStatusNameLength);
  const bool sameAcceleration = phase == zv::Phase::Switching;
  phase = zv::Phase::Running;
  if (!sameAcceleration) {
    BeginLiveView(QDateTime::currentDateTimeUtc());
  } else {
    // Connecting to the new node; the switch's own words stay until it answers.
    pathVerdict = pathWatch.Connecting();
    ShowPathStatus();
    ShowLiveView();
  }
  KeepRunningAcceleration();
  ShowControls();
}

void MainWindow::StopAcceleration() {
  if (sessionId.isEmpty()) return EndLocally(tr("当前未加速"));  // nothing held at the backend
  // Taken up before any sign-in: no token to end the session with yet, so the next sign-in ends it.
  if (!api->IsAuthenticated()) {
    RetireLater(sessionId);
    return EndLocally(tr("当前未加速 · 加速会话将在登录后结束"));
  }
  ShowNote(tr("正在停止加速…"));
  phase = zv::Phase::Stopping;
  ShowControls();
  api->StopSession(sessionId);
}

void MainWindow::AccelerationFailed(const QString& message) {
  if (quitRequested) return ExitWithStop();  // the session asked for on the way out never came
  // A start given up meanwhile: said, and the acceleration since begun goes on.
  if (!zv::SessionAsked(phase)) return RequestFailed(message);
  // A node switch that fails ends the acceleration: the dead node's tunnel is already down.
  if (phase == zv::Phase::Switching) EndLiveView();
  ShowNote(phase == zv::Phase::Switching ? tr("切换节点失败：%1").arg(message) : message);
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
  zv::ForgetKeptAcceleration();
  privateKey.clear();
  publicKey.clear();
  heldRequest = {};
  // Not done only while the service may hold a tunnel: it said so last, and now refuses or is away.
  if (!RefreshServiceState(kStopTunnel, {}) && serviceAccelerating) {
    ShowNote(tr("未能停止加速：%1").arg(serviceStatusLabel->text()), true);
    phase = acceleratedSince.isValid() ? zv::Phase::Running : zv::Phase::Idle;
    return ShowControls();
  }
  EndLiveView();
  ShowNote(status);
  phase = zv::Phase::Idle;
  ShowControls();
}

void MainWindow::RequestFailed(const QString& message) {
  if (api->IsAuthenticated()) {
    ShowNote(message);
  } else {
    accountLabel->setText(message);
    if (!passwordEdit->isHidden()) passwordEdit->setFocus();  // a wrong password is typed again there
  }
  loginButton->setEnabled(true);
  ShowControls();
}

void MainWindow::SessionStopFailed(const QString& message) {
  if (phase == zv::Phase::RollingBack) phase = zv::Phase::Idle;  // the session stays held, and stoppable
  ShowControls();
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
