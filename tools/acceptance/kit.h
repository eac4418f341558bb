// The Windows acceptance kit: what only a real Windows 10/11 machine can
// settle, run there by a maintainer as a standard user after installing.
// Each check answers PASS or FAIL with what it saw.
#pragma once

#include <cstdint>
#include <string>
#include <windows.h>

namespace zv::kit {

struct Outcome {
  bool passed = false;
  std::string detail;
};
inline Outcome Pass(std::string detail) { return {true, std::move(detail)}; }
inline Outcome Fail(std::string detail) { return {false, std::move(detail)}; }

struct Options {
  std::wstring installer;  // the installer to upgrade with
  std::wstring keyTool;    // empty: orvekind.exe beside the installed service
  int pairs = 32;
};

// The service's pipe, opened as the client opens it (waiting while it is busy).
HANDLE OpenServicePipe();
// One exchange with the installed service, after the client's own identity
// check: the reply's status and body, or why there was none.
struct Answer {
  bool replied = false;
  std::uint32_t status = 0;
  std::string body;
  std::string failure;
};
Answer AskService(std::uint16_t operation, const std::string& body);
// Runs a program hidden, with an administrator's consent: its process (to wait
// for and close), or null with the reason in GetLastError.
HANDLE RunElevated(const wchar_t* program, const std::wstring& arguments);
// The folder of the registered service program, from the service manager; empty when not registered.
std::wstring ServiceFolder();
std::string Utf8(const std::wstring& text);
std::string Describe(const Answer& answer);

Outcome CheckIdentity(const Options&);
Outcome CheckCallerAccepted(const Options&);
Outcome CheckX25519(const Options&);
Outcome CheckKeyTool(const Options&);
Outcome CheckFullRouting(const Options&);
Outcome CheckNetworkChange(const Options&);
Outcome CheckUpgrade(const Options&);
Outcome CheckRecovery(const Options&);
Outcome CheckInstallFolder(const Options&);
Outcome CheckPipeInstance(const Options&);
Outcome CheckGain(const Options&);

}  // namespace zv::kit
