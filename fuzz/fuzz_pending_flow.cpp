// Whatever the split driver returns for a pending flow, with any claimed length.
#include <array>
#include <cstring>

#include "split_protocol.h"
#include "split_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t returned = 0;
  std::memcpy(&returned, data, 4);
  std::array<std::uint8_t, zv::kPendingFlowSize> record{};
  std::memcpy(record.data(), data + 4, std::min(size - 4, record.size()));
  const zv::PendingFlow flow = zv::DecodePendingFlow(record, returned);
  if (flow.readable && returned != zv::kPendingFlowSize) __builtin_trap();
  const auto verdict = zv::EncodeFlowVerdict(zv::RoutedThroughTunnel(flow.remote), flow.flowId);
  (void)verdict;
  return 0;
}
