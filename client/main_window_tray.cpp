// The tray, the window's close and the ways out of the client; stopping when
// the backend cannot be reached, and the sessions left to end later.
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

#include "api_client.h"
#include "main_window.h"

void MainWindow::ShowWindow() {
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (quitRequested) {
    event->accept();
    return;
  }
  hide();
  ShowTrayMessage(tr("Zentravolk仍在运行"), sessionId.isEmpty() ? tr("程序已最小化到任务栏通知区域。")
                                                               : tr("加速仍在运行；选择“退出并停止加速”才会断开。"));
  event->ignore();
}

void MainWindow::ShowTrayMessage(const QString& title, const QString& text) {
  trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 2500);
}

void MainWindow::ExitWithStop() {
  quitRequested = true;
  trayIcon->hide();
  // Taken up before any sign-in: no token to end the session with, so the next sign-in ends it.
  if (!sessionId.isEmpty() && !api->IsAuthenticated()) {
    RetireLater(sessionId);
    sessionId.clear();
  }
  if (sessionId.isEmpty() && !zv::SessionAsked(phase)) {
    zv::ForgetKeptAcceleration();
    RefreshServiceState(kStopTunnel, {});
    QApplication::quit();
    return;
  }
  ShowNote(tr("正在停止加速并退出…"));
  phase = zv::Phase::Stopping;
  if (!sessionId.isEmpty()) api->StopSession(sessionId);  // else the session asked for is ended when it comes
}

void MainWindow::ExitStalled() {
  trayIcon->show();
  QMessageBox box(this);
  box.setWindowTitle(tr("退出失败"));
  box.setText(tr("无法结束加速会话。要重试，还是仍然退出？"));
  QPushButton* retry = box.addButton(tr("重试"), QMessageBox::AcceptRole);
  QPushButton* quitAnyway = box.addButton(tr("仍然退出"), QMessageBox::DestructiveRole);
  box.setEscapeButton(retry);
  box.exec();
  if (box.clickedButton() == quitAnyway) {
    RetireLater(sessionId);  // kept, so that the next sign-in ends it
    zv::ForgetKeptAcceleration();
    RefreshServiceState(kStopTunnel, {});  // the tunnel never outlives the client's exit
    QApplication::quit();
    return;
  }
  trayIcon->hide();
  ShowNote(tr("正在停止加速并退出…"));
  api->StopSession(sessionId);
}

void MainWindow::StopStalled(const QString& message) {
  QMessageBox box(this);
  box.setWindowTitle(tr("停止失败"));
  box.setText(tr("无法结束加速会话。要重试，还是仍然停止？"));
  box.setInformativeText(message);
  QPushButton* retry = box.addButton(tr("重试"), QMessageBox::AcceptRole);
  QPushButton* stopAnyway = box.addButton(tr("仍然停止"), QMessageBox::DestructiveRole);
  box.setEscapeButton(retry);
  box.exec();
  if (box.clickedButton() == stopAnyway) {
    RetireLater(sessionId);
    EndLocally(tr("当前未加速 · 加速会话将在后台结束"));
    return;
  }
  ShowNote(tr("正在停止加速…"));
  api->StopSession(sessionId);
}

void MainWindow::RetireLater(const QString& session) {
  if (!unendedSessions.contains(session)) unendedSessions << session;
  QSettings().setValue(kUnendedSessionsKey, unendedSessions);
  RetireSessions();
}

// Each held one is asked for again every 30 s while signed in; a sign-out
// leaves them for the next sign-in.
void MainWindow::RetireSessions() {
  if (unendedSessions.isEmpty() || !api->IsAuthenticated()) {
    retireTimer->stop();
    return;
  }
  for (const QString& session : unendedSessions) api->RetireSession(session);
  retireTimer->start();
}

void MainWindow::SessionRetired(const QString& session, bool gone) {
  if (!gone) return;
  unendedSessions.removeAll(session);
  QSettings().setValue(kUnendedSessionsKey, unendedSessions);
  if (unendedSessions.isEmpty()) retireTimer->stop();
}
