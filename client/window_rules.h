// The window's rules that are plain functions of what it knows: which of the
// three actions are possible, the probe value of a node, the Steam address of
// a game, the membership lines, and how long names are cut. Qt Core only, so
// they are tested as tables.
#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace zv {

// Every user-visible text goes through the main window's translation context.
inline QString Tr(const char* text) { return QCoreApplication::translate("QMainWindow", text); }

// Where the acceleration workflow stands; the window keeps no other state of it.
enum class Phase {
  Idle,         // nothing under way
  Preparing,    // a key pair made, the nodes asked for
  Requesting,   // a session asked for
  Running,      // our tunnel was started
  RollingBack,  // the tunnel did not start; the session is being deleted
  Stopping,     // the session is being deleted
  Switching,    // the node did not answer; a session on the next one is asked for
};

// A session asked for that has not come yet, for a start or for a switch.
inline bool SessionAsked(Phase phase) { return phase == Phase::Requesting || phase == Phase::Switching; }

struct ControlFacts {
  Phase phase = Phase::Idle;
  bool signedIn = false;
  bool regionHeld = false;           // the selected game's region came
  bool sessionHeld = false;          // the backend holds a session of ours
  bool serviceAccelerating = false;  // the service's last answer said so
  bool tunnelLost = false;           // the service is gone, or restarted without our tunnel
  bool acceleratedSelected = false;  // the selected game is the one accelerated
};

struct Controls {
  bool start = false;
  bool stop = false;
  bool launch = false;
};

// "开始加速" only when nothing is held or under way; "停止加速" while something
// is held and no deletion is under way; "启动游戏" only into a running tunnel,
// for the game it was made for.
Controls ControlsFor(const ControlFacts& facts);

// A node's "score" as the probe's round-trip time: a whole 32-bit number, else 100; at least 1.
int ProbeValue(const QJsonValue& score);

// "steam://rungameid/N" for a game the client knows by its slug; empty for any other.
QString SteamRunAddress(const QString& slug);

struct MembershipLines {
  QString status;
  QString expiry;
  bool active = false;
};
MembershipLines MembershipOf(const QJsonObject& profile, const QDateTime& nowUtc);

// `text` cut to `length` characters, the last of them an ellipsis.
QString Elided(const QString& text, int length);
// A game's name in a line that wraps: cut to `length`, and broken only between its words.
QString NameInLine(const QString& name, int length);

// The routing of a tunnel start request in one word ("process-beta", "global"
// or "game"), and the status line that says it.
QString ModeOf(const QJsonObject& request);
QString ModeText(const QString& mode);

// The route card's line on the game's server: what the service measured, or, where it cannot
// single out the game's traffic (a whole tunnel, on Windows), that only the node is measured.
QString GainLine(const QString& measured, const QString& mode, bool gameSeenInWholeTunnel);

}  // namespace zv
