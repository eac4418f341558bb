// Any bytes a local process may send, through the request header decoding and
// HandleConnection over an in-memory connection.
#include <cstring>
#include <string>

#include "bytes_connection.h"
#include "control_server.h"
#include "fake_tunnel_engine.h"
#include "stop_event.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static zv::StopEvent stopEvent;
  zv::test::FakeTunnelEngine tunnel;
  tunnel.bringUpError = size % 2 ? "invalid_tunnel_config" : "";
  zv::ControlServer server(stopEvent, tunnel);
  // A refused caller now and then.
  zv::test::MemoryConnection connection(std::string(reinterpret_cast<const char*>(data), size),
                                        size == 0 || data[0] != 0xFF);
  server.HandleConnection(connection);
  // Every reply is one whole frame: a header and exactly the body it announces.
  if (!connection.output.empty()) {
    zv::ReplyHeaderBytes raw{};
    if (connection.output.size() < raw.size()) __builtin_trap();
    std::memcpy(raw.data(), connection.output.data(), raw.size());
    if (zv::DecodeReplyHeader(raw).bodyLength != connection.output.size() - raw.size()) __builtin_trap();
  }
  return 0;
}
