// The pipe's server process by GetNamedPipeServerProcessId, its user from its token.
#include <windows.h>
#include <sddl.h>

#include <vector>

#include "server_identity.h"

namespace zv {
namespace {

class Win32PipeServerQueries final : public PipeServerQueries {
 public:
  std::optional<std::uint32_t> ServerProcessId(std::intptr_t pipe) override {
    ULONG process = 0;
    if (!GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(pipe), &process)) return std::nullopt;
    return process;
  }

  std::optional<std::string> ProcessUserSid(std::uint32_t processId) override {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) return std::nullopt;
    std::optional<std::string> sid;
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
      DWORD size = 0;
      GetTokenInformation(token, TokenUser, nullptr, 0, &size);
      std::vector<BYTE> buffer(size);
      LPSTR text = nullptr;
      if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
          ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
      }
      CloseHandle(token);
    }
    CloseHandle(process);
    return sid;
  }
};

}  // namespace

std::unique_ptr<PipeServerQueries> SystemPipeServerQueries() { return std::make_unique<Win32PipeServerQueries>(); }

bool ControlServerTrusted(std::intptr_t descriptor) { return PipeServerIsLocalSystem(*SystemPipeServerQueries(), descriptor); }

}  // namespace zv
