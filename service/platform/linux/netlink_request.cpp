#include "netlink_request.h"

#include <libmnl/libmnl.h>

#include <sys/socket.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <vector>

namespace zv::rtnl {

Message::Message(std::uint16_t type, std::uint16_t flags) {
  header = mnl_nlmsg_put_header(buffer);
  header->nlmsg_type = type;
  header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | flags;
}

void ForEachAttribute(const nlmsghdr& answer, std::size_t headerLength, const AttributeVisitor& visit) {
  const auto* end = static_cast<const char*>(mnl_nlmsg_get_payload_tail(&answer));
  for (auto* attribute = static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(&answer, headerLength));
       mnl_attr_ok(attribute, static_cast<int>(end - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    visit(mnl_attr_get_type(attribute), static_cast<const std::uint8_t*>(mnl_attr_get_payload(attribute)),
          mnl_attr_get_payload_len(attribute));
  }
}

void* Message::PutHeader(std::size_t length) { return mnl_nlmsg_put_extra_header(header, length); }

void Message::Attribute(std::uint16_t type, const void* data, std::size_t length) {
  mnl_attr_put(header, type, length, data);
}

namespace {

struct SocketCloser {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};

int Visit(const nlmsghdr* message, void* data) {
  (*static_cast<const ReplyVisitor*>(data))(*message);
  return MNL_CB_OK;
}

}  // namespace

int Transact(Message& message, const ReplyVisitor& visit) {
  const std::unique_ptr<mnl_socket, SocketCloser> socket(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
  if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) return errno;
  // A dump then answers only what its request asks for (a table, a protocol),
  // not every route of a host that may hold thousands; an older kernel answers all.
  const int strict = 1;
  setsockopt(mnl_socket_get_fd(socket.get()), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &strict, sizeof strict);
  nlmsghdr* header = message.Header();
  header->nlmsg_seq = static_cast<std::uint32_t>(std::time(nullptr));
  if (mnl_socket_sendto(socket.get(), header, header->nlmsg_len) < 0) return errno;
  const ReplyVisitor ignore = [](const nlmsghdr&) {};
  const ReplyVisitor& each = visit ? visit : ignore;
  std::vector<char> answer(MNL_SOCKET_BUFFER_SIZE);
  for (;;) {
    const ssize_t got = mnl_socket_recvfrom(socket.get(), answer.data(), answer.size());
    if (got < 0) return errno;
    const int result = mnl_cb_run(answer.data(), static_cast<std::size_t>(got), header->nlmsg_seq,
                                  mnl_socket_get_portid(socket.get()), Visit, const_cast<ReplyVisitor*>(&each));
    if (result < 0) return errno;
    if (result == MNL_CB_STOP) return 0;
  }
}

}  // namespace zv::rtnl
