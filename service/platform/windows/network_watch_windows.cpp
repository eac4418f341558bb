// News of the network on Windows: the IP Helper's route, interface and
// address notifications, each setting one manual-reset event that the
// listener waits on. The callbacks run on the system's threads and do nothing
// else. The event stays set until Drain resets it: the listener's wait only
// wakes on it, and Drain still finds the news there (an auto-reset event
// would be cleared by that wait, and the news lost).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include "network_watch_windows.h"

namespace zv {
namespace {

void WINAPI RouteChanged(PVOID event, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) { SetEvent(event); }
void WINAPI InterfaceChanged(PVOID event, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) { SetEvent(event); }
void WINAPI AddressChanged(PVOID event, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) { SetEvent(event); }

class IpHelperWatch final : public NetworkWatch {
 public:
  IpHelperWatch() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~IpHelperWatch() override {
    for (HANDLE notification : {routes, interfaces, addresses}) {
      if (notification != nullptr) CancelMibChangeNotify2(notification);
    }
    if (event != nullptr) CloseHandle(event);
  }
  bool Created() const { return event != nullptr; }
  bool Notify() {
    return NotifyRouteChange2(AF_UNSPEC, RouteChanged, event, FALSE, &routes) == NO_ERROR &&
           NotifyIpInterfaceChange(AF_UNSPEC, InterfaceChanged, event, FALSE, &interfaces) == NO_ERROR &&
           NotifyUnicastIpAddressChange(AF_UNSPEC, AddressChanged, event, FALSE, &addresses) == NO_ERROR;
  }
  std::intptr_t WaitHandle() const override { return reinterpret_cast<std::intptr_t>(event); }
  // Reset before the upkeep reads the routes: news that comes after is kept for the next wait.
  bool Drain() override { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0 && ResetEvent(event); }

 private:
  HANDLE event;
  HANDLE routes = nullptr, interfaces = nullptr, addresses = nullptr;
};

}  // namespace

std::unique_ptr<NetworkWatch> OpenWatchWithoutNotifications() {
  auto watch = std::make_unique<IpHelperWatch>();
  if (!watch->Created()) return nullptr;
  return watch;
}

// Wine does not implement these notifications: the watch is then not there,
// and the tunnel runs without upkeep.
std::unique_ptr<NetworkWatch> OpenNetworkWatch() {
  auto watch = std::make_unique<IpHelperWatch>();
  if (!watch->Created() || !watch->Notify()) return nullptr;
  return watch;
}

}  // namespace zv
