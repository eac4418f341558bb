#pragma once

#include <filesystem>

#include "nt_calls.h"

namespace zv {

class WindowsNtLibraryCalls : public NtLibraryCalls {  // open: tests move the program folder
 public:
  std::u16string OwnProgramPath() override;
  ModuleHandle LoadLibraryAt(const std::u16string& path) override;
  ExportAddress FindExport(ModuleHandle module, const char* name) override;
  void UnloadLibrary(ModuleHandle module) override;
  std::uint32_t LastError() override;
  FileHandle HoldFile(const std::u16string& path) override;
  std::string FileSecurity(FileHandle file) override;
  void ReleaseFile(FileHandle file) override;
  bool InterfaceExists(std::uint64_t luid) override;
};

class WindowsIpHelperCalls final : public IpHelperCalls {
 public:
  std::uint32_t GetBestRoute(const SockaddrInet& destination, RouteRow& best) override;
  std::uint32_t CreateRoute(const RouteRow& row) override;
  std::uint32_t DeleteRoute(const RouteRow& row) override;
  std::uint32_t CreateAddress(const AddressRow& row) override;
  std::uint32_t SetInterfaceMetric(std::uint64_t interfaceLuid, std::uint16_t family, std::uint32_t metric) override;
  std::uint32_t RoutesTo(const SockaddrInet& destination, std::vector<RouteRowChoice>& rows) override;
};

// Beside the service program: its folder is writable by administrators and the system only.
std::filesystem::path TunnelRecordBesideProgram(NtLibraryCalls& calls);

}  // namespace zv
