// Control frame shared by the client and the service: fixed little-endian
// headers followed by a JSON body. Pure functions over bytes, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zv {

inline constexpr std::uint32_t kControlMagic = 0x47414343;  // "CCAG" on the wire
inline constexpr std::uint16_t kControlVersion = 1;
inline constexpr std::uint32_t kMaxControlBody = 0x10000;
inline constexpr std::size_t kRequestHeaderSize = 20;
inline constexpr std::size_t kReplyHeaderSize = 24;

// QueryQuality answers, while accelerating, how the path to the node does:
// {"state":"accelerating","probes":10,"rtt_ms":23,"loss_percent":0,"silent_ms":400}
// (probes: echoes in the window, at most 10; rtt_ms: the last answered one's,
// -1 when none answered; silent_ms: since the last answer or the start).
// Idle, it answers as QueryState. Its code stands apart from the first three,
// so a service without it answers "unknown_operation", which means no figures.
enum class ControlOperation : std::uint16_t { QueryState = 1, StartTunnel = 2, StopTunnel = 3, QueryQuality = 16 };

enum class ControlStatus : std::uint32_t {
  Ok = 0,
  BadRequest = 1,
  UnsupportedVersion = 2,
  AccessDenied = 3,
  OperationFailed = 4,
};

struct ControlRequestHeader {
  std::uint32_t magic = 0;
  std::uint16_t version = 0;
  std::uint16_t operation = 0;
  std::uint64_t requestId = 0;
  std::uint32_t bodyLength = 0;
};

struct ControlReplyHeader {
  std::uint32_t magic = 0;
  std::uint16_t version = 0;
  std::uint16_t reserved = 0;
  std::uint64_t requestId = 0;
  std::uint32_t status = 0;
  std::uint32_t bodyLength = 0;
};

using RequestHeaderBytes = std::array<std::uint8_t, kRequestHeaderSize>;
using ReplyHeaderBytes = std::array<std::uint8_t, kReplyHeaderSize>;

RequestHeaderBytes EncodeRequestHeader(std::uint16_t operation, std::uint64_t requestId,
                                       std::uint32_t bodyLength);
ControlRequestHeader DecodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes);
ReplyHeaderBytes EncodeReplyHeader(std::uint64_t requestId, std::uint32_t status,
                                   std::uint32_t bodyLength);
ControlReplyHeader DecodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes);
// The client's check of a reply header: ours, this version, this request, a body within the bound.
bool ReplyHeaderAccepted(const ControlReplyHeader& reply, std::uint64_t requestId);

// The reply bodies the service ever sends, byte for byte.
inline constexpr std::string_view kIdleBody = R"({"state":"idle"})";
inline constexpr std::string_view kAcceleratingBody = R"({"state":"accelerating"})";
inline constexpr std::string_view kAccessDeniedBody = R"({"error":"access_denied"})";
inline constexpr std::string_view kInvalidFrameBody = R"({"error":"invalid_frame"})";
inline constexpr std::string_view kUnsupportedVersionBody = R"({"error":"unsupported_version"})";
inline constexpr std::string_view kUnknownOperationBody = R"({"error":"unknown_operation"})";

// Codes are plain lower-case ASCII, so they are inserted without escaping.
std::string ErrorBody(std::string_view code);

}  // namespace zv
