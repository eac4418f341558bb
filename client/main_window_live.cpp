// What shows while an acceleration runs: the path to the node, asked of the
// service each second off the window's thread, said in the status line when
// it breaks (with one balloon and an alert) and quietly when it is back; its
// history; the time since the start; the tray's icon and tool tip; the
// accelerated game's mark. A node that never answers is replaced by the next
// one the backend offered, and a restarted service is given the held session.
#include <QAccessible>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>

#include "api_client.h"
#include "main_window.h"
#include "path_graph.h"
#include "quality_poll.h"

namespace {

constexpr char kGreen[] = "#28bd78";
constexpr char kRed[] = "#f26d6d";
constexpr int kTrayNameLength = 24;

// `icon` with a dot of `colour` in its lower right corner, at each size a tray asks for.
QIcon WithDot(const QIcon& icon, const char* colour) {
  QIcon marked;
  for (const int size : {16, 20, 24, 32, 40, 48, 64}) {
    QPixmap pixmap = icon.pixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor("#0d111a"), size / 16.0));
    painter.setBrush(QColor(colour));
    painter.drawEllipse(QRectF(size * 0.5, size * 0.5, size * 0.46, size * 0.46));
    marked.addPixmap(pixmap);
  }
  return marked;
}

QIcon GreenDot() {
  QIcon dot;
  for (const int size : {16, 32}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(kGreen));
    painter.drawEllipse(QRectF(size * 0.2, size * 0.2, size * 0.6, size * 0.6));
    dot.addPixmap(pixmap);
  }
  return dot;
}

QString Clock(qint64 milliseconds) {
  const qint64 seconds = milliseconds / 1000;
  return QString("%1:%2:%3")
      .arg(seconds / 3600, 2, 10, QChar('0'))
      .arg(seconds / 60 % 60, 2, 10, QChar('0'))
      .arg(seconds % 60, 2, 10, QChar('0'));
}

}  // namespace

void MainWindow::BeginLiveView() {
  acceleratedFor.start();
  watchClock.start();
  pathWatch.Begin(offeredNodes);
  pathHistory.Clear();
  pathGraph->Refresh();
  pathVerdict = {zv::PathHealth::Measuring, tr("正在测量延迟…"), {}, tr("正在测量延迟")};
  shownPathStatus.clear();
  MarkAcceleratedGame(true);
  qualityLabel->show();
  pathGraph->show();
  ShowLiveView();
  liveTimer->start();
  qualityPoll->Ask();
}

void MainWindow::EndLiveView() {
  liveTimer->stop();
  acceleratedFor.invalidate();
  qualityLabel->hide();
  pathGraph->hide();
  MarkAcceleratedGame(false);
  acceleratedGameId.clear();
  acceleratedRegionId.clear();
  acceleratedGameName.clear();
  pathVerdict = {};
  ShowAlert(false);
  ShowTrayState(tr("当前未加速"), "idle");
}

