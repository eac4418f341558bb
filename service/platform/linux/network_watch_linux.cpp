// News of the network on Linux: an rtnetlink socket in the groups of links,
// addresses, routes and rules (another program may take ours away). Its fd is
// what the listener polls.
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "network_watch.h"

namespace zv {
namespace {

constexpr unsigned kGroups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR |
                             RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_RULE;

class NetlinkWatch final : public NetworkWatch {
 public:
  explicit NetlinkWatch(mnl_socket* socket) : socket(socket) {}
  ~NetlinkWatch() override { mnl_socket_close(socket); }
  std::intptr_t WaitHandle() const override { return mnl_socket_get_fd(socket); }
  bool Drain() override {
    bool any = false;
    for (;;) {
      const ssize_t got = recv(mnl_socket_get_fd(socket), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got > 0 || (got < 0 && errno == ENOBUFS)) {  // ENOBUFS: news was lost, which is news as well
        any = true;
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        return any;
      }
    }
  }

 private:
  mnl_socket* socket;
  std::vector<char> buffer = std::vector<char>(MNL_SOCKET_BUFFER_SIZE);
};

}  // namespace

std::unique_ptr<NetworkWatch> OpenNetworkWatch() {
  mnl_socket* socket = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (socket == nullptr) return nullptr;
  if (mnl_socket_bind(socket, kGroups, MNL_SOCKET_AUTOPID) < 0) {
    mnl_socket_close(socket);
    return nullptr;
  }
  return std::make_unique<NetlinkWatch>(socket);
}

}  // namespace zv
