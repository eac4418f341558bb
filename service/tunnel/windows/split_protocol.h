// The exchange with the split-routing driver, as bytes (little-endian).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "split_calls.h"

namespace zv {

inline constexpr std::uint32_t kSplitProtocolVersion = 1;
inline constexpr std::size_t kMaxProcessIds = 128;
inline constexpr std::size_t kProcessIdListCapacity = 8 + 8 * kMaxProcessIds;  // 1032
inline constexpr std::size_t kPendingFlowSize = 64;
inline constexpr std::size_t kFlowVerdictSize = 16;

// Version, count and at most the first 128 ids, each zero-extended to 64 bits: 8 + 8 x count bytes.
std::vector<std::uint8_t> EncodeProcessIdList(const std::vector<std::uint32_t>& ids);
// The clearing list: the whole 1032-byte buffer with count 0.
std::vector<std::uint8_t> EncodeClearedProcessIdList();

// One flow the driver holds, waiting for its verdict.
struct PendingFlow {
  bool readable = false;  // a flow the service can judge (IPv4, a known record)
  std::uint64_t flowId = 0;
  std::uint8_t remote[4] = {};  // first octet first
};

// Readable: exactly 64 bytes, version 1, family 2 (IPv4); the flow id is read from the buffer in any case.
PendingFlow DecodePendingFlow(const std::array<std::uint8_t, kPendingFlowSize>& buffer, std::uint32_t returned);

std::array<std::uint8_t, kFlowVerdictSize> EncodeFlowVerdict(bool routed, std::uint64_t flowId);

}  // namespace zv
