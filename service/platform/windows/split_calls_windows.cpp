// The game steering's system calls on Windows: the driver's device, the base
// filtering engine and the Toolhelp process snapshot.
#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>
#include <tlhelp32.h>

#include <cstring>

#include "split_calls_windows.h"

namespace zv {
namespace {

static_assert(sizeof(GUID) == sizeof(Guid));

constexpr wchar_t kSplitDevicePath[] = L"\\\\.\\ZentravolkSplit";

GUID Native(const Guid& key) {
  GUID guid;
  std::memcpy(&guid, &key, sizeof guid);
  return guid;
}

// The engine takes names as non-const wide pointers but only reads them.
wchar_t* Name(const char16_t* text) { return const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(text)); }

HANDLE Engine(FilterEngineHandle engine) { return static_cast<HANDLE>(engine); }

}  // namespace

DeviceHandle WindowsSplitCalls::OpenSplitDevice(std::uint32_t& error) {
  const HANDLE device = CreateFileW(kSplitDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return kNoDevice;
  }
  return reinterpret_cast<DeviceHandle>(device);
}

bool WindowsSplitCalls::ControlDevice(DeviceHandle device, std::uint32_t code, const void* input,
                                         std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                                         std::uint32_t& returned) {
  DWORD written = 0;
  const BOOL done = DeviceIoControl(reinterpret_cast<HANDLE>(device), code, const_cast<void*>(input), inputLength,
                                    output, outputLength, &written, nullptr);
  returned = written;
  return done != FALSE;
}

void WindowsSplitCalls::CloseSplitDevice(DeviceHandle device) { CloseHandle(reinterpret_cast<HANDLE>(device)); }

std::uint32_t WindowsSplitCalls::OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                                     FilterEngineHandle& engine) {
  FWPM_SESSION0 session{};
  session.flags = sessionFlags;
  HANDLE handle = nullptr;
  const DWORD result = FwpmEngineOpen0(nullptr, authenticationService, nullptr, &session, &handle);
  if (result == ERROR_SUCCESS) engine = handle;
  return result;
}

std::uint32_t WindowsSplitCalls::BeginTransaction(FilterEngineHandle engine) {
  return FwpmTransactionBegin0(Engine(engine), 0);
}

std::uint32_t WindowsSplitCalls::AbortTransaction(FilterEngineHandle engine) {
  return FwpmTransactionAbort0(Engine(engine));
}

std::uint32_t WindowsSplitCalls::CommitTransaction(FilterEngineHandle engine) {
  return FwpmTransactionCommit0(Engine(engine));
}

std::uint32_t WindowsSplitCalls::AddProvider(FilterEngineHandle engine, const FilterProvider& provider) {
  FWPM_PROVIDER0 row{};
  row.providerKey = Native(provider.key);
  row.displayData.name = Name(provider.name);
  return FwpmProviderAdd0(Engine(engine), &row, nullptr);
}

std::uint32_t WindowsSplitCalls::AddSubLayer(FilterEngineHandle engine, const FilterSubLayer& subLayer) {
  FWPM_SUBLAYER0 row{};
  row.subLayerKey = Native(subLayer.key);
  row.displayData.name = Name(subLayer.name);
  GUID provider = Native(subLayer.providerKey);
  row.providerKey = &provider;
  row.weight = subLayer.weight;
  return FwpmSubLayerAdd0(Engine(engine), &row, nullptr);
}

std::uint32_t WindowsSplitCalls::AddCallout(FilterEngineHandle engine, const FilterCallout& callout) {
  FWPM_CALLOUT0 row{};
  row.calloutKey = Native(callout.key);
  row.displayData.name = Name(callout.name);
  GUID provider = Native(callout.providerKey);
  row.providerKey = &provider;
  row.applicableLayer = Native(callout.applicableLayer);
  return FwpmCalloutAdd0(Engine(engine), &row, nullptr, nullptr);
}

std::uint32_t WindowsSplitCalls::AddFilter(FilterEngineHandle engine, const CalloutFilter& filter) {
  FWPM_FILTER0 row{};  // zero key: the engine assigns one
  row.displayData.name = Name(filter.name);
  GUID provider = Native(filter.providerKey);
  row.providerKey = &provider;
  row.layerKey = Native(filter.layerKey);
  row.subLayerKey = Native(filter.subLayerKey);
  row.weight.type = FWP_EMPTY;
  row.numFilterConditions = 0;
  row.action.type = filter.actionType;
  row.action.calloutKey = Native(filter.calloutKey);
  return FwpmFilterAdd0(Engine(engine), &row, nullptr, nullptr);
}

void WindowsSplitCalls::CloseFilterEngine(FilterEngineHandle engine) { FwpmEngineClose0(Engine(engine)); }

bool WindowsSplitCalls::ForEachProcess(const ProcessVisitor& visit) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  char name[4 * MAX_PATH];
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    // A name that is no proper UTF-16 (a lone surrogate) has no UTF-8 form and is no game's.
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, entry.szExeFile, -1, name, sizeof name,
                                           nullptr, nullptr);
    if (length > 0) visit(entry.th32ProcessID, std::string_view(name, static_cast<std::size_t>(length - 1)));
  }
  CloseHandle(snapshot);
  return true;
}

}  // namespace zv
