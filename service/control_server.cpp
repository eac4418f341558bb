#include "control_server.h"

#include <algorithm>

#include "address_text.h"
#include "secret.h"

namespace zv {
namespace {

long long MillisecondsSince(UpkeepClock::time_point then, UpkeepClock::time_point now) {
  return std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count());
}

long long MillisecondsSince(std::optional<UpkeepClock::time_point> then, UpkeepClock::time_point now) {
  return then ? MillisecondsSince(*then, now) : -1;
}

std::string Member(const char* name, long long value) { return ",\"" + std::string(name) + "\":" + std::to_string(value); }

}  // namespace

ControlServer::ControlServer(const StopEvent& stopEvent, TunnelEngine& tunnel, LinkQuality* quality, GainMeter* gain)
    : stopEvent(stopEvent), tunnel(tunnel), quality(quality), gain(gain) {}

ControlServer::~ControlServer() {
  if (listener.joinable()) listener.join();
  std::string ignored;
  tunnel.TearDown(ignored);
  FollowState();
}

void ControlServer::JoinListener() {
  if (listener.joinable()) listener.join();
}

void ControlServer::HandleConnection(ControlConnection& connection, const RunOnOwner& owner) {
  const auto reply = [&](std::uint64_t requestId, ControlStatus status, std::string_view body) {
    const auto header = EncodeReplyHeader(requestId, static_cast<std::uint32_t>(status),
                                          static_cast<std::uint32_t>(body.size()));
    if (!connection.WriteAll(header.data(), header.size())) return;
    if (!body.empty()) connection.WriteAll(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
  };
  if (!connection.CallerAllowed()) return reply(0, ControlStatus::AccessDenied, kAccessDeniedBody);

  RequestHeaderBytes raw{};
  if (!connection.ReadExact(raw.data(), raw.size())) return;
  const ControlRequestHeader header = DecodeRequestHeader(raw);
  // Magic and length come before the version, and neither reads the body.
  if (header.magic != kControlMagic || header.bodyLength > kMaxControlBody) {
    return reply(header.requestId, ControlStatus::BadRequest, kInvalidFrameBody);
  }
  if (header.version != kControlVersion) {
    return reply(header.requestId, ControlStatus::UnsupportedVersion, kUnsupportedVersionBody);
  }
  Secret body = Secret::Sized(header.bodyLength);  // a start's body holds its private key
  if (header.bodyLength != 0 && !connection.ReadExact(body.data(), body.size())) return;

  Answer answer;
  const auto dispatch = [&] { answer = Dispatch(header.operation, body.View(), connection.CallerUser()); };
  if (owner) owner(dispatch);
  else dispatch();
  reply(header.requestId, answer.status, answer.body);
}

ControlServer::Answer ControlServer::Dispatch(std::uint16_t operation, std::string_view body, std::uint32_t caller) {
  const auto stateBody = [&] {
    return std::string(tunnel.State().phase == TunnelPhase::Idle ? kIdleBody : kAcceleratingBody);
  };
  Answer answer;
  std::string error;
  switch (static_cast<ControlOperation>(operation)) {
    case ControlOperation::QueryState:
      answer = {ControlStatus::Ok, stateBody()};
      break;
    case ControlOperation::StartTunnel:
    case ControlOperation::StopTunnel: {
      // Failed requests change nothing: the state is the engine's, and only a success moves it.
      const bool done = static_cast<ControlOperation>(operation) == ControlOperation::StartTunnel
                            ? tunnel.BringUp(body, caller, error)
                            : tunnel.TearDown(error);
      answer = done ? Answer{ControlStatus::Ok, stateBody()} : Answer{ControlStatus::OperationFailed, ErrorBody(error)};
      break;
    }
    case ControlOperation::QueryQuality:
      answer = {ControlStatus::Ok, QualityBody()};
      break;
    default:
      return {ControlStatus::BadRequest, std::string(kUnknownOperationBody)};
  }
  FollowState();
  return answer;
}

std::optional<std::chrono::milliseconds> ControlServer::Upkeep(bool news) {
  const auto next = tunnel.Upkeep(news, UpkeepClock::now());
  FollowState();
  return next;
}

void ControlServer::FollowState() {
  const TunnelState& state = tunnel.State();
  if (gain != nullptr) {
    if (state.phase == TunnelPhase::Idle) gain->End();
    else gain->Follow(state.ends);
  }
  if (quality == nullptr) return;
  if (state.phase == TunnelPhase::Up && measuredUp != state.ups) {
    measuredUp = state.ups;
    quality->Begin();
  } else if (state.phase != TunnelPhase::Up && measuredUp != 0) {
    measuredUp = 0;
    quality->End();
  }
}

std::string ControlServer::QualityBody() const {
  const TunnelState& state = tunnel.State();
  if (state.phase == TunnelPhase::Idle) return std::string(kIdleBody);
  const auto now = UpkeepClock::now();
  const bool up = state.phase == TunnelPhase::Up;
  const QualityFigures figures = up && quality != nullptr ? quality->Figures() : QualityFigures{};
  // Anything from the node counts as heard: an echo answered, or the peer's counter moving.
  std::optional<UpkeepClock::time_point> heard = state.heard;
  if (figures.lastAnswer && (!heard || *figures.lastAnswer > *heard)) heard = figures.lastAnswer;
  return std::string(R"({"state":"accelerating","path":")") + (up ? "up" : "repairing") +
         "\"" + Member("repair_ms", up ? 0 : MillisecondsSince(state.since, now)) + R"(,"reason":")" + state.reason +
         "\"" + Member("up_ms", up ? MillisecondsSince(state.since, now) : 0) +
         Member("probes", static_cast<long long>(figures.probes)) + Member("rtt_ms", figures.rttMs) +
         Member("loss_percent", figures.lossPercent) +
         Member("silent_ms", MillisecondsSince(figures.lastAnswer.value_or(state.since), now)) +
         Member("heard_ms", MillisecondsSince(heard, now)) +
         Member("handshake_ms", MillisecondsSince(state.handshake, now)) +
         R"(,"game_before_start":)" + (state.gameBeforeStart ? "true" : "false") + GainMembers() + "}";
}

// Added after every other member: a figure not measured is left out.
std::string ControlServer::GainMembers() const {
  if (gain == nullptr) return {};
  const GainFigures figures = gain->Figures();
  std::string members;
  if (figures.gameServer) members += R"(,"game_address":")" + Ipv4Text(figures.gameServer->Bytes()) + "\"";
  static constexpr const char* kProbeNames[] = {"none", "icmp", "tcp"};
  members += R"(,"game_probe":")" + std::string(kProbeNames[static_cast<int>(figures.probe)]) + "\"";
  if (figures.gameDirectMs) members += Member("game_direct_ms", *figures.gameDirectMs);
  if (figures.gameTunnelMs) members += Member("game_tunnel_ms", *figures.gameTunnelMs);
  if (figures.nodeDirectMs) members += Member("node_direct_ms", *figures.nodeDirectMs);
  if (figures.uplink) members += std::string(R"(,"uplink":")") + (*figures.uplink ? "up" : "down") + "\"";
  return members;
}

}  // namespace zv
