// The Windows service host: hands the process to the service control manager,
// reports the service's states and runs the control server while it runs.
#include <winsock2.h>
#include <windows.h>

#include <memory>

#include "control_channel.h"
#include "control_server.h"
#include "driver_game_steering.h"
#include "ip_helper_route_table.h"
#include "nt_calls_windows.h"
#include "smart_split_engine.h"
#include "split_calls_windows.h"
#include "stop_event.h"
#include "wireguard_nt_device.h"
#include "wireguard_tunnel.h"

namespace {

// Written by ServiceMain, read by the control handler on the dispatcher thread.
SERVICE_STATUS_HANDLE statusHandle = nullptr;
zv::StopEvent* stopEvent = nullptr;

void ReportServiceStatus(DWORD state, DWORD exitCode) {
  if (statusHandle == nullptr) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR);
    if (stopEvent != nullptr) stopEvent->Signal();
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  statusHandle = RegisterServiceCtrlHandlerExW(zv::kServiceName, ServiceControlHandler, nullptr);
  if (statusHandle == nullptr) return;
  std::uint32_t error = 0;
  const std::unique_ptr<zv::StopEvent> event = zv::StopEvent::TryCreate(error);
  if (!event) {
    ReportServiceStatus(SERVICE_STOPPED, error);
    return;
  }
  stopEvent = event.get();
  ReportServiceStatus(SERVICE_RUNNING, NO_ERROR);  // running before the control server exists

  zv::WindowsNtLibraryCalls libraryCalls;
  zv::WindowsIpHelperCalls ipHelperCalls;
  zv::WindowsSplitCalls splitCalls;
  zv::WireGuardNtDevice device(libraryCalls);
  zv::IpHelperRouteTable routes(ipHelperCalls);
  zv::DriverGameSteering steering(splitCalls, routes);
  zv::SmartSplitEngine smartSplit(steering);
  zv::WireGuardTunnel tunnel(device, routes, smartSplit, zv::TunnelRecordBesideProgram(libraryCalls));
  tunnel.RecoverStaleState();  // what a killed earlier run left
  {
    const auto node = zv::OpenNodeEcho();
    zv::LinkQuality quality(*node);
    const auto paths = zv::OpenPathProbe();
    zv::GainMeter gain(*paths, steering);
    zv::ControlServer server(*event, tunnel, &quality, &gain);
    server.StartListener();
    WaitForSingleObject(reinterpret_cast<HANDLE>(event->NativeHandle()), INFINITE);
    server.JoinListener();
  }  // the server takes a running tunnel down here, before the final report,
     // so the process can never end with a tunnel half up
  stopEvent = nullptr;
  ReportServiceStatus(SERVICE_STOPPED, NO_ERROR);
}

}  // namespace

int wmain() {
  // The table's name is not written to; the type only asks for a writable one.
  const SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(zv::kServiceName), ServiceMain}, {nullptr, nullptr}};
  // From a console this fails at once (1063), and that code is the exit code.
  return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
