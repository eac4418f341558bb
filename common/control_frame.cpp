#include "control_frame.h"

namespace zv {
namespace {

// Explicit byte shuffling keeps the wire little-endian on any host.
template <typename T>
void Put(std::uint8_t* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T Get(const std::uint8_t* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
  return value;
}

}  // namespace

RequestHeaderBytes EncodeRequestHeader(std::uint16_t operation, std::uint64_t requestId,
                                       std::uint32_t bodyLength) {
  RequestHeaderBytes bytes{};
  Put(&bytes[0], kControlMagic);
  Put(&bytes[4], kControlVersion);
  Put(&bytes[6], operation);
  Put(&bytes[8], requestId);
  Put(&bytes[16], bodyLength);
  return bytes;
}

ControlRequestHeader DecodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes) {
  ControlRequestHeader header;
  header.magic = Get<std::uint32_t>(&bytes[0]);
  header.version = Get<std::uint16_t>(&bytes[4]);
  header.operation = Get<std::uint16_t>(&bytes[6]);
  header.requestId = Get<std::uint64_t>(&bytes[8]);
  header.bodyLength = Get<std::uint32_t>(&bytes[16]);
  return header;
}

ReplyHeaderBytes EncodeReplyHeader(std::uint64_t requestId, std::uint32_t status,
                                   std::uint32_t bodyLength) {
  ReplyHeaderBytes bytes{};
  Put(&bytes[0], kControlMagic);
  // Version 1 and the zero reserved field, written as one 32-bit value.
  Put(&bytes[4], std::uint32_t{kControlVersion});
  Put(&bytes[8], requestId);
  Put(&bytes[16], status);
  Put(&bytes[20], bodyLength);
  return bytes;
}

ControlReplyHeader DecodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes) {
  ControlReplyHeader header;
  header.magic = Get<std::uint32_t>(&bytes[0]);
  header.version = Get<std::uint16_t>(&bytes[4]);
  header.reserved = Get<std::uint16_t>(&bytes[6]);
  header.requestId = Get<std::uint64_t>(&bytes[8]);
  header.status = Get<std::uint32_t>(&bytes[16]);
  header.bodyLength = Get<std::uint32_t>(&bytes[20]);
  return header;
}

std::string ErrorBody(std::string_view code) {
  std::string body = R"({"error":")";
  body.append(code);
  body.append(R"("})");
  return body;
}

}  // namespace zv
