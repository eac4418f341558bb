// The client's check of whatever answers on the control channel.
#include <cstring>

#include "control_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < zv::kReplyHeaderSize + 8) return 0;
  zv::ReplyHeaderBytes raw{};
  std::memcpy(raw.data(), data, raw.size());
  std::uint64_t requestId = 0;
  std::memcpy(&requestId, data + raw.size(), 8);
  const zv::ControlReplyHeader reply = zv::DecodeReplyHeader(raw);
  if (zv::ReplyHeaderAccepted(reply, requestId) &&
      (reply.bodyLength > zv::kMaxControlBody || reply.requestId != requestId)) {
    __builtin_trap();
  }
  return 0;
}
