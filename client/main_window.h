// The client's only window: sign-in, game list, the acceleration workflow and
// the tray. Every reaction is a lambda connected in the constructor. One class
// over files by concern: main_window.cpp (construction and layout), _workflow
// (the acceleration), _live (what shows while it runs: the path, the time, the
// tray's state, the game's mark; a dead node replaced, a restarted service
// resumed), _account (the account panel), _tray (closing, exiting, stopping
// without the backend), _updates (the update prompts).
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include "app_identity.h"
#include "control_frame.h"
#include "kept_acceleration.h"
#include "path_watch.h"
#include "window_rules.h"

class ApiClient;
class QGridLayout;
class QListWidgetItem;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QUrl;
class QualityPoll;
class PathGraph;
struct ControlReply;

class MainWindow : public QMainWindow {
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Runs one control exchange and shows its outcome; true when the service answered with status 0.
  bool RefreshServiceState(quint16 operation, const QByteArray& body);
  bool GenerateKeyPair();
  // Shown normally, raised and activated: the tray's "打开Zentravolk", or a second start of the client.
  void ShowWindow();
  // The status line; amber for what the user should heed (a broken path, a busy service).
  void ShowNote(const QString& text, bool amber = false);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // The tray balloon; its own hook because no platform lets a program read a balloon back.
  virtual void ShowTrayMessage(const QString& title, const QString& text);
  // Whether a newer release is downloaded and installed here, or brought by the package manager.
  virtual bool UpdatesByInstaller() const { return zv::kUpdatesByInstaller; }

 private:
  static constexpr quint16 kQueryState = static_cast<quint16>(zv::ControlOperation::QueryState);
  static constexpr quint16 kStartTunnel = static_cast<quint16>(zv::ControlOperation::StartTunnel);
  static constexpr quint16 kStopTunnel = static_cast<quint16>(zv::ControlOperation::StopTunnel);
  static constexpr int kGameIdRole = Qt::UserRole;  // of each game's list item
  static constexpr int kGameSlugRole = Qt::UserRole + 1;
  static constexpr char kUnendedSessionsKey[] = "sessions/unended";

  void BuildLayout(QPushButton* checkServiceButton);
  void PlaceActions();
  // Compact where the screen is short; as tall as the left column wants where it has room.
  void AdaptToScreen();
  void Connect(QPushButton* checkServiceButton);
  // The one place that enables and disables the three actions, from what the window knows.
  void ShowControls();
  // Once at start: an acceleration the service runs is taken up, offered to stop, or ended.
  void MeetRunningAcceleration();
  void Adopt(const zv::KeptAcceleration& kept);
  void KeepRunningAcceleration();
  // The reactions, in the order of the connection table.
  void ExitWithStop();
  void SubmitLogin();
  void SignOut();
  void SignInAccepted(const QString& account);
  void ApplyProfile(const QJsonObject& profile);
  void FillGames(const QJsonArray& games);
  void FilterGames(const QString& text);
  void SelectGame(QListWidgetItem* current);
  void TakeRegion(const QString& replyGameId, const QJsonArray& regions);
  void ChooseNode(const QString& replyGameId, const QString& replyRegionId, const QJsonArray& nodes);
  void RequestSession(const QJsonObject& node);
  void StartTunnel(const QJsonObject& session);
  void AccelerationFailed(const QString& message);
  void SessionStopped();
  void SessionStopFailed(const QString& message);
  void RequestFailed(const QString& message);  // only said: it bears on no stop and no start
  // An exit whose session deletion was refused must not leave an invisible process behind.
  void ExitStalled();
  // A stop whose session deletion was refused: try again, or stop here and end the session later.
  void StopStalled(const QString& message);
  void OfferUpdate(const QString& version, const QUrl& downloadUrl, const QString& releaseNotes, bool mandatory,
                   const QString& sha256, qlonglong sizeBytes);
  void TellAboutRelease(const QString& version, const QString& releaseNotes, bool mandatory);
  void ShowDownloadProgress(qlonglong received, qlonglong total);
  void DownloadFailed(const QString& message);
  void OfferInstall(const QString& installerPath);
  void LaunchSelectedGame();
  void BeginAcceleration();
  void StopAcceleration();
  // The session forgotten here and the tunnel down; `status` says how it ended. A
  // stop the service refuses leaves the acceleration shown, and stoppable again.
  void EndLocally(const QString& status);
  // Sessions the backend may still hold: deleted in the background, and again at the next sign-in.
  void RetireLater(const QString& session);
  void RetireSessions();
  void SessionRetired(const QString& session, bool gone);
  // While accelerating: the path each second, the time since the start, the
  // tray's icon and tool tip, the game's mark in the list.
  void BeginLiveView(const QDateTime& since, const QString& nodeId = {});
  void EndLiveView();
  void TakeQuality(bool ok, const QString& replyText, const QString& errorText);
  // A new session (fresh key) on `node`, the current one ended in the background; `note` says why.
  void SwitchNode(const QJsonObject& node, const QString& note);
  void ResendStart();
  void ShowLiveView();
  void ShowPathStatus();  // the path's word while it has one, else the acceleration's own
  void ShowTrayState(const QString& state, const char* look);
  void MarkAcceleratedGame(bool marked);

  QLabel* serviceStatusLabel;
  QLabel* accountLabel;
  QLabel* membershipStatusLabel;
  QLabel* membershipExpiryLabel;
  QLabel* routeCardLabel;
  QLineEdit* accountEdit;
  QLineEdit* passwordEdit;
  QPushButton* loginButton;
  QPushButton* registerButton;
  QPushButton* logoutButton;
  QListWidget* gameList;
  QPushButton* startButton;
  QPushButton* stopButton;
  QPushButton* launchButton;
  ApiClient* api;
  QString gameId;
  QString regionId;
  QString gameSlug;
  QString sessionId;
  QString privateKey;
  QString publicKey;
  QSystemTrayIcon* trayIcon;
  bool quitRequested = false;

  zv::Phase phase = zv::Phase::Idle;
  bool serviceAccelerating = false;  // as the service last answered
  QString startFailure;  // why the last tunnel start failed, shown until its rollback is done
  QPushButton* checkServiceButton;
  QLineEdit* searchEdit;
  QGridLayout* actions;
  QScreen* adaptedTo = nullptr;
  bool followingScreen = false;
  bool compact = false;
  QStringList unendedSessions;  // also kept in the settings until the backend confirms
  QTimer* retireTimer;

  QWidget* actionPanel;
  bool focusStartWhenReady = false;  // after a sign-in, once 开始加速 can be pressed

  // The acceleration in use, kept apart from the selection, which may move on.
  QString acceleratedGameId, acceleratedRegionId, acceleratedGameName;
  QJsonArray offeredNodes;
  QJsonObject requestedNode;  // the node the latest session was asked for
  QJsonObject heldRequest;    // the tunnel start request, to give a restarted service again; none when taken up
  QString accelerationMode;   // zv::ModeOf's word
  QString egressIp;
  QString accelerationText;   // the status line while the path is well
  QLabel* qualityLabel;
  QLabel* gainLabel;  // in the route card: the game's server, directly and through the tunnel
  PathGraph* pathGraph;
  QTimer* liveTimer;
  QualityPoll* qualityPoll;
  QDateTime acceleratedSince;  // invalid: no acceleration shown
  QElapsedTimer watchClock;
  zv::PathWatch pathWatch;
  zv::PathVerdict pathVerdict;
};
