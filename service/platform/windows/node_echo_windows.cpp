// The echo through IP Helper, which any process may send; the tunnel's route
// for the node's address takes it through the tunnel. Its round trip comes in whole
// milliseconds.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstring>
#include <vector>

#include "net_types.h"
#include "node_echo.h"

namespace zv {
namespace {

class WindowsNodeEcho final : public NodeEcho {
 public:
  std::optional<std::chrono::microseconds> Echo(std::chrono::milliseconds wait) override {
    const HANDLE icmp = IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) return std::nullopt;
    IN_ADDR node{};
    std::memcpy(&node, kNodeTunnelAddress, 4);
    char data[8] = "zvecho";
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof data + 8 + 64);
    const DWORD answers = IcmpSendEcho(icmp, node.S_un.S_addr, data, sizeof data, nullptr, reply.data(),
                                       static_cast<DWORD>(reply.size()), static_cast<DWORD>(wait.count()));
    std::optional<std::chrono::microseconds> roundTrip;
    if (answers > 0) {
      const auto* first = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
      if (first->Status == IP_SUCCESS) roundTrip = std::chrono::milliseconds(first->RoundTripTime);
    }
    IcmpCloseHandle(icmp);
    return roundTrip;
  }
};

}  // namespace

std::unique_ptr<NodeEcho> OpenNodeEcho() { return std::make_unique<WindowsNodeEcho>(); }

}  // namespace zv
