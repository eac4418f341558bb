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
};
constexpr Check kChecks[] = {
    {L"identity", zv::kit::CheckIdentity},
    {L"caller", zv::kit::CheckCallerAccepted},
    {L"pipe-instance", zv::kit::CheckPipeInstance},
    {L"x25519", zv::kit::CheckX25519},
    {L"key-tool", zv::kit::CheckKeyTool},
    {L"full-routing", zv::kit::CheckFullRouting},
    {L"network-change", zv::kit::CheckNetworkChange},
    {L"upgrade", zv::kit::CheckUpgrade},
    {L"install-folder", zv::kit::CheckInstallFolder},
    {L"gain", zv::kit::CheckGain},
};

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
  for (const Check& check : kChecks) {
    if (!chosen.empty() && chosen.count(check.name) == 0) continue;
    const zv::kit::Outcome outcome = check.run(options);
    failed += !outcome.passed;
    std::printf("%s %s: %s\n", outcome.passed ? "PASS" : "FAIL", zv::kit::Utf8(check.name).c_str(),
                outcome.detail.c_str());
    std::fflush(stdout);
  }
  return failed == 0 ? 0 : 1;
}
