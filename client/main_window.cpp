#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <limits>

#include "api_client.h"
#include "control_client.h"
#include "control_frame.h"
#include "key_tool.h"

namespace {

constexpr char kRegistrationUrl[] = "https://www.zentravolk.com/register";
constexpr int kGameIdRole = Qt::UserRole;
constexpr int kGameSlugRole = Qt::UserRole + 1;

constexpr quint16 kQueryState = static_cast<quint16>(zv::ControlOperation::QueryState);
constexpr quint16 kStartTunnel = static_cast<quint16>(zv::ControlOperation::StartTunnel);
constexpr quint16 kStopTunnel = static_cast<quint16>(zv::ControlOperation::StopTunnel);

constexpr char kStyleSheet[] = R"(
QMainWindow, QWidget { background: #0d111a; color: #e8edf7; font-family: "Microsoft YaHei UI"; font-size: 14px; }
QLabel#pageTitle { color: #ffffff; font-size: 30px; font-weight: 700; }
QLabel#subtitle { color: #7f918a; font-size: 13px; }
QLabel#sectionTitle { color: #ffffff; font-size: 20px; font-weight: 600; }
QFrame#memberCard { border: 1px solid #26372f; border-radius: 12px; background: #121b18; }
QLabel#memberTitle { color: #ffffff; font-size: 16px; font-weight: 600; }
QLabel#membershipStatus { color: #f4bd66; font-size: 15px; font-weight: 600; padding-top: 8px; }
QLabel#membershipStatus[active="true"] { color: #45d493; }
QLabel#membershipExpiry { color: #9aa6bd; font-size: 13px; padding-bottom: 8px; }
QLabel#routeCard { border: 1px solid #285540; border-radius: 10px; background: #12251d; color: #6be1a9; padding: 14px; font-size: 14px; font-weight: 600; }
QLineEdit, QListWidget { border: 1px solid #273831; border-radius: 8px; background: #141b28; color: #e8edf7; padding: 10px; }
QLineEdit:focus, QListWidget:focus { border-color: #2dcc85; }
QListWidget::item { min-height: 46px; padding: 8px; border-radius: 6px; }
QListWidget::item:selected { background: #194d39; }
QPushButton { min-height: 42px; border: none; border-radius: 8px; background: #28bd78; color: #ffffff; }
QPushButton:disabled { background: #293244; color: #778199; }
QPushButton#secondaryButton { background: #25322e; }
QPushButton#launchButton { border: 1px solid #2e7d59; background: #173629; color: #72e8ad; }
)";

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

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  Q_INIT_RESOURCE(client);  // the icon lives in a static library
  setWindowTitle(tr("游戏加速器"));
  setWindowIcon(QIcon(":/zentravolk.png"));
  resize(1120, 720);

  serviceStatusLabel = new QLabel(tr("尚未连接本地加速服务"), this);
  accountLabel = new QLabel(tr("尚未登录"), this);
  membershipStatusLabel = new QLabel(tr("会员状态：登录后查看"), this);
  membershipExpiryLabel = new QLabel(tr("到期时间：--"), this);
  routeCardLabel = new QLabel(tr("加速线路：请选择游戏"), this);
  accountEdit = new QLineEdit(this);
  passwordEdit = new QLineEdit(this);
  loginButton = new QPushButton(tr("登录"), this);
  registerButton = new QPushButton(tr("注册账号"), this);
  logoutButton = new QPushButton(tr("退出登录"), this);
  gameList = new QListWidget(this);
  startButton = new QPushButton(tr("开始加速"), this);
  stopButton = new QPushButton(tr("停止加速"), this);
  launchButton = new QPushButton(tr("启动游戏"), this);
  auto* checkServiceButton = new QPushButton(tr("检查服务"), this);

  api = new ApiClient(this);
  api->CheckForUpdates();

  membershipStatusLabel->setObjectName("membershipStatus");
  membershipExpiryLabel->setObjectName("membershipExpiry");
  routeCardLabel->setObjectName("routeCard");
  serviceStatusLabel->setObjectName("serviceStatus");
  gameList->setObjectName("gameList");
  stopButton->setObjectName("secondaryButton");
  launchButton->setObjectName("launchButton");
  accountEdit->setPlaceholderText(tr("账号或邮箱"));
  passwordEdit->setPlaceholderText(tr("密码"));
  passwordEdit->setEchoMode(QLineEdit::Password);
  startButton->setEnabled(false);
  stopButton->setEnabled(false);
  launchButton->setEnabled(false);
  membershipStatusLabel->hide();
  membershipExpiryLabel->hide();

  BuildLayout(checkServiceButton);

  trayIcon = new QSystemTrayIcon(windowIcon(), this);
  auto* trayMenu = new QMenu(this);
  trayMenu->addAction(tr("打开Zentravolk"));
  trayMenu->addAction(tr("退出并停止加速"));
  trayIcon->setContextMenu(trayMenu);
  trayIcon->setToolTip(tr("Zentravolk游戏加速器"));
  trayIcon->show();

  Connect(checkServiceButton);
  setStyleSheet(kStyleSheet);
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildLayout(QPushButton* checkServiceButton) {
  auto* central = new QWidget(this);
  auto* columns = new QHBoxLayout(central);
  columns->setContentsMargins(28, 28, 28, 28);
  columns->setSpacing(24);
  auto* left = new QVBoxLayout();
  auto* right = new QVBoxLayout();

  auto* title = new QLabel(tr("Zentravolk"), central);
  title->setObjectName("pageTitle");
  auto* subtitle = new QLabel(tr("让每一局都更稳定"), central);
  subtitle->setObjectName("subtitle");
  auto* memberCard = new QFrame(central);
  memberCard->setObjectName("memberCard");
  auto* card = new QVBoxLayout(memberCard);
  card->setContentsMargins(16, 14, 16, 14);
  card->setSpacing(6);
  auto* memberTitle = new QLabel(tr("账户与会员"), memberCard);
  memberTitle->setObjectName("memberTitle");
  card->addWidget(memberTitle);
  card->addWidget(accountLabel);
  card->addWidget(membershipStatusLabel);
  card->addWidget(membershipExpiryLabel);
  card->addWidget(logoutButton);
  logoutButton->hide();

  left->addWidget(title);
  left->addWidget(subtitle);
  left->addSpacing(24);
  left->addWidget(memberCard);
  left->addWidget(accountEdit);
  left->addWidget(passwordEdit);
  left->addWidget(loginButton);
  left->addWidget(registerButton);
  left->addSpacing(14);
  left->addWidget(routeCardLabel);
  left->addStretch();
  left->addWidget(serviceStatusLabel);
  left->addWidget(checkServiceButton);
  left->addWidget(startButton);
  left->addWidget(launchButton);
  left->addWidget(stopButton);

  auto* heading = new QLabel(tr("选择游戏"), central);
  heading->setObjectName("sectionTitle");
  right->addWidget(heading);
  right->addWidget(gameList);
  columns->addLayout(left, 1);
  columns->addLayout(right, 2);
  setCentralWidget(central);
}

void MainWindow::Connect(QPushButton* checkServiceButton) {
  const QList<QAction*> entries = trayIcon->contextMenu()->actions();
  connect(entries[0], &QAction::triggered, this, [this] { ShowWindow(); });
  connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) ShowWindow();
  });
  connect(entries[1], &QAction::triggered, this, [this] { ExitWithStop(); });
  connect(loginButton, &QPushButton::clicked, this, [this] { SubmitLogin(); });
  connect(registerButton, &QPushButton::clicked, this, [] { QDesktopServices::openUrl(QUrl(kRegistrationUrl)); });
  connect(logoutButton, &QPushButton::clicked, this, [this] { SignOut(); });
  connect(api, &ApiClient::LoginSucceeded, this, [this](const QString& account) { SignInAccepted(account); });
  connect(api, &ApiClient::ProfileLoaded, this, [this](const QJsonObject& profile) { ApplyProfile(profile); });
  connect(api, &ApiClient::GamesLoaded, this, [this](const QJsonArray& games) { FillGames(games); });
  connect(gameList, &QListWidget::currentItemChanged, this,
          [this](QListWidgetItem* current, QListWidgetItem*) { SelectGame(current); });
  connect(api, &ApiClient::RegionsLoaded, this,
          [this](const QString& id, const QJsonArray& regions) { TakeRegion(id, regions); });
  connect(api, &ApiClient::NodesLoaded, this,
          [this](const QString& game, const QString& region, const QJsonArray& nodes) { ChooseNode(game, region, nodes); });
  connect(api, &ApiClient::SessionCreated, this, [this](const QJsonObject& session) { StartTunnel(session); });
  connect(api, &ApiClient::AccelerationFailed, this, [this](const QString& message) { AccelerationFailed(message); });
  connect(api, &ApiClient::SessionStopped, this, [this] { SessionStopped(); });
  connect(api, &ApiClient::UpdateAvailable, this,
          [this](const QString& version, const QUrl& url, const QString& notes, bool mandatory, const QString& sha256,
                 qlonglong size) { OfferUpdate(version, url, notes, mandatory, sha256, size); });
  connect(api, &ApiClient::UpdateDownloadProgress, this,
          [this](qlonglong received, qlonglong total) { ShowDownloadProgress(received, total); });
  connect(api, &ApiClient::UpdateDownloadFailed, this, [this](const QString& message) { DownloadFailed(message); });
  connect(api, &ApiClient::UpdateDownloaded, this, [this](const QString& path) { OfferInstall(path); });
  connect(api, &ApiClient::RequestFailed, this, [this](const QString& message) { RequestFailed(message); });
  connect(checkServiceButton, &QPushButton::clicked, this, [this] { RefreshServiceState(kQueryState, {}); });
  connect(startButton, &QPushButton::clicked, this, [this] { BeginAcceleration(); });
  connect(stopButton, &QPushButton::clicked, this, [this] { StopAcceleration(); });
  connect(launchButton, &QPushButton::clicked, this, [this] { LaunchSelectedGame(); });
}

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
  if (sessionId.isEmpty()) {
    RefreshServiceState(kStopTunnel, {});
    QApplication::quit();
    return;
  }
  serviceStatusLabel->setText(tr("正在停止加速并退出…"));
  api->StopSession(sessionId);
}

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
    stopButton->setEnabled(false);
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

void MainWindow::FillGames(const QJsonArray& games) {
  gameList->clear();
  for (const QJsonValue& value : games) {
    const QJsonObject game = value.toObject();
    auto* item = new QListWidgetItem(game.value("name").toString(), gameList);
    item->setData(kGameIdRole, game.value("id").toString());
    item->setData(kGameSlugRole, game.value("slug").toString());
  }
  if (gameList->count() > 0) gameList->setCurrentRow(0);
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
  serviceStatusLabel->setText(tr("香港节点在线，可开始加速"));
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
    serviceStatusLabel->setText(tr("本地隧道启动失败，正在撤销会话…"));
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
  sessionId.clear();
  privateKey.clear();
  publicKey.clear();
  serviceStatusLabel->setText(tr("当前未加速"));
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
    RefreshServiceState(kStopTunnel, {});  // the tunnel never outlives the client's exit
    QApplication::quit();
    return;
  }
  trayIcon->hide();
  serviceStatusLabel->setText(tr("正在停止加速并退出…"));
  api->StopSession(sessionId);
}

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
  serviceStatusLabel->setText(tr("正在下载更新…"));
  api->DownloadUpdate(downloadUrl, sha256, sizeBytes);
}

void MainWindow::ShowDownloadProgress(qlonglong received, qlonglong total) {
  if (total <= 0) return;  // unknown length
  serviceStatusLabel->setText(tr("正在下载更新：%1%").arg(received * 100 / total));
}

void MainWindow::DownloadFailed(const QString& message) {
  serviceStatusLabel->setText(message);
  QMessageBox::warning(this, tr("更新失败"), message);
}

void MainWindow::OfferInstall(const QString& installerPath) {
  const auto answer = QMessageBox::question(this, tr("安装更新"),
                                            tr("新版已下载并通过安全校验。现在退出Zentravolk并开始升级吗？"),
                                            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  if (answer != QMessageBox::Yes) {
    serviceStatusLabel->setText(tr("更新已下载，可稍后重新检查更新"));
    return;
  }
  // The running acceleration stays as the service holds it; the installer takes over.
  if (!QProcess::startDetached(installerPath, {})) {
    QMessageBox::warning(this, tr("更新失败"), tr("无法启动更新安装程序"));
    return;
  }
  QTimer::singleShot(0, qApp, &QCoreApplication::quit);
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
