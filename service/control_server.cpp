#include "control_server.h"


namespace zv {

ControlServer::ControlServer(const StopEvent& stopEvent, TunnelEngine& tunnel, LinkQuality* quality)
    : stopEvent(stopEvent), tunnel(tunnel), quality(quality) {}

ControlServer::~ControlServer() {
  if (listener.joinable()) listener.join();
  std::string ignored;
  TearDownTunnel(ignored);
}

void ControlServer::JoinListener() {
  if (listener.joinable()) listener.join();
}

void ControlServer::Reply(ControlConnection& connection, std::uint64_t requestId, ControlStatus status,
                          std::string_view body) {
  const auto header = EncodeReplyHeader(requestId, static_cast<std::uint32_t>(status),
                                        static_cast<std::uint32_t>(body.size()));
  if (!connection.WriteAll(header.data(), header.size())) return;
  if (!body.empty()) {
    connection.WriteAll(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
  }
}

void ControlServer::HandleConnection(ControlConnection& connection) {
  if (!connection.CallerAllowed()) {
    Reply(connection, 0, ControlStatus::AccessDenied, kAccessDeniedBody);
    return;
  }

  RequestHeaderBytes raw{};
  if (!connection.ReadExact(raw.data(), raw.size())) return;
  const ControlRequestHeader header = DecodeRequestHeader(raw);

  // Magic and length come before the version, and neither reads the body.
  if (header.magic != kControlMagic || header.bodyLength > kMaxControlBody) {
    Reply(connection, header.requestId, ControlStatus::BadRequest, kInvalidFrameBody);
    return;
  }
  if (header.version != kControlVersion) {
    Reply(connection, header.requestId, ControlStatus::UnsupportedVersion, kUnsupportedVersionBody);
    return;
  }

  std::string body(header.bodyLength, '\0');
  if (header.bodyLength != 0 &&
      !connection.ReadExact(reinterpret_cast<std::uint8_t*>(body.data()), body.size())) {
    return;
  }
  Dispatch(connection, header, body);
}

void ControlServer::Dispatch(ControlConnection& connection, const ControlRequestHeader& header,
                             const std::string& body) {
  const std::uint64_t id = header.requestId;
  switch (static_cast<ControlOperation>(header.operation)) {
    case ControlOperation::QueryState:
      Reply(connection, id, ControlStatus::Ok, accelerating.load() ? kAcceleratingBody : kIdleBody);
      return;
    case ControlOperation::StartTunnel: {
      std::string error;
      if (!BringUpTunnel(body, error)) {
        Reply(connection, id, ControlStatus::OperationFailed, ErrorBody(error));
        return;
      }
      accelerating.exchange(true);
      if (quality) quality->Begin();
      Reply(connection, id, ControlStatus::Ok, kAcceleratingBody);
      return;
    }
    case ControlOperation::StopTunnel: {
      std::string error;
      if (!TearDownTunnel(error)) {
        Reply(connection, id, ControlStatus::OperationFailed, ErrorBody(error));
        return;
      }
      accelerating.exchange(false);
      if (quality) quality->End();
      Reply(connection, id, ControlStatus::Ok, kIdleBody);
      return;
    }
    case ControlOperation::QueryQuality:
      if (!accelerating.load()) Reply(connection, id, ControlStatus::Ok, kIdleBody);
      else Reply(connection, id, ControlStatus::Ok, quality ? quality->Body() : std::string(kAcceleratingBody));
      return;
  }
  Reply(connection, id, ControlStatus::BadRequest, kUnknownOperationBody);
}

bool ControlServer::BringUpTunnel(const std::string& requestText, std::string& error) {
  // A second start must never disturb the tunnel that runs.
  if (tunnel.Running()) {
    error = "tunnel_already_running";
    return false;
  }
  return tunnel.BringUp(requestText, error);
}

bool ControlServer::TearDownTunnel(std::string& error) { return tunnel.TearDown(error); }

void ControlServer::NoteTunnelGone() {
  if (!accelerating.load() || tunnel.Held()) return;
  accelerating.exchange(false);
  if (quality) quality->End();
}

}  // namespace zv
