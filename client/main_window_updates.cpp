// The update prompts: the offer, the download's progress and failure, and the install.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "api_client.h"
#include "main_window.h"

void MainWindow::OfferUpdate(const QString& version, const QUrl& downloadUrl, const QString& releaseNotes,
                             bool mandatory, const QString& sha256, qlonglong sizeBytes) {
  QMessageBox box(this);
  box.setWindowTitle(tr("发现新版本"));
  box.setText(tr("Zentravolk %1 已发布").arg(version));
  box.setInformativeText(releaseNotes);
  QPushButton* download = box.addButton(tr("下载并升级"), QMessageBox::AcceptRole);
  if (!mandatory) box.addButton(tr("稍后提醒"), QMessageBox::RejectRole);
  box.exec();
  // With the one button of a mandatory update, Esc and closing count as it.
  if (box.clickedButton() != download && !mandatory) return;
  ShowNote(tr("正在下载更新…"));
  api->DownloadUpdate(downloadUrl, sha256, sizeBytes);
}

// Outside Windows a release comes through the package manager: the user is
// told what is new and where to get it, and nothing is downloaded or run.
void MainWindow::TellAboutRelease(const QString& version, const QString& releaseNotes, bool mandatory) {
  auto* box = new QMessageBox(this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(tr("发现新版本"));
  box->setText(tr("Zentravolk %1 已发布").arg(version));
  QStringList lines;
  if (mandatory) lines << tr("这是必须安装的更新，请尽快升级。");
  if (!releaseNotes.isEmpty()) lines << releaseNotes;
  lines << tr("请通过系统的软件包管理器升级（例如：sudo apt update && sudo apt install zentravolk）。");
  box->setInformativeText(lines.join("\n\n"));
  box->addButton(tr("知道了"), QMessageBox::AcceptRole);
  box->setModal(false);  // the window stays usable: nothing here needs an answer
  box->show();
}

void MainWindow::ShowDownloadProgress(qlonglong received, qlonglong total) {
  if (total <= 0) return;  // unknown length
  ShowNote(tr("正在下载更新：%1%").arg(received * 100 / total));
}

void MainWindow::DownloadFailed(const QString& message) {
  ShowNote(message);
  QMessageBox::warning(this, tr("更新失败"), message);
}

void MainWindow::OfferInstall(const QString& installerPath) {
  const auto answer = QMessageBox::question(this, tr("安装更新"),
                                            tr("新版已下载并通过安全校验。现在退出Zentravolk并开始升级吗？"),
                                            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  if (answer != QMessageBox::Yes) {
    ShowNote(tr("更新已下载，可稍后重新检查更新"));
    return;
  }
  // The installer stops the service, which takes the tunnel down. Told that it
  // runs as an update, it starts the service and then this client again, as
  // the signed-in user, which finds the session it kept and asks for the tunnel anew.
  if (!QProcess::startDetached(installerPath, {QStringLiteral("/UPDATE")})) {
    QMessageBox::warning(this, tr("更新失败"), tr("无法启动更新安装程序"));
    return;
  }
  // exit, not quit: Qt's quit first asks the window to close, and ours only goes to the tray.
  QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
}
