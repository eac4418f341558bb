#include "control_probe.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zv::probe {
namespace {

bool ReadFully(int fd, char* data, std::size_t length, int timeoutMs) {
  while (length > 0) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) != 1) return false;
    const ssize_t got = recv(fd, data, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

int Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string RequestBytes(std::uint16_t operation, std::uint64_t requestId, std::string_view body) {
  const auto header = EncodeRequestHeader(operation, requestId, static_cast<std::uint32_t>(body.size()));
  std::string bytes(header.begin(), header.end());
  bytes.append(body);
  return bytes;
}

std::optional<Reply> ReadReply(int fd, int timeoutMs) {
  ReplyHeaderBytes raw{};
  if (!ReadFully(fd, reinterpret_cast<char*>(raw.data()), raw.size(), timeoutMs)) return std::nullopt;
  Reply reply{DecodeReplyHeader(raw), {}};
  if (reply.header.bodyLength > kMaxControlBody) return std::nullopt;
  reply.body.resize(reply.header.bodyLength);
  if (!ReadFully(fd, reply.body.data(), reply.body.size(), timeoutMs)) return std::nullopt;
  return reply;
}

std::optional<Reply> Exchange(const std::string& path, std::uint16_t operation, std::uint64_t requestId,
                              std::string_view body) {
  const int fd = Connect(path);
  if (fd < 0) return std::nullopt;
  // A refused caller's answer may come before the request is read, and the
  // service closes at once: the write can fail, and the answer is still there.
  SendAll(fd, RequestBytes(operation, requestId, body));
  std::optional<Reply> reply = ReadReply(fd);
  close(fd);
  return reply;
}

}  // namespace zv::probe
