// One rtnetlink request at a time over libmnl: build the message, send it and
// read to its acknowledgement.
#pragma once

#include <linux/netlink.h>

#include <cstdint>
#include <functional>
#include <string_view>

namespace zv::rtnl {

class Message {
 public:
  // Always asks for an acknowledgement, so every request ends in a result.
  Message(std::uint16_t type, std::uint16_t flags);
  template <class Header>
  Header& Put() {
    return *static_cast<Header*>(PutHeader(sizeof(Header)));
  }
  void Attribute(std::uint16_t type, const void* data, std::size_t length);
  void Attribute32(std::uint16_t type, std::uint32_t value) { Attribute(type, &value, sizeof value); }
  nlmsghdr* Header() { return header; }

 private:
  void* PutHeader(std::size_t length);
  alignas(nlmsghdr) char buffer[512];
  nlmsghdr* header;
};

using ReplyVisitor = std::function<void(const nlmsghdr&)>;
// Each attribute of an answer after its fixed header of `headerLength` bytes.
using AttributeVisitor = std::function<void(std::uint16_t type, const std::uint8_t* data, std::size_t length)>;
void ForEachAttribute(const nlmsghdr& answer, std::size_t headerLength, const AttributeVisitor& visit);
// 0, or the errno the kernel (or the socket) answered; `visit` sees each answer that is not the acknowledgement.
int Transact(Message& message, const ReplyVisitor& visit = {});

}  // namespace zv::rtnl
