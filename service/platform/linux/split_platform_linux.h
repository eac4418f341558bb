#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "split_driver_linux.h"
#include "split_platform.h"

namespace zv {

// The name the tracker matches for one process: the `.exe` file a Windows game
// runs under wine or Proton (its first argument), otherwise the base name of
// the executable. `commandLine` is /proc's, its arguments ended by NULs.
std::string ProcessImageName(std::string_view executablePath, std::string_view commandLine);

// Each process's id and folder ("/proc/<id>"); false when /proc cannot be read.
bool ForEachProcessFolder(const std::function<void(std::uint32_t id, const std::string& folder)>& visit);
// A /proc file whole (at most 64 KiB); empty when it cannot be read.
std::string ReadProcFile(const std::string& path);

// From a process folder's "stat": its parent and its start time (clock ticks
// since boot), which together with the id tell one process from a later one
// that got the same id. All zero when it cannot be read.
struct ProcessStat {
  std::uint32_t parent = 0;
  std::uint64_t startTime = 0;
};
ProcessStat ReadProcessStat(const std::string& folder);

// The smart split on Linux. Its "driver" is the kernel programs of
// SplitDriver: opening the device loads them, the filtering transaction's
// commit attaches them and closing the filtering session detaches them; the
// process id lists become the programs' map. Flows are steered by the mark in
// the kernel, so none is ever pending. A kernel or mount that cannot run them
// refuses the device, as an absent driver does on Windows.
class LinuxSplitPlatform final : public SplitPlatform {
 public:
  LinuxSplitPlatform();
  ~LinuxSplitPlatform() override;
  DeviceHandle OpenSplitDevice(std::uint32_t& error) override;
  bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                     void* output, std::uint32_t outputLength, std::uint32_t& returned) override;
  void CloseSplitDevice(DeviceHandle device) override;
  std::uint32_t OpenFilterEngine(std::uint32_t, std::uint32_t, FilterEngineHandle& engine) override;
  std::uint32_t BeginTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t AbortTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t CommitTransaction(FilterEngineHandle engine) override;
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider&) override { return 0; }
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer&) override { return 0; }
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout&) override { return 0; }
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter&) override { return 0; }
  void CloseFilterEngine(FilterEngineHandle engine) override;
  void SetGameNames(const std::vector<std::u16string>& names) override;
  // /proc read once and then only where the kernel reports a program's start
  // or end; without the driver, walked whole each time.
  bool ForEachProcess(const ProcessVisitor& visit) override;

 private:
  struct Cache;
  std::unique_ptr<SplitDriver> driver;
  std::unique_ptr<Cache> cache;
};

}  // namespace zv
