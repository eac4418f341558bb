// A stand-in wireguard.dll for the Windows checks under wine. It exports the
// five WireGuardNT functions, appends every call to wireguard-calls.txt beside
// itself, keeps the last configuration in wireguard-configuration.bin, and
// fails the call named by ZV_FAKE_WIREGUARD_FAIL ("Function:lastError").
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HMODULE self = nullptr;
std::uintptr_t adaptersMade = 0;

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

void Write(const wchar_t* name, const wchar_t* mode, const void* data, std::size_t size) {
  if (FILE* file = _wfopen(Beside(name).c_str(), mode)) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
}

void Record(const std::string& line) { Write(L"wireguard-calls.txt", L"ab", (line + "\n").c_str(), line.size() + 1); }

std::string Narrow(const wchar_t* text) { return text ? std::string(text, text + wcslen(text)) : ""; }

bool Failing(const std::string& function) {
  char script[128] = {};
  GetEnvironmentVariableA("ZV_FAKE_WIREGUARD_FAIL", script, sizeof script);
  if (std::string(script).rfind(function + ":", 0) != 0) return false;
  SetLastError(static_cast<DWORD>(std::strtoul(script + function.size() + 1, nullptr, 10)));
  return true;
}

std::string Handle(void* adapter) { return std::to_string(reinterpret_cast<std::uintptr_t>(adapter)); }

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) self = instance;
  return TRUE;
}

extern "C" {

__declspec(dllexport) void* WINAPI WireGuardCreateAdapter(const wchar_t* name, const wchar_t* tunnelType,
                                                          const GUID* requestedGuid) {
  Record("WireGuardCreateAdapter " + Narrow(name) + " " + Narrow(tunnelType) + (requestedGuid ? " guid" : ""));
  if (Failing("WireGuardCreateAdapter")) return nullptr;
  return reinterpret_cast<void*>(++adaptersMade);
}

__declspec(dllexport) void WINAPI WireGuardCloseAdapter(void* adapter) {
  Record("WireGuardCloseAdapter " + Handle(adapter));
}

__declspec(dllexport) void WINAPI WireGuardGetAdapterLUID(void* adapter, std::uint64_t* luid) {
  Record("WireGuardGetAdapterLUID " + Handle(adapter));
  *luid = 0x1000 + reinterpret_cast<std::uintptr_t>(adapter);
}

__declspec(dllexport) BOOL WINAPI WireGuardSetConfiguration(void* adapter, const void* configuration, DWORD bytes) {
  Record("WireGuardSetConfiguration " + Handle(adapter) + " " + std::to_string(bytes));
  Write(L"wireguard-configuration.bin", L"wb", configuration, bytes);
  return !Failing("WireGuardSetConfiguration");
}

#ifndef ZV_FAKE_WIREGUARD_LACKS_SET_ADAPTER_STATE
__declspec(dllexport) BOOL WINAPI WireGuardSetAdapterState(void* adapter, int state) {
  Record("WireGuardSetAdapterState " + Handle(adapter) + " " + std::to_string(state));
  return !Failing("WireGuardSetAdapterState");
}
#endif

}  // extern "C"
