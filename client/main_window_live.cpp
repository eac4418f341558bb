// What shows while an acceleration runs: the path's quality to the node, asked
// of the service each second off the window's thread, the time since the
// start, the tray's icon and tool tip, and the accelerated game's mark.
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>

#include "main_window.h"
#include "quality_poll.h"

namespace {

constexpr char kGreen[] = "#28bd78";
constexpr int kBrokenAfterMs = 3000;  // three echoes in a row unanswered
constexpr int kSlowRoundTripMs = 150;

// `icon` with a green dot in its lower right corner, at each size a tray asks for.
QIcon WithGreenDot(const QIcon& icon) {
  QIcon marked;
  for (const int size : {16, 20, 24, 32, 40, 48, 64}) {
    QPixmap pixmap = icon.pixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor("#0d111a"), size / 16.0));
    painter.setBrush(QColor(kGreen));
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
  acceleratedGameId = gameId;
  acceleratedGameName = gameList->currentItem() != nullptr ? gameList->currentItem()->text() : QString();
  acceleratedFor.start();
  SetQuality(tr("正在测量延迟…"), "good", tr("正在测量延迟"));
  MarkAcceleratedGame(true);
  qualityLabel->show();
  ShowLiveView();
  liveTimer->start();
  qualityPoll->Ask();
}

void MainWindow::EndLiveView() {
  liveTimer->stop();
  acceleratedFor.invalidate();
  qualityLabel->hide();
  MarkAcceleratedGame(false);
  acceleratedGameId.clear();
  acceleratedGameName.clear();
  ShowTrayState(tr("当前未加速"), false);
}

void MainWindow::TakeQuality(bool ok, const QString& replyText, const QString& errorText) {
  if (!acceleratedFor.isValid()) return;  // the acceleration ended while the service was asked
  const QJsonObject figures = QJsonDocument::fromJson(replyText.toUtf8()).object();
  if (!ok && replyText.contains(QStringLiteral("\"unknown_operation\""))) {
    SetQuality({}, "good", {});  // a service that has no figures: the time alone
  } else if (!ok) {
    SetQuality(tr("无法读取线路质量：%1").arg(errorText), "broken", tr("线路质量未知"));
  } else if (figures.value("state").toString() == "idle") {
    // The service gave the tunnel up (its network kept failing); the session is still held.
    EndLiveView();
    qualityLabel->setText(tr("加速已中断：本地隧道已停止，请停止加速后重新开始"));
    qualityLabel->setProperty("level", "broken");
    qualityLabel->style()->polish(qualityLabel);
    qualityLabel->show();
    serviceStatusLabel->setText(tr("当前未加速"));
    launchButton->setEnabled(false);
    ShowTrayState(tr("加速已中断"), false);
    return;
  } else {
    const int roundTrip = figures.value("rtt_ms").toInt(-1);
    const int loss = figures.value("loss_percent").toInt();
    const int silent = figures.value("silent_ms").toInt();
    const QString roundTripText = roundTrip == 0 ? QStringLiteral("<1") : QString::number(roundTrip);
    if (silent >= kBrokenAfterMs) {
      SetQuality(tr("线路中断：节点已 %1 秒无响应").arg(silent / 1000), "broken", tr("线路中断"));
    } else if (roundTrip < 0) {
      SetQuality(tr("正在测量延迟…"), "good", tr("正在测量延迟"));
    } else {
      SetQuality(tr("延迟 %1 ms · 丢包 %2%").arg(roundTripText).arg(loss),
                 loss > 0 || roundTrip >= kSlowRoundTripMs ? "poor" : "good", tr("延迟 %1 ms").arg(roundTripText));
    }
  }
  ShowLiveView();
}

void MainWindow::SetQuality(const QString& text, const char* level, const QString& trayText) {
  qualityText = text;
  qualityLevel = level;
  qualityTrayText = trayText;
}

void MainWindow::ShowLiveView() {
  const QString elapsed = tr("已加速 %1").arg(Clock(acceleratedFor.elapsed()));
  qualityLabel->setText(qualityText.isEmpty() ? elapsed : qualityText + " · " + elapsed);
  if (qualityLabel->property("level").toString() != qualityLevel) {
    qualityLabel->setProperty("level", qualityLevel);
    qualityLabel->style()->polish(qualityLabel);
  }
  QString state = tr("正在加速");
  if (!acceleratedGameName.isEmpty()) state += " " + acceleratedGameName;
  if (!qualityTrayText.isEmpty()) state += " · " + qualityTrayText;
  ShowTrayState(state, true);
}

void MainWindow::ShowTrayState(const QString& state, bool accelerating) {
  trayIcon->setToolTip(tr("Zentravolk游戏加速器") + " · " + state);
  if (trayIcon->property("accelerating").toBool() == accelerating) return;
  trayIcon->setProperty("accelerating", accelerating);
  trayIcon->setIcon(accelerating ? WithGreenDot(windowIcon()) : windowIcon());
}

void MainWindow::MarkAcceleratedGame(bool marked) {
  static const QIcon dot = GreenDot();
  for (int row = 0; row < gameList->count(); ++row) {
    QListWidgetItem* item = gameList->item(row);
    const bool accelerated = marked && item->data(kGameIdRole).toString() == acceleratedGameId;
    item->setIcon(accelerated ? dot : QIcon());
    item->setToolTip(accelerated ? tr("正在加速") : QString());
    item->setData(Qt::AccessibleDescriptionRole, accelerated ? tr("正在加速") : QString());
    QFont font = item->font();
    font.setBold(accelerated);
    item->setFont(font);
  }
}
