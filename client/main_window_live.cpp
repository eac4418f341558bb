// What shows while an acceleration runs: the path to the node, asked of the
// service off the window's thread (each second, four times a second until the
// node answered), "connecting" until it did, said in the status line when it
// breaks (with one balloon and an alert) and quietly when it is back; its
// history; what the acceleration gains on the way to the game's server (the
// route card's line, the tray's tip, the graph's thin line); the time since the
// start; the tray's icon and tool tip; the accelerated game's mark. A node
// that never answers is replaced by the next one the backend offered (said in
// the status line and one balloon), and a restarted service is given the held
// session.
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
constexpr char kGrey[] = "#9aa6bd";
constexpr int kTrayNameLength = 24;
constexpr int kLivePollMs = 1000;
constexpr int kProvingPollMs = 250;

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

// A look the style sheet picks by a property; polished again only when it changes.
void SetLook(QWidget* widget, const char* property, const char* value) {
  if (widget->property(property).toString() == value) return;
  widget->setProperty(property, value);
  widget->style()->polish(widget);
}

QString Clock(qint64 milliseconds) {
  const qint64 seconds = milliseconds / 1000;
  return QString("%1:%2:%3")
      .arg(seconds / 3600, 2, 10, QChar('0'))
      .arg(seconds / 60 % 60, 2, 10, QChar('0'))
      .arg(seconds % 60, 2, 10, QChar('0'));
}

}  // namespace

void MainWindow::BeginLiveView(const QDateTime& since, const QString& nodeId) {
  acceleratedSince = since;
  watchClock.start();
  pathWatch.Begin(offeredNodes, nodeId);
  pathVerdict = pathWatch.Connecting();
  pathGraph->Refresh();
  MarkAcceleratedGame(true);
  qualityLabel->show();
  pathGraph->show();
  ShowPathStatus();
  ShowLiveView();
  liveTimer->start(kProvingPollMs);
  qualityPoll->Ask();
}

void MainWindow::EndLiveView() {
  zv::ForgetKeptAcceleration();
  liveTimer->stop();
  acceleratedSince = {};
  qualityLabel->hide();
  gainLabel->hide();
  pathGraph->hide();
  MarkAcceleratedGame(false);
  acceleratedGameId.clear();
  acceleratedRegionId.clear();
  acceleratedGameName.clear();
  pathVerdict = {};
  ShowTrayState(tr("当前未加速"), "idle");
}

void MainWindow::TakeQuality(bool ok, const QString& replyText, const QString& errorText) {
  if (phase != zv::Phase::Running) return;  // it ended, or a node switch began, while the service was asked
  // A stop the service refused holds no session: there is nothing to move to another node.
  const zv::PathTurn turn = pathWatch.Take(ok, replyText, errorText, watchClock.elapsed(), !sessionId.isEmpty());
  if (turn.action == zv::PathTurn::Action::SwitchNode) {
    pathVerdict = turn.verdict;
    ShowTrayMessage(tr("Zentravolk已切换节点"), turn.verdict.status);
    return SwitchNode(turn.node, turn.verdict.status);
  }
  pathVerdict = turn.verdict;
  pathGraph->Refresh();
  ShowPathStatus();
  // Asked often until the node is proven, so that the switch or the good news comes at once.
  liveTimer->setInterval(pathVerdict.health == zv::PathHealth::Connecting ? kProvingPollMs : kLivePollMs);
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

// The old tunnel goes first (the service holds one at a time) and its session
// is ended in the background; a session on `node` follows, with a fresh key.
void MainWindow::SwitchNode(const QJsonObject& node, const QString& note) {
  phase = zv::Phase::Switching;
  RefreshServiceState(kStopTunnel, {});
  RetireLater(sessionId);
  sessionId.clear();
  heldRequest = {};
  pathVerdict.status = note;
  ShowPathStatus();
  ShowControls();
  ShowLiveView();
  if (!GenerateKeyPair()) return EndLocally(serviceStatusLabel->text());
  RequestSession(node);
}

void MainWindow::ResendStart() {
  // Nothing held is a stop the service could not hear: back with nothing running, it is done.
  if (sessionId.isEmpty()) return EndLocally(tr("当前未加速"));
  // An acceleration taken up from an earlier run has no key here: it starts afresh on its node.
  if (heldRequest.isEmpty()) return SwitchNode(pathWatch.Node(), tr("本地加速服务已重新启动，正在恢复加速…"));
  if (RefreshServiceState(kStartTunnel, QJsonDocument(heldRequest).toJson(QJsonDocument::Compact))) {
    pathVerdict = pathWatch.Connecting();
    pathVerdict.status = tr("本地加速服务已重新启动，加速已自动恢复");
    ShowPathStatus();
    return;
  }
  ShowNote(tr("本地加速服务已重新启动，但加速未能恢复：%1，稍后重试").arg(serviceStatusLabel->text()), true);
}

void MainWindow::ShowPathStatus() {
  const QString text = pathVerdict.status.isEmpty() ? accelerationText : pathVerdict.status;
  const bool amber = pathVerdict.broken || pathVerdict.gameSilent;
  if (serviceStatusLabel->text() != text || serviceStatusLabel->property("alert").toBool() != amber) ShowNote(text, amber);
}

void MainWindow::ShowLiveView() {
  const QString elapsed = tr("已加速 %1").arg(Clock(acceleratedSince.msecsTo(QDateTime::currentDateTimeUtc())));
  qualityLabel->setText(pathVerdict.line.isEmpty() ? elapsed : pathVerdict.line + " · " + elapsed);
  SetLook(qualityLabel, "level", pathVerdict.level);
  const QString gain = zv::GainLine(pathVerdict.gain, accelerationMode, zv::kGameSeenInWholeTunnel);
  gainLabel->setText(gain);
  gainLabel->setVisible(!gain.isEmpty());
  SetLook(gainLabel, "level", gain == pathVerdict.gain ? pathVerdict.gainLevel : "unknown");
  const bool connecting = pathVerdict.health == zv::PathHealth::Connecting;
  QString state = connecting ? tr("正在连接加速节点") : tr("正在加速");
  if (!acceleratedGameName.isEmpty()) state += " " + zv::Elided(acceleratedGameName, kTrayNameLength);
  if (!connecting && !pathVerdict.tray.isEmpty()) state += " · " + pathVerdict.tray;
  // The card's line on its own line, where the node's range would stand: Windows cuts a tip after 127 characters.
  const QString range = zv::RangeText(pathWatch.History().Stats());
  if (!gain.isEmpty()) state += "\n" + gain;
  else if (!range.isEmpty()) state += " · " + range;
  ShowTrayState(state, pathVerdict.broken ? "broken" : connecting ? "connecting" : "accelerating");
}

// The icon tells the state at a glance: plain when idle, a grey dot while the
// node is not yet proven, a green one while accelerating, a red one while the
// path is broken.
void MainWindow::ShowTrayState(const QString& state, const char* look) {
  trayIcon->setToolTip(tr("Zentravolk游戏加速器") + " · " + state);
  if (trayIcon->property("look").toString() == look) return;
  trayIcon->setProperty("look", look);
  const QString name(look);
  trayIcon->setIcon(name == "idle" ? windowIcon()
                                   : WithDot(windowIcon(), name == "broken" ? kRed : name == "connecting" ? kGrey : kGreen));
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
