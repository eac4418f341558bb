// The account panel: signing in and out, and the membership the backend reports.
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>

#include "api_client.h"
#include "main_window.h"

void MainWindow::SubmitLogin() {
  if (accountEdit->text().trimmed().isEmpty() || passwordEdit->text().isEmpty()) {
    accountLabel->setText(tr("请输入账号和密码"));
    return;
  }
  loginButton->setEnabled(false);
  accountLabel->setText(tr("正在登录…"));
  api->Login(accountEdit->text(), passwordEdit->text());
}

void MainWindow::SignInAccepted(const QString& account) {
  accountLabel->setText(tr("已登录：%1").arg(account));
  passwordEdit->clear();
  loginButton->setEnabled(true);
  focusStartWhenReady = true;
  api->LoadProfile();
  api->LoadGames();
  RetireSessions();  // what an earlier run could not end, with this sign-in's token
}

void MainWindow::ApplyProfile(const QJsonObject& profile) {
  const zv::MembershipLines membership = zv::MembershipOf(profile, QDateTime::currentDateTimeUtc());
  accountLabel->setText(tr("账号：%1").arg(profile.value("account").toString()));
  membershipStatusLabel->setText(membership.status);
  membershipExpiryLabel->setText(membership.expiry);
  membershipStatusLabel->setProperty("active", membership.active);
  membershipStatusLabel->style()->unpolish(membershipStatusLabel);
  membershipStatusLabel->style()->polish(membershipStatusLabel);
  membershipStatusLabel->show();
  membershipExpiryLabel->show();
  accountEdit->hide();
  passwordEdit->hide();
  loginButton->hide();
  registerButton->hide();
  logoutButton->show();
}

void MainWindow::SignOut() {
  // Deleted while the token is still held, so the request carries it.
  if (sessionId.isEmpty()) {
    EndLocally(tr("当前未加速"));  // a start under way is given up; a session it still brings is ended
  } else {
    phase = zv::Phase::Stopping;
    api->StopSession(sessionId);
  }
  api->ClearTokens();
  accountLabel->setText(tr("尚未登录"));
  membershipStatusLabel->hide();
  membershipExpiryLabel->hide();
  logoutButton->hide();
  accountEdit->show();
  passwordEdit->show();
  loginButton->show();
  registerButton->show();
  gameList->clear();
  ShowControls();
}
