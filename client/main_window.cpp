// The window's construction: widgets, layout, style and the connections of
// every reaction. The reactions live in the files named for their concern.
#include "main_window.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "api_client.h"
#include "quality_poll.h"

namespace {

constexpr char kRegistrationUrl[] = "https://www.zentravolk.com/register";
constexpr int kInitialWidth = 1120;
constexpr int kInitialHeight = 720;
constexpr int kColumnMargin = 28;
constexpr int kTitleBarAllowance = 40;  // before it is shown the window has no frame to measure

// Disabled buttons all look alike (the named buttons' own colours would
// otherwise win over the disabled look), the member card's labels let the
// card show through, and the left column's scroll bar keeps to the palette.
constexpr char kStyleSheet[] = R"(
QMainWindow, QWidget { background: #0d111a; color: #e8edf7; font-family: "Microsoft YaHei UI"; font-size: 14px; }
QLabel#pageTitle { color: #ffffff; font-size: 30px; font-weight: 700; }
QLabel#subtitle { color: #7f918a; font-size: 13px; }
QLabel#sectionTitle { color: #ffffff; font-size: 20px; font-weight: 600; }
QFrame#memberCard { border: 1px solid #26372f; border-radius: 12px; background: #121b18; }
QFrame#memberCard QLabel { background: transparent; }
QLabel#memberTitle { color: #ffffff; font-size: 16px; font-weight: 600; }
QLabel#membershipStatus { color: #f4bd66; font-size: 15px; font-weight: 600; padding-top: 8px; }
QLabel#membershipStatus[active="true"] { color: #45d493; }
QLabel#membershipExpiry { color: #9aa6bd; font-size: 13px; padding-bottom: 8px; }
QLabel#routeCard { border: 1px solid #285540; border-radius: 10px; background: #12251d; color: #6be1a9; padding: 14px; font-size: 14px; font-weight: 600; }
QLabel#routeQuality { color: #6be1a9; font-size: 13px; padding: 0 4px; }
QLabel#routeQuality[level="poor"], QLabel#routeQuality[level="broken"] { color: #f4bd66; }
QLineEdit, QListWidget { border: 1px solid #273831; border-radius: 8px; background: #141b28; color: #e8edf7; padding: 10px; }
QLineEdit:focus, QListWidget:focus { border-color: #2dcc85; }
QListWidget::item { min-height: 46px; padding: 8px; border-radius: 6px; }
QListWidget::item:selected { background: #194d39; }
QPushButton { min-height: 42px; border: none; border-radius: 8px; background: #28bd78; color: #ffffff; }
QPushButton:disabled { background: #293244; color: #778199; }
QPushButton#secondaryButton { background: #25322e; }
QPushButton#launchButton { border: 1px solid #2e7d59; background: #173629; color: #72e8ad; }
QPushButton#secondaryButton:disabled, QPushButton#launchButton:disabled { border: none; background: #293244; color: #778199; }
QScrollArea { border: none; }
QScrollBar:vertical { background: #0d111a; width: 8px; margin: 0; }
QScrollBar::handle:vertical { background: #273831; border-radius: 4px; min-height: 32px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
)";

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  Q_INIT_RESOURCE(client);  // the icon lives in a static library
  setWindowTitle(tr("游戏加速器"));
  setWindowIcon(QIcon(":/zentravolk.png"));
  resize(kInitialWidth, kInitialHeight);

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
  qualityLabel = new QLabel(this);
  liveTimer = new QTimer(this);
  qualityPoll = new QualityPoll(this);

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
  qualityLabel->setObjectName("routeQuality");
  qualityLabel->hide();
  liveTimer->setInterval(1000);
  // Screen readers read what a control is for; a field's placeholder is gone once it has text.
  accountEdit->setAccessibleName(tr("账号或邮箱"));
  passwordEdit->setAccessibleName(tr("密码"));
  gameList->setAccessibleName(tr("选择游戏"));
  // Long texts (an e-mail address, a node with its IP) wrap rather than widen the column past the window.
  for (QLabel* label : {serviceStatusLabel, accountLabel, membershipStatusLabel, membershipExpiryLabel, routeCardLabel,
                        qualityLabel}) {
    label->setWordWrap(true);
  }
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
  FitToScreen();
}

MainWindow::~MainWindow() = default;

// The left column scrolls, so the window needs no more height than a laptop
// screen offers and never grows by itself when the column does.
void MainWindow::BuildLayout(QPushButton* checkServiceButton) {
  auto* central = new QWidget(this);
  auto* columns = new QHBoxLayout(central);
  columns->setContentsMargins(kColumnMargin, kColumnMargin, kColumnMargin, kColumnMargin);
  columns->setSpacing(24);
  auto* leftScroll = new QScrollArea(central);
  leftScroll->setObjectName("leftScroll");
  leftScroll->setWidgetResizable(true);
  leftScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  leftScroll->setFrameShape(QFrame::NoFrame);
  auto* leftColumn = new QWidget(leftScroll);
  leftColumn->setObjectName("leftColumn");
  auto* left = new QVBoxLayout(leftColumn);
  left->setContentsMargins(0, 0, 0, 0);
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
  left->addWidget(qualityLabel);
  left->addStretch();
  left->addWidget(serviceStatusLabel);
  left->addWidget(checkServiceButton);
  left->addWidget(startButton);
  left->addWidget(launchButton);
  left->addWidget(stopButton);
  leftScroll->setWidget(leftColumn);

  auto* heading = new QLabel(tr("选择游戏"), central);
  heading->setObjectName("sectionTitle");
  right->addWidget(heading);
  right->addWidget(gameList);
  columns->addWidget(leftScroll, 1);
  columns->addLayout(right, 2);
  setCentralWidget(central);
}

// As tall as the left column wants, where the screen has room; never taller than the screen.
void MainWindow::FitToScreen() {
  const QScrollArea* leftScroll = findChild<QScrollArea*>("leftScroll");
  const int wanted = leftScroll->widget()->sizeHint().height() + 2 * kColumnMargin;
  const QRect available = screen()->availableGeometry();
  const int frame = frameGeometry().height() - geometry().height();
  resize(std::min(kInitialWidth, available.width()),
         std::min(std::max(kInitialHeight, wanted), available.height() - (frame > 0 ? frame : kTitleBarAllowance)));
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
  connect(qualityPoll, &QualityPoll::Answered, this,
          [this](bool ok, const QString& replyText, const QString& errorText) { TakeQuality(ok, replyText, errorText); });
  connect(liveTimer, &QTimer::timeout, this, [this] {
    ShowLiveView();
    qualityPoll->Ask();
  });
}
