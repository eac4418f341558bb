#include "process_table_linux.h"

#include <time.h>
#include <unistd.h>

#include "proc_files_linux.h"
#include "utf16_text.h"

namespace zv {
namespace {

// How long a program's name is read again on every look after its start.
constexpr auto kNameSettles = std::chrono::seconds(2);

std::string FolderOf(std::uint32_t id) { return "/proc/" + std::to_string(id); }

// The name a process goes by; empty when it has gone or is a kernel thread.
std::u16string NameOf(const std::string& folder) {
  const std::string executable = ReadExecutable(folder);
  if (executable.empty()) return {};
  return Utf16FromUtf8(ProcessImageName(executable, ReadProcFile(folder + "/cmdline"))).value_or(std::u16string());
}

double SecondsSinceBoot() {
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
}

}  // namespace

void ProcessTable::Reset(std::uint32_t user) {
  owner = user;
  entries.clear();
  walked = false;
}

void ProcessTable::Read(std::uint32_t id, Clock::time_point read) {
  const std::string folder = FolderOf(id);
  std::u16string name = ProcessUser(folder) == owner ? NameOf(folder) : std::u16string();
  if (name.empty()) entries.erase(id);
  else entries[id] = {std::move(name), read};
}

// Only programs started in the last moments are young: the rest is not read again.
bool ProcessTable::Walk(Clock::time_point now) {
  entries.clear();
  const double sinceBoot = SecondsSinceBoot(), ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  walked = ForEachProcessFolder([&](std::uint32_t id, const std::string& folder) {
    if (ProcessUser(folder) != owner) return;
    const double age = sinceBoot - static_cast<double>(ReadProcessStat(folder).startTime) / ticks;
    Read(id, age < std::chrono::duration<double>(kNameSettles).count() ? now : now - kNameSettles);
  });
  return walked;
}

void ProcessTable::Note(std::uint32_t id, bool started, Clock::time_point now) {
  if (!walked) return;  // the walk to come sees it
  if (started) Read(id, now);
  else entries.erase(id);
}

bool ProcessTable::Visit(const Visitor& visit, Clock::time_point now) {
  if (!walked && !Walk(now)) return false;
  for (auto& [id, entry] : entries) {
    if (now - entry.read < kNameSettles) entry.name = NameOf(FolderOf(id));
  }
  for (const auto& [id, entry] : entries) {
    if (!entry.name.empty()) visit(id, entry.name);
  }
  return true;
}

bool ProcessTable::Settling(Clock::time_point now) const {
  for (const auto& [id, entry] : entries) {
    if (now - entry.read < kNameSettles) return true;
  }
  return false;
}

}  // namespace zv
