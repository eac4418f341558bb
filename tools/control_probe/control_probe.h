// A plain blocking client of the service's control socket, for the probe
// command, the tests and the benchmark.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control_frame.h"

namespace zv::probe {

struct Reply {
  ControlReplyHeader header;
  std::string body;
};

int Connect(const std::string& path);  // -1 when nobody listens
bool SendAll(int fd, std::string_view bytes);
std::string RequestBytes(std::uint16_t operation, std::uint64_t requestId, std::string_view body);
// Nothing when the service closes without a complete reply or stays silent for timeoutMs.
std::optional<Reply> ReadReply(int fd, int timeoutMs = 10000);
std::optional<Reply> Exchange(const std::string& path, std::uint16_t operation, std::uint64_t requestId,
                              std::string_view body = {});

}  // namespace zv::probe
