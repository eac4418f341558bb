// A control connection over fixed bytes, free of any test framework so that
// fuzz targets and benchmarks use it too.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "control_connection.h"

namespace zv::test {

// Feeds a fixed byte string to the server and keeps what it writes back.
struct MemoryConnection final : ControlConnection {
  explicit MemoryConnection(std::string input, bool allowed = true) : input(std::move(input)), allowed(allowed) {}
  bool CallerAllowed() override { return allowed; }
  bool ReadExact(std::uint8_t* data, std::size_t length) override {
    const std::size_t available = std::min(length, input.size() - consumed);
    std::memcpy(data, input.data() + consumed, available);
    consumed += available;
    return available == length;
  }
  bool WriteAll(const std::uint8_t* data, std::size_t length) override {
    output.append(reinterpret_cast<const char*>(data), length);
    return true;
  }

  std::string input;
  bool allowed;
  std::size_t consumed = 0;
  std::string output;
};

}  // namespace zv::test
