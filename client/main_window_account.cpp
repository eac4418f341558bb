// The account panel: signing in and out, and the membership the backend reports.
#include <QDateTime>
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
  api->LoadProfile();
  api->LoadGames();
}

void MainWindow::ApplyProfile(const QJsonObject& profile) {
  const QJsonObject membership = profile.value("membership").toObject();
  const QDateTime expiry = QDateTime::fromString(membership.value("expires_at").toString(), Qt::ISODate);
  const QString localExpiry = expiry.isValid() ? expiry.toLocalTime().toString("yyyy-MM-dd HH:mm") : QString();
  accountLabel->setText(tr("账号：%1").arg(profile.value("account").toString()));
  const bool active = membership.value("active").toBool(false);
  if (active) {
    const QString kind = membership.value("kind").toString();
    const QString kindText = kind == "trial" ? tr("试用会员") : kind == "grant" ? tr("赠送会员") : tr("正式会员");
    const qint64 days =
        expiry.isValid() ? std::max<qint64>(0, QDateTime::currentDateTimeUtc().date().daysTo(expiry.toUTC().date())) : 0;
    membershipStatusLabel->setText(tr("会员状态：%1 · 剩余 %2 天").arg(kindText).arg(days));
    membershipExpiryLabel->setText(tr("到期时间：%1").arg(localExpiry));
  } else {
    membershipStatusLabel->setText(tr("会员状态：未开通或已过期"));
    membershipExpiryLabel->setText(expiry.isValid() ? tr("到期时间：%1").arg(localExpiry) : tr("到期时间：--"));
  }
  membershipStatusLabel->setProperty("active", active);
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
  if (sessionId.isEmpty()) RefreshServiceState(kStopTunnel, {});
  else api->StopSession(sessionId);
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
  startButton->setEnabled(false);
  launchButton->setEnabled(false);
}
