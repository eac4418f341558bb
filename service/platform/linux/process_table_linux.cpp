#include "process_table_linux.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "proc_files_linux.h"

namespace zv {
namespace {

// How long a program's name is read again on every look after its start.
constexpr auto kNameSettles = std::chrono::seconds(2);

std::string FolderOf(std::uint32_t id) { return "/proc/" + std::to_string(id); }

std::string NameIn(const std::string& folder) {
  const std::string executable = ReadExecutable(folder);
  return executable.empty() ? std::string() : ProcessImageName(executable, ReadProcFile(folder + "/cmdline"));
}

// The name a process goes by; empty when it has gone or is a kernel thread. A
// game whose first thread has ended while others go on has only those to read.
std::string NameOf(std::uint32_t id) {
  const std::string folder = FolderOf(id);
  if (std::string name = NameIn(folder); !name.empty()) return name;
  const std::unique_ptr<DIR, int (*)(DIR*)> threads(opendir((folder + "/task").c_str()), closedir);
  // Any of them: they share the program and its command line.
  for (const dirent* entry; threads && (entry = readdir(threads.get())) != nullptr;) {
    if (entry->d_name[0] == '.') continue;
    if (std::string name = NameIn(folder + "/task/" + entry->d_name); !name.empty()) return name;
  }
  return {};
}

// A network namespace by its file: the device and inode that name it.
std::pair<dev_t, ino_t> NetworkOf(const std::string& folder) {
  struct stat file {};
  return stat((folder + "/ns/net").c_str(), &file) == 0 ? std::pair(file.st_dev, file.st_ino) : std::pair(dev_t{}, ino_t{});
}

double SecondsSinceBoot() {
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
}

}  // namespace

void ProcessTable::Reset(std::uint32_t user, NameFilter filter) {
  owner = user;
  network = NetworkOf("/proc/thread-self");
  mayBeGame = std::move(filter);
  entries.clear();
  walked = false;
}

// The owner's, in this network: a program in another (a container's) is none of the split's, whose
// marks stay in this one.
bool ProcessTable::Ours(const std::string& folder) const {
  return ProcessUser(folder) == owner && NetworkOf(folder) == network;
}

void ProcessTable::Read(std::uint32_t id, Clock::time_point read) {
  std::string name = Ours(FolderOf(id)) ? NameOf(id) : std::string();
  if (name.empty()) entries.erase(id);
  else entries[id] = {std::move(name), read};
}

// Only programs started in the last moments are young: the rest is not read again.
bool ProcessTable::Walk(Clock::time_point now) {
  entries.clear();
  const double sinceBoot = SecondsSinceBoot(), ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  walked = ForEachProcessFolder([&](std::uint32_t id, const std::string& folder) {
    if (!Ours(folder)) return;
    const double age = sinceBoot - static_cast<double>(ReadProcessStat(folder).startTime) / ticks;
    const bool young = age < std::chrono::duration<double>(kNameSettles).count();
    Read(id, young ? now : now - kNameSettles);
    // A young one may still be named the game; an older one is kept only when it may be it already.
    const auto entry = entries.find(id);
    if (!young && entry != entries.end() && mayBeGame && !mayBeGame(entry->second.name)) entries.erase(entry);
  });
  return walked;
}

void ProcessTable::Note(std::uint32_t id, bool started, Clock::time_point now) {
  if (!walked) return;  // the walk to come sees it
  if (started) Read(id, now);
  else entries.erase(id);
}

bool ProcessTable::Visit(const Visitor& visit, Clock::time_point now, bool& walkedNow) {
  walkedNow = !walked;
  if (!walked && !Walk(now)) return false;
  for (auto& [id, entry] : entries) {
    if (now - entry.read < kNameSettles) entry.name = NameOf(id);
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

std::vector<std::uint32_t> ProcessTable::Ids() const {
  std::vector<std::uint32_t> ids;
  for (const auto& [id, entry] : entries) ids.push_back(id);
  return ids;
}

}  // namespace zv
