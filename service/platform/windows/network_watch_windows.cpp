// News of the network on Windows: the IP Helper's route, interface and
// address notifications, each setting one auto-reset event that the listener
// waits on. The callbacks run on the system's threads and do nothing else.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include "network_watch.h"

namespace zv {
namespace {

void WINAPI RouteChanged(PVOID event, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) { SetEvent(event); }
void WINAPI InterfaceChanged(PVOID event, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) { SetEvent(event); }
void WINAPI AddressChanged(PVOID event, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) { SetEvent(event); }

class IpHelperWatch final : public NetworkWatch {
 public:
  IpHelperWatch() : event(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~IpHelperWatch() override {
    for (HANDLE notification : {routes, interfaces, addresses}) {
      if (notification != nullptr) CancelMibChangeNotify2(notification);
    }
    if (event != nullptr) CloseHandle(event);
  }
  bool Open() {
    return event != nullptr && NotifyRouteChange2(AF_UNSPEC, RouteChanged, event, FALSE, &routes) == NO_ERROR &&
           NotifyIpInterfaceChange(AF_UNSPEC, InterfaceChanged, event, FALSE, &interfaces) == NO_ERROR &&
           NotifyUnicastIpAddressChange(AF_UNSPEC, AddressChanged, event, FALSE, &addresses) == NO_ERROR;
  }
  std::intptr_t WaitHandle() const override { return reinterpret_cast<std::intptr_t>(event); }
  bool Drain() override { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

 private:
  HANDLE event;
  HANDLE routes = nullptr, interfaces = nullptr, addresses = nullptr;
};

}  // namespace

// Wine does not implement these notifications: the watch is then not there,
// and the tunnel runs without upkeep.
std::unique_ptr<NetworkWatch> OpenNetworkWatch() {
  auto watch = std::make_unique<IpHelperWatch>();
  if (!watch->Open()) return nullptr;
  return watch;
}

}  // namespace zv
