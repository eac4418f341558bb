// An adapter in memory: it records what it is asked, fails any step the log
// is told to fail (the code names the step and the number), vanishes as a
// dead helper makes it, and says whether one is left.
#pragma once

#include <arpa/inet.h>

#include <functional>
#include <string>

#include "test_log.h"
#include "tunnel_device.h"

namespace zv::test {

// "198.51.100.7", or with a port "198.51.100.7:51820"
inline std::string Text(const SocketAddressInet& address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.family == kFamilyIpv6 ? AF_INET6 : AF_INET, address.Bytes(), text, sizeof text);
  return text + (address.port != 0 ? ":" + std::to_string(ntohs(address.port)) : "");
}

class FakeTunnelDevice final : public TunnelDevice {
 public:
  explicit FakeTunnelDevice(TestLog& log) : log(log) {}

  bool exists = false, vanished = false;
  int made = 0;
  PeerActivity activity;
  std::function<void(std::uint64_t interfaceId)> onClose;  // its address and routes go with it

  bool Create(std::string& error) override { return Step("create", {}, error) && (exists = true, vanished = false, ++made); }
  std::uint64_t InterfaceId() override { return 100 + made; }
  bool Configure(const PeerSettings& settings, std::string& error) override {
    std::string detail = Text(settings.endpoint) + " keepalive " + std::to_string(settings.keepaliveSeconds) + " peer";
    for (const AllowedIp& entry : settings.allowedNetworks) {
      char text[INET6_ADDRSTRLEN] = {};
      inet_ntop(entry.addressFamily == kFamilyIpv6 ? AF_INET6 : AF_INET, entry.address, text, sizeof text);
      detail += " " + std::string(text) + "/" + std::to_string(entry.cidr);
    }
    return Step("configure", detail, error);
  }
  bool Raise(std::string& error) override { return Step("raise", {}, error); }
  bool Release(const std::function<void()>& afterClose, std::string& error) override {
    return Step("release", {}, error) && (Close(afterClose), true);
  }
  void Abandon(const std::function<void()>& afterClose) override { log.Record("abandon"), Close(afterClose); }
  bool Present() override { return exists && !vanished; }
  PeerActivity Activity() override { return activity; }
  AdapterTrace Trace() override { return {static_cast<std::uint32_t>(made), 7}; }
  void RemoveStale(const AdapterTrace& trace) override { log.Record("remove stale", std::to_string(trace.processId)); }

 private:
  void Close(const std::function<void()>& afterClose) {
    exists = false;
    if (onClose) onClose(InterfaceId());
    afterClose();
  }
  bool Step(const char* step, const std::string& detail, std::string& error) {
    const std::uint32_t result = log.Record(step, detail);
    if (result != 0) error = std::string(step) + "_failed_" + std::to_string(result);
    return result == 0;
  }
  TestLog& log;
};

}  // namespace zv::test
