// zentravolk-acceptance [--installer PATH] [--key-tool PATH] [--pairs N] [CHECK...]
// Runs the named checks (all when none is named) in this order and prints one
// line each, "PASS name: what was seen" or "FAIL name: why"; the exit code is
// 0 only when every check passed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>

#include "kit.h"

namespace {

struct Check {
  const wchar_t* name;
  zv::kit::Outcome (*run)(const zv::kit::Options&);
  bool asStandardUser;  // judges what a standard user meets: meaningless from an administrator's token
};
constexpr Check kChecks[] = {
    {L"identity", zv::kit::CheckIdentity, true},
    {L"caller", zv::kit::CheckCallerAccepted, true},
    {L"pipe-instance", zv::kit::CheckPipeInstance, true},
    {L"x25519", zv::kit::CheckX25519, false},
    {L"key-tool", zv::kit::CheckKeyTool, false},
    {L"full-routing", zv::kit::CheckFullRouting, true},
    {L"network-change", zv::kit::CheckNetworkChange, true},
    {L"upgrade", zv::kit::CheckUpgrade, true},
    {L"recovery", zv::kit::CheckRecovery, false},
    {L"install-folder", zv::kit::CheckInstallFolder, false},
    {L"gain", zv::kit::CheckGain, true},
};

// Whether the kit runs with an administrator's full token (or one it cannot read).
bool Elevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  if (token != nullptr) CloseHandle(token);
  return !read || elevation.TokenIsElevated != 0;
}

int Usage() {
  std::fprintf(stderr, "usage: zentravolk-acceptance [--installer PATH] [--key-tool PATH] [--pairs N] [CHECK...]\nchecks:");
  for (const Check& check : kChecks) std::fprintf(stderr, " %ls", check.name);
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  zv::kit::Options options;
  std::set<std::wstring> chosen;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    const bool valued = argument == L"--installer" || argument == L"--key-tool" || argument == L"--pairs";
    if (valued && i + 1 >= argc) return Usage();
    if (argument == L"--installer") options.installer = argv[++i];
    else if (argument == L"--key-tool") options.keyTool = argv[++i];
    else if (argument == L"--pairs") options.pairs = std::wcstol(argv[++i], nullptr, 10);
    else chosen.insert(argument);
  }
  std::size_t known = 0;
  for (const Check& check : kChecks) known += chosen.count(check.name);
  if (known != chosen.size() || options.pairs < 1) return Usage();

  int failed = 0;
  const bool elevated = Elevated();
  for (const Check& check : kChecks) {
    if (!chosen.empty() && chosen.count(check.name) == 0) continue;
    // The service would accept an administrator where it refuses a user: such a pass proves nothing.
    const zv::kit::Outcome outcome =
        elevated && check.asStandardUser
            ? zv::kit::Fail("the kit runs elevated; run it from a standard user's desktop, not as administrator")
            : check.run(options);
    failed += !outcome.passed;
    std::printf("%s %s: %s\n", outcome.passed ? "PASS" : "FAIL", zv::kit::Utf8(check.name).c_str(),
                outcome.detail.c_str());
    std::fflush(stdout);
  }
  return failed == 0 ? 0 : 1;
}
