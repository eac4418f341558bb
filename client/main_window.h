// The client's only window: sign-in, game list, the acceleration workflow and
// the tray. Every reaction is a lambda connected in the constructor. One class
// over files by concern: main_window.cpp (construction), _workflow (the
// acceleration), _live (what shows while it runs: the path's quality, the time,
// the tray's state, the game's mark), _account (the account panel), _tray
// (closing and exiting), _updates (the update prompts).
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include "control_frame.h"

class ApiClient;
class QJsonArray;
class QJsonObject;
class QListWidgetItem;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QUrl;
class QualityPoll;

class MainWindow : public QMainWindow {
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Runs one control exchange and shows its outcome; true when the service answered with status 0.
  bool RefreshServiceState(quint16 operation, const QByteArray& body);
  bool GenerateKeyPair();
  // Shown normally, raised and activated: the tray's "打开Zentravolk", or a second start of the client.
  void ShowWindow();

 protected:
  void closeEvent(QCloseEvent* event) override;
  // The tray balloon; its own hook because no platform lets a program read a balloon back.
  virtual void ShowTrayMessage(const QString& title, const QString& text);

 private:
  static constexpr quint16 kQueryState = static_cast<quint16>(zv::ControlOperation::QueryState);
  static constexpr quint16 kStartTunnel = static_cast<quint16>(zv::ControlOperation::StartTunnel);
  static constexpr quint16 kStopTunnel = static_cast<quint16>(zv::ControlOperation::StopTunnel);
  static constexpr int kGameIdRole = Qt::UserRole;  // of each game's list item
  static constexpr int kGameSlugRole = Qt::UserRole + 1;

  void BuildLayout(QPushButton* checkServiceButton);
  void FitToScreen();
  void Connect(QPushButton* checkServiceButton);
  // The reactions, in the order of the connection table.
  void ExitWithStop();
  void SubmitLogin();
  void SignOut();
  void SignInAccepted(const QString& account);
  void ApplyProfile(const QJsonObject& profile);
  void FillGames(const QJsonArray& games);
  void SelectGame(QListWidgetItem* current);
  void TakeRegion(const QString& replyGameId, const QJsonArray& regions);
  void ChooseNode(const QString& replyGameId, const QString& replyRegionId, const QJsonArray& nodes);
  void StartTunnel(const QJsonObject& session);
  void AccelerationFailed(const QString& message);
  void SessionStopped();
  void RequestFailed(const QString& message);
  // An exit whose session deletion was refused must not leave an invisible process behind.
  void ExitStalled();
  void OfferUpdate(const QString& version, const QUrl& downloadUrl, const QString& releaseNotes, bool mandatory,
                   const QString& sha256, qlonglong sizeBytes);
  void ShowDownloadProgress(qlonglong received, qlonglong total);
  void DownloadFailed(const QString& message);
  void OfferInstall(const QString& installerPath);
  void LaunchSelectedGame();
  void BeginAcceleration();
  void StopAcceleration();
  // "开始加速" is offered only while no session is held: a second one would
  // overwrite the first, which would then never be deleted at the backend.
  void OfferStart(bool condition);
  // While accelerating: the path's quality each second, the time since the
  // start, the tray's icon and tool tip, and the game's mark in the list.
  void BeginLiveView();
  void EndLiveView();
  void TakeQuality(bool ok, const QString& replyText, const QString& errorText);
  void SetQuality(const QString& text, const char* level, const QString& trayText);
  void ShowLiveView();
  void ShowTrayState(const QString& state, bool accelerating);
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
  QString startFailure;  // why the last tunnel start failed, shown until its rollback is done
  QLabel* qualityLabel;
  QTimer* liveTimer;
  QualityPoll* qualityPoll;
  QElapsedTimer acceleratedFor;
  QString acceleratedGameId, acceleratedGameName;
  QString qualityText;      // the path's figures, or why there are none
  QString qualityLevel;     // "good", "poor" or "broken"; the line's colour
  QString qualityTrayText;  // what the tray's tool tip says of the path
};
