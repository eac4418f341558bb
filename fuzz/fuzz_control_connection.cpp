// Any bytes a local process may send, through the request header decoding and
// HandleConnection over an in-memory connection.
#include <cstring>
#include <string>

#include "control_server.h"
#include "fake_tunnel_engine.h"
#include "stop_event.h"

namespace {

class BytesConnection final : public zv::ControlConnection {
 public:
  BytesConnection(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  bool CallerAllowed() override { return size == 0 || data[0] != 0xFF; }  // a refused caller now and then
  bool ReadExact(std::uint8_t* out, std::size_t length) override {
    if (size - at < length) return false;
    std::memcpy(out, data + at, length);
    at += length;
    return true;
  }
  bool WriteAll(const std::uint8_t* bytes, std::size_t length) override {
    written.append(reinterpret_cast<const char*>(bytes), length);
    return true;
  }
  std::string written;

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static zv::StopEvent stopEvent;
  zv::test::FakeTunnelEngine tunnel;
  tunnel.bringUpError = size % 2 ? "invalid_tunnel_config" : "";
  zv::ControlServer server(stopEvent, tunnel);
  BytesConnection connection(data, size);
  server.HandleConnection(connection);
  // Every reply is one whole frame: a header and exactly the body it announces.
  if (!connection.written.empty()) {
    zv::ReplyHeaderBytes raw{};
    if (connection.written.size() < raw.size()) __builtin_trap();
    std::memcpy(raw.data(), connection.written.data(), raw.size());
    if (zv::DecodeReplyHeader(raw).bodyLength != connection.written.size() - raw.size()) __builtin_trap();
  }
  return 0;
}
