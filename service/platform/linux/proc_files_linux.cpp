#include "proc_files_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

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

std::string ReadExecutable(const std::string& folder) {
  char target[4096];
  const ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return std::string(target, static_cast<std::size_t>(length));
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

std::optional<std::uint32_t> ProcessUser(const std::string& folder) {
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) return std::nullopt;
  return info.st_uid;
}

std::string ProcessImageName(std::string_view executablePath, std::string_view commandLine) {
  const std::string_view first = commandLine.substr(0, commandLine.find('\0'));
  // wine and Proton put the Windows path of the game in the first argument.
  if (EndsWithExe(first)) return std::string(BaseName(first, "\\/"));
  constexpr std::string_view kDeleted = " (deleted)";  // the link of a replaced executable
  if (executablePath.ends_with(kDeleted)) executablePath.remove_suffix(kDeleted.size());
  return std::string(BaseName(executablePath, "/"));
}

}  // namespace zv
