#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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

// Linux has no split-routing driver: opening it fails with ENOENT, as opening
// an absent device does on Windows, so a split start fails and is undone. The
// process table is /proc's.
class LinuxSplitPlatform final : public SplitPlatform {
 public:
  DeviceHandle OpenSplitDevice(std::uint32_t& error) override;
  bool ControlDevice(DeviceHandle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                     std::uint32_t& returned) override;
  void CloseSplitDevice(DeviceHandle) override {}
  std::uint32_t OpenFilterEngine(std::uint32_t, std::uint32_t, FilterEngineHandle&) override;
  std::uint32_t BeginTransaction(FilterEngineHandle) override;
  std::uint32_t AbortTransaction(FilterEngineHandle) override;
  std::uint32_t CommitTransaction(FilterEngineHandle) override;
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider&) override;
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer&) override;
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout&) override;
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter&) override;
  void CloseFilterEngine(FilterEngineHandle) override {}
  bool ForEachProcess(const ProcessVisitor& visit) override;
};

}  // namespace zv
