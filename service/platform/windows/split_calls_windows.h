#pragma once

#include "split_calls.h"

namespace zv {

class WindowsSplitCalls final : public SplitCalls {
 public:
  DeviceHandle OpenSplitDevice(std::uint32_t& error) override;
  bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                     void* output, std::uint32_t outputLength, std::uint32_t& returned) override;
  void CloseSplitDevice(DeviceHandle device) override;
  std::uint32_t OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                 FilterEngineHandle& engine) override;
  std::uint32_t BeginTransaction(FilterEngineHandle engine) override;
  std::uint32_t AbortTransaction(FilterEngineHandle engine) override;
  std::uint32_t CommitTransaction(FilterEngineHandle engine) override;
  std::uint32_t AddProvider(FilterEngineHandle engine, const FilterProvider& provider) override;
  std::uint32_t AddSubLayer(FilterEngineHandle engine, const FilterSubLayer& subLayer) override;
  std::uint32_t AddCallout(FilterEngineHandle engine, const FilterCallout& callout) override;
  std::uint32_t AddFilter(FilterEngineHandle engine, const CalloutFilter& filter) override;
  void CloseFilterEngine(FilterEngineHandle engine) override;
  bool ForEachProcess(const ProcessVisitor& visit) override;
};

}  // namespace zv