void MainWindow::TakeQuality(bool ok, const QString& replyText, const QString& errorText) {
  if (phase != zv::Phase::Running) return;  // it ended, or a node switch began, while the service was asked
  const zv::PathTurn turn = pathWatch.Take(ok, replyText, errorText, watchClock.elapsed());
  // A stop the service refused holds no session: there is nothing to move to another node.
  if (turn.action == zv::PathTurn::Action::SwitchNode && !heldRequest.isEmpty()) return SwitchNode(turn.node);
  pathVerdict = turn.verdict;
  pathHistory.Add(turn.sample);
  pathGraph->Refresh();
  // Broken is said in the status line for as long as it lasts; once well, the acceleration's own text is back.
  if (pathVerdict.status != shownPathStatus) {
    serviceStatusLabel->setText(pathVerdict.status.isEmpty() ? accelerationText : pathVerdict.status);
    shownPathStatus = pathVerdict.status;
  }
  ShowAlert(pathVerdict.broken);
  if (turn.alarm) {
    ShowTrayMessage(tr("Zentravolk线路中断"), pathVerdict.status);
    // Qt has no live regions; an alert on the status line is what screen readers are told of at once.
    QAccessibleEvent alert(serviceStatusLabel, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
  }
  // Sockets are steered as they are made: what the game connected before stays direct until it restarts.
  if (turn.gameNotice) {
    ShowTrayMessage(tr("请重新启动游戏"),
                    tr("游戏在开始加速前已运行：它此前建立的连接不经过加速，重新启动游戏后即全部加速。"));
  }
  if (turn.action == zv::PathTurn::Action::Resend) ResendStart();
  ShowControls();
  ShowLiveView();
}

// The dead node's tunnel goes first (the service holds one at a time) and its
// session is ended in the background; a session on the next node follows.
void MainWindow::SwitchNode(const QJsonObject& node) {
  const QString switching = tr("节点无响应，正在切换到 %1…").arg(node.value("name").toString());
  phase = zv::Phase::Switching;
  RefreshServiceState(kStopTunnel, {});
  RetireLater(sessionId);
  sessionId.clear();
  heldRequest = {};
  serviceStatusLabel->setText(switching);
  shownPathStatus = switching;
  pathVerdict = {zv::PathHealth::Connecting, tr("正在切换节点…"), {}, tr("正在切换节点")};
  ShowControls();
  ShowLiveView();
  if (!GenerateKeyPair()) return EndLocally(serviceStatusLabel->text());
  RequestSession(node);
}

void MainWindow::ResendStart() {
  // Nothing held is a stop the service could not hear: back with nothing running, it is done.
  if (heldRequest.isEmpty()) return EndLocally(tr("当前未加速"));
  if (RefreshServiceState(kStartTunnel, QJsonDocument(heldRequest).toJson(QJsonDocument::Compact))) {
    serviceStatusLabel->setText(tr("本地加速服务已重新启动，加速已自动恢复"));
    shownPathStatus.clear();
    return;
  }
  serviceStatusLabel->setText(tr("本地加速服务已重新启动，但加速未能恢复：%1，稍后重试").arg(serviceStatusLabel->text()));
}

void MainWindow::ShowLiveView() {
  const QString elapsed = tr("已加速 %1").arg(Clock(acceleratedFor.elapsed()));
  qualityLabel->setText(pathVerdict.line.isEmpty() ? elapsed : pathVerdict.line + " · " + elapsed);
  if (qualityLabel->property("level").toString() != pathVerdict.level) {
    qualityLabel->setProperty("level", pathVerdict.level);
    qualityLabel->style()->polish(qualityLabel);
  }
  QString state = tr("正在加速");
  if (!acceleratedGameName.isEmpty()) state += " " + zv::Elided(acceleratedGameName, kTrayNameLength);
  if (!pathVerdict.tray.isEmpty()) state += " · " + pathVerdict.tray;
  if (const QString range = zv::RangeText(pathHistory.Stats()); !range.isEmpty()) state += " · " + range;
  ShowTrayState(state, pathVerdict.broken ? "broken" : "accelerating");
}

void MainWindow::ShowAlert(bool alert) {
  if (serviceStatusLabel->property("alert").toBool() == alert) return;
  serviceStatusLabel->setProperty("alert", alert);
  serviceStatusLabel->style()->polish(serviceStatusLabel);
}

// The icon tells the state at a glance: plain when idle, a green dot while
// accelerating, a red one while the path is broken.
void MainWindow::ShowTrayState(const QString& state, const char* look) {
  trayIcon->setToolTip(tr("Zentravolk游戏加速器") + " · " + state);
  if (trayIcon->property("look").toString() == look) return;
  trayIcon->setProperty("look", look);
  trayIcon->setIcon(QString(look) == "idle" ? windowIcon() : WithDot(windowIcon(), QString(look) == "broken" ? kRed : kGreen));
}

void MainWindow::MarkAcceleratedGame(bool marked) {
  static const QIcon dot = GreenDot();
  for (int row = 0; row < gameList->count(); ++row) {
    QListWidgetItem* item = gameList->item(row);
    const bool accelerated = marked && item->data(kGameIdRole).toString() == acceleratedGameId;
    item->setIcon(accelerated ? dot : QIcon());
    item->setToolTip(accelerated ? item->text() + " · " + tr("正在加速") : item->text());  // whole, where the list cuts it
    item->setData(Qt::AccessibleDescriptionRole, accelerated ? tr("正在加速") : QString());
    QFont font = item->font();
    font.setBold(accelerated);
    item->setFont(font);
  }
}
