// How the path to the node does while an acceleration runs, from the service's
// quality answers: what the window says of it, when it is proven (the node
// answered), broken (loud, naming the hop that broke) or back (quiet), what the
// acceleration gains on the way to the game's server, when the node is dead and
// the next one offered takes over, and when a restarted service must be given
// the held session again. Qt Core only.
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
    Busy,         // the service did not answer within the wait
    NoFigures,    // a service without the quality operation
    Unreadable,   // any other failed exchange
  } kind = Kind::Unreadable;
  int upMs = 0, repairMs = 0, rttMs = -1, lossPercent = 0, silentMs = 0, heardMs = -1, handshakeMs = -1;
  QString reason;  // why it repairs, or why the exchange failed
  bool gameBeforeStart = false;  // split routing began while the game already ran
  // The game's server and the node's endpoint measured both ways; -1 and empty where the service measured nothing.
  QString gameAddress, gameProbe;
  int gameDirectMs = -1, gameTunnelMs = -1, nodeDirectMs = -1;
  enum class Uplink { Unknown, Up, Down } uplink = Uplink::Unknown;  // the machine's own path to the node
};
PathReading ReadPath(bool ok, const QString& replyText, const QString& errorText);

// Bounds from WireGuard's own timers and the service's one echo a second. The
// first handshake goes out as the tunnel comes up and a live node answers it
// within one round trip; WireGuard would try again only after 5 s.
inline constexpr int kEchoesMissedMs = 3000;            // three echoes in a row unanswered
inline constexpr int kNextNodeWithoutHandshakeMs = 2500;  // another node is tried after this long
inline constexpr int kFirstHandshakeMs = 6000;          // the retry after 5 s has had its round trip too
// Our echoes are data the node receives each second: a live node sends at
// least its keepalive within WireGuard's 10 s, answered or not.
inline constexpr int kKeepaliveAnswerMs = 12000;
inline constexpr int kNodeSilentMs = 15000;  // nothing at all from a running node for this long: it is dead
inline constexpr int kServiceGoneAfter = 2;  // refused connections in a row
inline constexpr int kResendEveryMs = 5000;
// Figures this close are one figure: the tunnel must beat the direct path by more to be called faster.
inline constexpr int kSameWithinMs = 2;

enum class PathHealth {
  Connecting, Measuring, Good, Poor, LatencyUnknown, NoFigures, Unreadable,
  NodeSilent, NoHandshake, Repairing, ServiceGone, ServiceIdle,
};

struct PathVerdict {
  PathHealth health = PathHealth::Connecting;
  QString line{};    // the quality line, before the time accelerated; empty: the time alone
  QString status{};  // the status line while it lasts; empty: the acceleration's own text
  QString tray{};    // what the tray's tip says of the path
  const char* level = "good";  // the line's colour: "good", "poor", "unknown" or "broken"
  bool broken = false;         // loud: the tray's broken icon, one balloon, an alert
  bool tunnelLost = false;     // the service holds no tunnel of ours: nothing to launch into
  // The node is heard but the game's server answers neither way: said in amber, not loud, as ours is well.
  bool gameSilent = false;
  QString gain{};                  // the route card's line on the game's server; empty: nothing to say yet
  const char* gainLevel = "unknown";  // "faster" (green), "plain" or "unknown"
};
// `lossPercent`: the client's own figure, from the samples since the path came up.
PathVerdict Judge(const PathReading& reading, int lossPercent);

// What one answer asks of the window.
struct PathTurn {
  PathVerdict verdict;
  enum class Action { None, SwitchNode, Resend } action = Action::None;
  QJsonObject node;         // SwitchNode: the node to accelerate through next
  bool alarm = false;       // it just broke: one balloon, one alert
  bool gameNotice = false;  // the game ran before the user's start: one balloon
};

// One acceleration's watch over its path, fed each answer with the time it came.
class PathWatch {
 public:
  // A new acceleration through `currentId` (empty: the first) of the nodes the
  // backend offered; those before it were given up already.
  void Begin(const QJsonArray& offeredNodes, const QString& currentId = {});
  // From a start until the node answers: connecting, never accelerating.
  PathVerdict Connecting() const;
  // `mayReplace`: a session is held that a new one on another node may take over.
  PathTurn Take(bool ok, const QString& replyText, const QString& errorText, qint64 nowMs, bool mayReplace = true);
  QJsonObject Node() const { return current; }
  const PathHistory& History() const { return history; }

 private:
  bool NodeUnresponsive(const PathReading& reading) const;
  std::optional<QJsonObject> NextNode() const;

  QJsonArray offered;
  QJsonObject current;
  QStringList tried;  // given up: never switched to again
  QString switchNote;  // said until the next node answers
  bool noneLeft = false;  // this outage ran out of nodes
  int failedConnections = 0;
  std::optional<qint64> lastResend;
  bool broken = false;
  bool down = true;  // the path was down or being made: the first echo back is from then, and dropped
  PathVerdict last;  // what a busy answer leaves standing
  PathHistory history;
  // Until said; a start of the watch's own (a switch, a resend) always finds the game running.
  bool gameNoticeDue = true;
};

}  // namespace zv
