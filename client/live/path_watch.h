// How the path to the node does while an acceleration runs, from the service's
// quality answers: what the window says of it, when it is broken (loud) or back
// (quiet), when the node is dead and the next one offered takes over, and when
// a restarted service must be given the held session again. Qt Core only.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "path_history.h"

namespace zv {

// One QueryQuality answer, as read.
struct PathReading {
  enum class Kind {
    Up,           // the tunnel is built; the figures below
    Repairing,    // the service rebuilds it or waits for a path to the node
    Idle,         // the service holds no tunnel: it restarted
    ServiceGone,  // no service to ask
    NoFigures,    // a service without the quality operation
    Unreadable,   // any other failed exchange
  } kind = Kind::Unreadable;
  int upMs = 0, repairMs = 0, rttMs = -1, lossPercent = 0, silentMs = 0, heardMs = -1, handshakeMs = -1;
  QString reason;  // why it repairs, or why the exchange failed
  bool gameBeforeStart = false;  // split routing began while the game already ran
};
PathReading ReadPath(bool ok, const QString& replyText, const QString& errorText);

// Bounds from WireGuard's own timers and the service's one echo a second.
inline constexpr int kEchoesMissedMs = 3000;      // three echoes in a row unanswered
inline constexpr int kFirstHandshakeMs = 6000;    // a first handshake takes one round trip, retried after 5 s
inline constexpr int kKeepaliveAnswerMs = 12000;  // a live node that drops echoes still answers within 10 s
inline constexpr int kNodeSilentMs = 15000;       // nothing at all from the node for this long: it is dead
inline constexpr int kServiceGoneAfter = 2;       // failed connections in a row
inline constexpr int kResendEveryMs = 5000;

enum class PathHealth {
  Measuring, Connecting, Good, Poor, LatencyUnknown, NoFigures, Unreadable,
  NodeSilent, NoHandshake, Repairing, ServiceGone, ServiceIdle,
};

struct PathVerdict {
  PathHealth health = PathHealth::Measuring;
  QString line{};    // the quality line, before the time accelerated; empty: the time alone
  QString status{};  // the status line while it lasts; empty: the acceleration's own text
  QString tray{};    // what the tray's tip says of the path
  const char* level = "good";  // the line's colour: "good", "poor", "unknown" or "broken"
  bool broken = false;         // loud: the tray's broken icon, one balloon, an alert
  bool tunnelLost = false;     // the service holds no tunnel of ours: nothing to launch into
};
PathVerdict Judge(const PathReading& reading);

// What one answer asks of the window.
struct PathTurn {
  PathVerdict verdict;
  PathSample sample;
  enum class Action { None, SwitchNode, Resend } action = Action::None;
  QJsonObject node;        // SwitchNode: the node to accelerate through next
  bool alarm = false;      // it just broke: one balloon, one alert
  bool gameNotice = false;  // the game ran before the user's start: one balloon
};

// One acceleration's watch over its path, fed each answer with the time it came.
class PathWatch {
 public:
  // A new acceleration through the first of the nodes the backend offered.
  void Begin(const QJsonArray& offeredNodes);
  PathTurn Take(bool ok, const QString& replyText, const QString& errorText, qint64 nowMs);
  QJsonObject Node() const { return current; }

 private:
  bool NodeUnresponsive(const PathReading& reading) const;
  std::optional<QJsonObject> NextNode() const;

  QJsonArray offered;
  QJsonObject current;
  QStringList tried;  // given up: never switched to again
  bool noneLeft = false;
  int failedConnections = 0;
  std::optional<qint64> lastResend;
  bool broken = false;
  // Until said; a start of the watch's own (a switch, a resend) always finds the game running.
  bool gameNoticeDue = true;
};

}  // namespace zv
