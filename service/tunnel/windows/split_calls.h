// The thin layer under the Windows game steering, one Win32 call per
// function: the split-routing driver's device, the filtering engine, the
// Toolhelp process snapshot and the tracker's clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

namespace zv {

// The driver's control codes: CTL_CODE(device type 0x8000, function, METHOD_BUFFERED, access).
constexpr std::uint32_t SplitControlCode(std::uint32_t function, std::uint32_t access) {
  return 0x8000u << 16 | access << 14 | function << 2;
}
inline constexpr std::uint32_t kSetProcessIds = SplitControlCode(0x801, 2);   // FILE_WRITE_ACCESS
inline constexpr std::uint32_t kGetPendingFlow = SplitControlCode(0x802, 1);  // FILE_READ_ACCESS
inline constexpr std::uint32_t kSetFlowVerdict = SplitControlCode(0x803, 2);
static_assert(kSetProcessIds == 0x8000A004 && kGetPendingFlow == 0x80006008 && kSetFlowVerdict == 0x8000A00C);

using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kNoDevice = -1;  // INVALID_HANDLE_VALUE
using FilterEngineHandle = void*;

// Laid out like GUID, so the shell can hand it over as is.
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
  friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// The fields the service sets on each filtering object; everything else stays
// zero, empty or null (no description, flags, provider data or security descriptor).
struct FilterProvider {
  Guid key;
  const char16_t* name;
};
struct FilterSubLayer {
  Guid key;
  const char16_t* name;
  Guid providerKey;
  std::uint16_t weight;
};
struct FilterCallout {
  Guid key;
  const char16_t* name;
  Guid providerKey;
  Guid applicableLayer;
};
// No conditions, and an empty weight, which lets the engine assign one.
struct CalloutFilter {
  const char16_t* name;
  Guid providerKey;
  Guid layerKey;
  Guid subLayerKey;
  std::uint32_t actionType;
  Guid calloutKey;
};

class SplitCalls {
 public:
  virtual ~SplitCalls() = default;

  // Read and write, shared both ways, open-existing; kNoDevice with the system error on failure.
  virtual DeviceHandle OpenSplitDevice(std::uint32_t& error) = 0;
  // False when the driver refuses; `returned` is how much output it wrote.
  virtual bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                             void* output, std::uint32_t outputLength, std::uint32_t& returned) = 0;
  virtual void CloseSplitDevice(DeviceHandle device) = 0;

  // Each returns the engine's 32-bit result, 0 on success.
  virtual std::uint32_t OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                         FilterEngineHandle& engine) = 0;
  virtual std::uint32_t BeginTransaction(FilterEngineHandle engine) = 0;
  virtual std::uint32_t AbortTransaction(FilterEngineHandle engine) = 0;
  virtual std::uint32_t CommitTransaction(FilterEngineHandle engine) = 0;
  virtual std::uint32_t AddProvider(FilterEngineHandle engine, const FilterProvider& provider) = 0;
  virtual std::uint32_t AddSubLayer(FilterEngineHandle engine, const FilterSubLayer& subLayer) = 0;
  virtual std::uint32_t AddCallout(FilterEngineHandle engine, const FilterCallout& callout) = 0;
  virtual std::uint32_t AddFilter(FilterEngineHandle engine, const CalloutFilter& filter) = 0;
  // Closing a dynamic session removes every object added through it.
  virtual void CloseFilterEngine(FilterEngineHandle engine) = 0;

  using ProcessVisitor = std::function<void(std::uint32_t processId, std::string_view executableName)>;
  // One snapshot of the process table, file names without a path in UTF-8;
  // false, having visited nothing, when none could be taken.
  virtual bool ForEachProcess(const ProcessVisitor& visit) = 0;

  // The tracker's clock and its pause.
  virtual std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
  virtual void Sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }
};

}  // namespace zv
