#include "split_platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <unordered_map>
#include <sstream>

#include "little_endian.h"
#include "utf16_text.h"

namespace zv {
namespace {

bool EndsWithExe(std::string_view text) {
  if (text.size() < 4) return false;
  std::string tail(text.substr(text.size() - 4));
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".exe";
}

std::string_view BaseName(std::string_view path, std::string_view separators) {
  const std::size_t cut = path.find_last_of(separators);
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::string ReadProcFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[4096];
  ssize_t got = 0;
  while (text.size() < 65536 && (got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
  close(fd);
  return text;
}

bool ForEachProcessFolder(const std::function<void(std::uint32_t id, const std::string& folder)>& visit) {
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) return false;
  while (const dirent* entry = readdir(proc.get())) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(entry->d_name, &end, 10);
    if (*end == '\0' && id != 0) visit(static_cast<std::uint32_t>(id), std::string("/proc/") + entry->d_name);
  }
  return true;
}

ProcessStat ReadProcessStat(const std::string& folder) {
  // The name in parentheses may hold anything, spaces and ')' included: fields follow the last ')'.
  const std::string text = ReadProcFile(folder + "/stat");
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  ProcessStat stat;
  for (int number = 3; fields >> field; ++number) {  // the state is field 3
    if (number == 4) stat.parent = static_cast<std::uint32_t>(std::strtoul(field.c_str(), nullptr, 10));
    if (number == 22) {
      stat.startTime = std::strtoull(field.c_str(), nullptr, 10);
      return stat;
    }
  }
  return {};
}

std::string ProcessImageName(std::string_view executablePath, std::string_view commandLine) {
  const std::string_view first = commandLine.substr(0, commandLine.find('\0'));
  // wine and Proton put the Windows path of the game in the first argument.
  if (EndsWithExe(first)) return std::string(BaseName(first, "\\/"));
  constexpr std::string_view kDeleted = " (deleted)";  // the link of a replaced executable
  if (executablePath.ends_with(kDeleted)) executablePath.remove_suffix(kDeleted.size());
  return std::string(BaseName(executablePath, "/"));
}

namespace {

constexpr DeviceHandle kDriverDevice = 1;
// wine rewrites a game's first argument in its first moments: a young
// program's name is read again on each look for this long.
constexpr auto kNameSettles = std::chrono::seconds(2);

// The name a process goes by, read from /proc; empty when it has gone.
std::u16string NameOf(const std::string& folder) {
  char target[4096];
  const ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};  // kernel threads have none
  const std::string name =
      ProcessImageName(std::string_view(target, static_cast<std::size_t>(length)), ReadProcFile(folder + "/cmdline"));
  return Utf16FromUtf8(name).value_or(std::u16string());
}

std::string FolderOf(std::uint32_t id) { return "/proc/" + std::to_string(id); }

}  // namespace

struct LinuxSplitPlatform::Cache {
  struct Entry {
    std::u16string name;
    std::chrono::steady_clock::time_point read;
  };
  std::unordered_map<std::uint32_t, Entry> entries;
  bool walked = false;

  void Read(std::uint32_t id, std::chrono::steady_clock::time_point read) {
    std::u16string name = NameOf(FolderOf(id));
    if (name.empty()) entries.erase(id);
    else entries[id] = {std::move(name), read};
  }
  // Only programs started in the last moments are young: the rest is not read again.
  bool Walk(std::chrono::steady_clock::time_point now) {
    entries.clear();
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double sinceBoot = static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    walked = ForEachProcessFolder([&](std::uint32_t id, const std::string& folder) {
      const double age = sinceBoot - static_cast<double>(ReadProcessStat(folder).startTime) / ticks;
      Read(id, age < std::chrono::duration<double>(kNameSettles).count() ? now : now - kNameSettles);
    });
    return walked;
  }
};

LinuxSplitPlatform::LinuxSplitPlatform() : cache(std::make_unique<Cache>()) {}
LinuxSplitPlatform::~LinuxSplitPlatform() = default;

DeviceHandle LinuxSplitPlatform::OpenSplitDevice(std::uint32_t& error) {
  int loadError = 0;
  driver = SplitDriver::Load(loadError);
  if (!driver) {
    error = static_cast<std::uint32_t>(loadError);
    return kNoDevice;
  }
  return kDriverDevice;
}

void LinuxSplitPlatform::CloseSplitDevice(DeviceHandle) { driver.reset(); }

// The process id lists are the only control the kernel programs need.
bool LinuxSplitPlatform::ControlDevice(DeviceHandle, std::uint32_t code, const void* input, std::uint32_t inputLength,
                                       void*, std::uint32_t, std::uint32_t& returned) {
  returned = 0;
  if (!driver || code != kSetProcessIds || inputLength < 8) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(input);
  const auto count = std::min<std::uint32_t>(GetLittleEndian<std::uint32_t>(bytes + 4), (inputLength - 8) / 8);
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < count; ++i) {
    ids.push_back(static_cast<std::uint32_t>(GetLittleEndian<std::uint64_t>(bytes + 8 + 8 * i)));
  }
  driver->SetGameProcesses(ids);
  return true;
}

std::uint32_t LinuxSplitPlatform::OpenFilterEngine(std::uint32_t, std::uint32_t, FilterEngineHandle& engine) {
  engine = driver ? static_cast<FilterEngineHandle>(driver.get()) : nullptr;
  return driver ? 0 : ENODEV;
}

std::uint32_t LinuxSplitPlatform::CommitTransaction(FilterEngineHandle) {
  cache->walked = false;  // what started while nothing reported it is only found by a walk
  return driver ? static_cast<std::uint32_t>(driver->Attach()) : ENODEV;
}

void LinuxSplitPlatform::CloseFilterEngine(FilterEngineHandle) {
  if (driver) driver->Detach();
}

void LinuxSplitPlatform::SetGameNames(const std::vector<std::u16string>& names) {
  if (!driver) return;
  std::vector<std::string> utf8;
  for (const std::u16string& name : names) utf8.push_back(Utf8FromUtf16(name).value_or(""));
  driver->SetGameNames(utf8);
}

bool LinuxSplitPlatform::ForEachProcess(const ProcessVisitor& visit) {
  const auto now = std::chrono::steady_clock::now();
  if (!driver || !driver->Attached()) {
    if (!cache->Walk(now)) return false;
  } else {
    bool complete = cache->walked;
    if (complete) {
      complete = driver->TakeProcessEvents([&](std::uint32_t id, bool started) {
        if (started) cache->Read(id, now);
        else cache->entries.erase(id);
      });
    } else {
      driver->TakeProcessEvents([](std::uint32_t, bool) {});  // the walk below sees them all
    }
    if (!complete && !cache->Walk(now)) return false;
    for (auto& [id, entry] : cache->entries) {
      if (now - entry.read < kNameSettles) entry.name = NameOf(FolderOf(id));
    }
  }
  for (const auto& [id, entry] : cache->entries) {
    if (!entry.name.empty()) visit(id, entry.name);
  }
  return true;
}

}  // namespace zv
