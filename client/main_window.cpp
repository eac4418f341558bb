// The window's construction: widgets, layout, style and the connections of
// every reaction. The reactions live in the files named for their concern.
#include "main_window.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
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
#include <QSettings>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include "api_client.h"
#include "path_graph.h"
#include "quality_poll.h"

namespace {

constexpr char kRegistrationUrl[] = "https://www.zentravolk.com/register";
constexpr int kInitialWidth = 1120;
constexpr int kInitialHeight = 720;
constexpr int kColumnMargin = 28;
constexpr int kCompactMargin = 12;
// Signed out, the full layout needs about 780 px; below that the window goes
// compact, so that every button of the moment is on screen without scrolling
// (a 1366 x 768 laptop, or any screen scaled to 150 %).
constexpr int kCompactBelowHeight = 800;
constexpr int kTitleBarAllowance = 40;
constexpr int kFrameSideAllowance = 16;

// Disabled buttons all look alike (the named buttons' own colours would
// otherwise win over the disabled look), a focused button wears a ring that
// stands out on every background, the member card's labels let the card show
// through, and the scroll bars keep to the palette.
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
QLabel#serviceStatus[alert="true"] { color: #f4bd66; font-weight: 600; }
QFrame#routeBox { border: 1px solid #285540; border-radius: 10px; background: #12251d; }
QFrame#routeBox QLabel { border: none; background: transparent; }
QLabel#routeCard { color: #6be1a9; font-size: 14px; font-weight: 600; }
QLabel#routeGain { color: #6be1a9; font-size: 13px; }
QLabel#routeGain[level="plain"] { color: #e8edf7; }
QLabel#routeGain[level="unknown"] { color: #9aa6bd; }
QLabel#routeQuality { color: #6be1a9; font-size: 13px; padding: 0 4px; }
QLabel#routeQuality[level="poor"], QLabel#routeQuality[level="broken"] { color: #f4bd66; }
QLabel#routeQuality[level="unknown"] { color: #9aa6bd; }
QLineEdit, QListWidget { border: 1px solid #273831; border-radius: 8px; background: #141b28; color: #e8edf7; padding: 10px; }
QLineEdit:focus, QListWidget:focus { border-color: #2dcc85; }
QListWidget::item { min-height: 46px; padding: 8px; border-radius: 6px; }
QListWidget::item:selected { background: #194d39; }
QPushButton { min-height: 42px; border: none; border-radius: 8px; background: #28bd78; color: #ffffff; }
QPushButton:disabled { background: #293244; color: #778199; }
QPushButton#secondaryButton { background: #25322e; }
QPushButton#launchButton { border: 1px solid #2e7d59; background: #173629; color: #72e8ad; }
QPushButton#secondaryButton:disabled, QPushButton#launchButton:disabled { border: none; background: #293244; color: #778199; }
QPushButton:focus, QPushButton#secondaryButton:focus, QPushButton#launchButton:focus { border: 3px solid #f4f7ff; }
QMainWindow[compact="true"] QPushButton { min-height: 34px; }
QMainWindow[compact="true"] QLineEdit { padding: 6px; }
QScrollArea { border: none; }
QScrollBar:vertical { background: #0d111a; width: 8px; margin: 0; }
QScrollBar:horizontal { background: #0d111a; height: 8px; margin: 0; }
QScrollBar::handle { background: #273831; border-radius: 4px; min-height: 32px; min-width: 32px; }
QScrollBar::add-line, QScrollBar::sub-line { height: 0; width: 0; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
)";

// The game list's items are exactly as wide as the list: a long name is cut
// with an ellipsis instead of widening the list behind a scroll bar.
class ListWidthDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return {0, QStyledItemDelegate::sizeHint(option, index).height()};
  }
};

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
  checkServiceButton = new QPushButton(tr("检查服务"), this);
  searchEdit = new QLineEdit(this);
  qualityLabel = new QLabel(this);
  gainLabel = new QLabel(this);
  pathGraph = new PathGraph(pathWatch.History(), this);
  liveTimer = new QTimer(this);
  retireTimer = new QTimer(this);
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
  searchEdit->setPlaceholderText(tr("搜索游戏"));
  gameList->setItemDelegate(new ListWidthDelegate(gameList));
  gameList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  qualityLabel->setObjectName("routeQuality");
  qualityLabel->hide();
  gainLabel->setObjectName("routeGain");
  gainLabel->hide();
  pathGraph->hide();
  liveTimer->setInterval(1000);
  retireTimer->setInterval(30000);
  // Screen readers read what a control is for; a field's placeholder is gone once it has text.
  accountEdit->setAccessibleName(tr("账号或邮箱"));
  passwordEdit->setAccessibleName(tr("密码"));
  searchEdit->setAccessibleName(tr("搜索游戏"));
  gameList->setAccessibleName(tr("选择游戏"));
  // Long texts (an e-mail address, a node with its IP) wrap rather than widen the column past the window.
  for (QLabel* label : {serviceStatusLabel, accountLabel, membershipStatusLabel, membershipExpiryLabel, routeCardLabel,
                        qualityLabel, gainLabel}) {
    label->setWordWrap(true);
  }
  membershipStatusLabel->hide();
  membershipExpiryLabel->hide();
  unendedSessions = QSettings().value(kUnendedSessionsKey).toStringList();

  BuildLayout(checkServiceButton);
  // Enter presses the focused button, as Space does.
  for (QPushButton* button : findChildren<QPushButton*>()) button->setAutoDefault(true);
  ShowControls();

  trayIcon = new QSystemTrayIcon(windowIcon(), this);
  auto* trayMenu = new QMenu(this);
  trayMenu->addAction(tr("打开Zentravolk"));
  trayMenu->addAction(tr("退出并停止加速"));
  trayIcon->setContextMenu(trayMenu);
  trayIcon->setToolTip(tr("Zentravolk游戏加速器"));
  trayIcon->show();

  Connect(checkServiceButton);
  AdaptToScreen();
  MeetRunningAcceleration();
}

MainWindow::~MainWindow() = default;

// The left column scrolls, so the window needs no more height than a laptop
// screen offers; the status line and the actions below it never scroll away.
void MainWindow::BuildLayout(QPushButton* checkServiceButton) {
  auto* central = new QWidget(this);
  auto* columns = new QHBoxLayout(central);
  columns->setSpacing(24);
  auto* leftScroll = new QScrollArea(central);
  leftScroll->setObjectName("leftScroll");
  leftScroll->setWidgetResizable(true);
  leftScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  leftScroll->setFrameShape(QFrame::NoFrame);
  leftScroll->setFocusPolicy(Qt::NoFocus);  // its contents take the focus, not the area
  auto* leftColumn = new QWidget(leftScroll);
  leftColumn->setObjectName("leftColumn");
  auto* left = new QVBoxLayout(leftColumn);
  left->setContentsMargins(0, 0, 0, 0);
  actionPanel = new QWidget(central);
  actionPanel->setObjectName("actionPanel");
  actionPanel->setAccessibleName(tr("加速操作"));
  actions = new QGridLayout(actionPanel);
  actions->setContentsMargins(0, 0, 0, 0);
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
  auto* routeBox = new QFrame(central);
  routeBox->setObjectName("routeBox");
  auto* route = new QVBoxLayout(routeBox);
  route->setSpacing(6);
  route->addWidget(routeCardLabel);
  route->addWidget(gainLabel);

  left->addWidget(title);
  left->addWidget(subtitle);
  left->addSpacing(24);
  left->addWidget(memberCard);
  left->addWidget(accountEdit);
  left->addWidget(passwordEdit);
  left->addWidget(loginButton);
  left->addWidget(registerButton);
  left->addSpacing(14);
  left->addWidget(routeBox);
  left->addWidget(pathGraph);
  left->addStretch();
  leftScroll->setWidget(leftColumn);
  auto* leftSide = new QVBoxLayout();
  leftSide->addWidget(leftScroll, 1);
  leftSide->addWidget(actionPanel);

  auto* heading = new QLabel(tr("选择游戏"), central);
  heading->setObjectName("sectionTitle");
  right->addWidget(heading);
  right->addWidget(searchEdit);
  right->addWidget(gameList);
  columns->addLayout(leftSide, 1);
  columns->addLayout(right, 2);
  setCentralWidget(central);
  // The order of the screen: the left column top to bottom, then the list.
  const QList<QWidget*> order{accountEdit, passwordEdit, loginButton, registerButton, logoutButton,
                              checkServiceButton, startButton, launchButton, stopButton, searchEdit, gameList};
  for (int i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

// The live line and the status line above the four actions, in their specified
// order; two to a row when compact. None of them ever scrolls away.
void MainWindow::PlaceActions() {
  const int perRow = compact ? 2 : 1;
  actions->addWidget(qualityLabel, 0, 0, 1, perRow);
  actions->addWidget(serviceStatusLabel, 1, 0, 1, perRow);
  const QList<QPushButton*> buttons{checkServiceButton, startButton, launchButton, stopButton};
  for (int i = 0; i < buttons.size(); ++i) actions->addWidget(buttons[i], 2 + i / perRow, i % perRow);
  actions->setColumnStretch(0, 1);
  actions->setColumnStretch(1, compact ? 1 : 0);
}

void MainWindow::AdaptToScreen() {
  adaptedTo = screen();
  const QRect available = adaptedTo->availableGeometry();
  compact = available.height() < kCompactBelowHeight;
  const int margin = compact ? kCompactMargin : kColumnMargin;
  auto* columns = static_cast<QHBoxLayout*>(centralWidget()->layout());
  columns->setContentsMargins(margin, margin, margin, margin);
  columns->setStretch(1, compact ? 1 : 2);  // a narrow screen gives the left column's texts room
  findChild<QLabel*>("subtitle")->setVisible(!compact);
  const int cardPadding = compact ? 8 : 14;
  findChild<QFrame*>("routeBox")->layout()->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
  PlaceActions();
  setProperty("compact", compact);
  setStyleSheet(kStyleSheet);  // again, so that the compact rules follow the property

  // As tall as the column wants, the live view (hidden until accelerating) included, where the screen has room.
  const QWidget* leftColumn = findChild<QScrollArea*>("leftScroll")->widget();
  const int liveView = pathGraph->isHidden() ? pathGraph->minimumHeight() + 2 * qualityLabel->fontMetrics().lineSpacing()
                                             : 0;
  const int wanted = leftColumn->sizeHint().height() + liveView +
                     findChild<QWidget*>("actionPanel")->sizeHint().height() + 2 * margin;
  // Before it is first shown the window has no frame to measure.
  const QSize frame = frameGeometry().size() - geometry().size();
  const bool framed = frame.height() > 0;
  resize(std::min(kInitialWidth, available.width() - (framed ? frame.width() : kFrameSideAllowance)),
         std::min(std::max(kInitialHeight, wanted), available.height() - (framed ? frame.height() : kTitleBarAllowance)));
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // The window follows its screen: a move to a smaller or more scaled one makes it compact.
  if (!followingScreen && windowHandle() != nullptr) {
    followingScreen = true;
    connect(windowHandle(), &QWindow::screenChanged, this, [this] { AdaptToScreen(); });
    AdaptToScreen();  // now with its frame
  } else if (screen() != adaptedTo) {
    AdaptToScreen();
  }
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
  connect(api, &ApiClient::SessionStopFailed, this, [this](const QString& message) { SessionStopFailed(message); });
  connect(api, &ApiClient::NodesFailed, this, [this] {
    if (phase != zv::Phase::Preparing) return;  // a start given up meanwhile: its failure was only said
    phase = zv::Phase::Idle;
    ShowControls();
  });
  connect(api, &ApiClient::UpdateAvailable, this,
          [this](const QString& version, const QUrl& url, const QString& notes, bool mandatory, const QString& sha256,
                 qlonglong size) {
            if (UpdatesByInstaller()) OfferUpdate(version, url, notes, mandatory, sha256, size);
            else TellAboutRelease(version, notes, mandatory);
          });
  connect(api, &ApiClient::UpdateDownloadProgress, this,
          [this](qlonglong received, qlonglong total) { ShowDownloadProgress(received, total); });
  connect(api, &ApiClient::UpdateDownloadFailed, this, [this](const QString& message) { DownloadFailed(message); });
  connect(api, &ApiClient::UpdateDownloaded, this, [this](const QString& path) { OfferInstall(path); });
  connect(api, &ApiClient::RequestFailed, this, [this](const QString& message) { RequestFailed(message); });
  connect(checkServiceButton, &QPushButton::clicked, this, [this] { RefreshServiceState(kQueryState, {}); });
  connect(startButton, &QPushButton::clicked, this, [this] { BeginAcceleration(); });
  connect(stopButton, &QPushButton::clicked, this, [this] { StopAcceleration(); });
  connect(launchButton, &QPushButton::clicked, this, [this] { LaunchSelectedGame(); });
  // Ours beside the specified ones: the keyboard, the search, the path and the sessions left to end.
  connect(accountEdit, &QLineEdit::returnPressed, this, [this] { SubmitLogin(); });
  connect(passwordEdit, &QLineEdit::returnPressed, this, [this] { SubmitLogin(); });
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] { close(); });
  connect(searchEdit, &QLineEdit::textChanged, this, [this](const QString& text) { FilterGames(text); });
  connect(qualityPoll, &QualityPoll::Answered, this,
          [this](bool ok, const QString& replyText, const QString& errorText) { TakeQuality(ok, replyText, errorText); });
  connect(liveTimer, &QTimer::timeout, this, [this] {
    ShowLiveView();
    qualityPoll->Ask();
  });
  connect(api, &ApiClient::SessionRetired, this, [this](const QString& session, bool gone) { SessionRetired(session, gone); });
  connect(retireTimer, &QTimer::timeout, this, [this] { RetireSessions(); });
}
