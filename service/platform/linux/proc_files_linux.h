// What /proc says of processes: the readers every part of the Linux service uses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zv {

// Each process's id and folder ("/proc/<id>"); false when /proc cannot be read.
bool ForEachProcessFolder(const std::function<void(std::uint32_t id, const std::string& folder)>& visit);
// A /proc file whole (at most 64 KiB); empty when it cannot be read.
std::string ReadProcFile(const std::string& path);
// The target of a process's "exe" link; empty for kernel threads and processes gone.
std::string ReadExecutable(const std::string& folder);

// From a process folder's "stat": its parent and its start time (clock ticks
// since boot), which together with the id tell one process from a later one
// that got the same id. All zero when it cannot be read.
struct ProcessStat {
  std::uint32_t parent = 0;
  std::uint64_t startTime = 0;
};
ProcessStat ReadProcessStat(const std::string& folder);
// The user the process runs as (the owner of its folder); nothing when it is gone.
std::optional<std::uint32_t> ProcessUser(const std::string& folder);

// The name the tracker matches for one process: the `.exe` file a Windows game
// runs under wine or Proton (its first argument), otherwise the base name of
// the executable. `commandLine` is /proc's, its arguments ended by NULs.
std::string ProcessImageName(std::string_view executablePath, std::string_view commandLine);

}  // namespace zv
