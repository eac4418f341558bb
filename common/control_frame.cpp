#include "control_frame.h"

#include "little_endian.h"

namespace zv {

RequestHeaderBytes EncodeRequestHeader(std::uint16_t operation, std::uint64_t requestId,
                                       std::uint32_t bodyLength) {
  RequestHeaderBytes bytes{};
  PutLittleEndian(&bytes[0], kControlMagic);
  PutLittleEndian(&bytes[4], kControlVersion);
  PutLittleEndian(&bytes[6], operation);
  PutLittleEndian(&bytes[8], requestId);
  PutLittleEndian(&bytes[16], bodyLength);
  return bytes;
}

ControlRequestHeader DecodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes) {
  ControlRequestHeader header;
  header.magic = GetLittleEndian<std::uint32_t>(&bytes[0]);
  header.version = GetLittleEndian<std::uint16_t>(&bytes[4]);
  header.operation = GetLittleEndian<std::uint16_t>(&bytes[6]);
  header.requestId = GetLittleEndian<std::uint64_t>(&bytes[8]);
  header.bodyLength = GetLittleEndian<std::uint32_t>(&bytes[16]);
  return header;
}

ReplyHeaderBytes EncodeReplyHeader(std::uint64_t requestId, std::uint32_t status,
                                   std::uint32_t bodyLength) {
  ReplyHeaderBytes bytes{};
  PutLittleEndian(&bytes[0], kControlMagic);
  // Version 1 and the zero reserved field, written as one 32-bit value.
  PutLittleEndian(&bytes[4], std::uint32_t{kControlVersion});
  PutLittleEndian(&bytes[8], requestId);
  PutLittleEndian(&bytes[16], status);
  PutLittleEndian(&bytes[20], bodyLength);
  return bytes;
}

ControlReplyHeader DecodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes) {
  ControlReplyHeader header;
  header.magic = GetLittleEndian<std::uint32_t>(&bytes[0]);
  header.version = GetLittleEndian<std::uint16_t>(&bytes[4]);
  header.reserved = GetLittleEndian<std::uint16_t>(&bytes[6]);
  header.requestId = GetLittleEndian<std::uint64_t>(&bytes[8]);
  header.status = GetLittleEndian<std::uint32_t>(&bytes[16]);
  header.bodyLength = GetLittleEndian<std::uint32_t>(&bytes[20]);
  return header;
}

std::string ErrorBody(std::string_view code) {
  std::string body = R"({"error":")";
  body.append(code);
  body.append(R"("})");
  return body;
}

bool ReplyHeaderAccepted(const ControlReplyHeader& reply, std::uint64_t requestId) {
  return reply.magic == kControlMagic && reply.version == kControlVersion && reply.requestId == requestId &&
         reply.bodyLength <= kMaxControlBody;
}

}  // namespace zv
