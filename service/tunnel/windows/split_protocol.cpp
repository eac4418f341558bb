#include "split_protocol.h"

#include <algorithm>
#include <cstring>

#include "little_endian.h"

namespace zv {

std::vector<std::uint8_t> EncodeProcessIdList(const std::vector<std::uint32_t>& ids) {
  const std::size_t count = std::min(ids.size(), kMaxProcessIds);
  std::vector<std::uint8_t> bytes(8 + 8 * count, 0);
  PutLittleEndian(&bytes[0], kSplitProtocolVersion);
  PutLittleEndian(&bytes[4], static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) PutLittleEndian(&bytes[8 + 8 * i], std::uint64_t{ids[i]});
  return bytes;
}

std::vector<std::uint8_t> EncodeClearedProcessIdList() {
  std::vector<std::uint8_t> bytes(kProcessIdListCapacity, 0);
  PutLittleEndian(&bytes[0], kSplitProtocolVersion);
  return bytes;
}

PendingFlow DecodePendingFlow(const std::array<std::uint8_t, kPendingFlowSize>& buffer, std::uint32_t returned) {
  PendingFlow flow{};
  flow.readable = returned == kPendingFlowSize && GetLittleEndian<std::uint32_t>(&buffer[0]) == 1 &&
                  GetLittleEndian<std::uint32_t>(&buffer[4]) == 2;
  flow.flowId = GetLittleEndian<std::uint64_t>(&buffer[8]);
  std::memcpy(flow.remote, &buffer[48], 4);
  return flow;
}

std::array<std::uint8_t, kFlowVerdictSize> EncodeFlowVerdict(bool routed, std::uint64_t flowId) {
  std::array<std::uint8_t, kFlowVerdictSize> bytes{};
  PutLittleEndian(&bytes[0], kSplitProtocolVersion);
  PutLittleEndian(&bytes[4], std::uint32_t{routed ? 1u : 0u});
  PutLittleEndian(&bytes[8], flowId);
  return bytes;
}

}  // namespace zv
