// An adapter in memory: it records what it is asked, can fail any step with
// a code, vanish as a dead helper makes it, and says whether one is left.
#pragma once

#include <arpa/inet.h>

#include <functional>
#include <string>

#include "test_log.h"
#include "tunnel_device.h"

namespace zv::test {

inline std::string Text(const SocketAddressInet& address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.family == kFamilyIpv6 ? AF_INET6 : AF_INET, address.Bytes(), text, sizeof text);
  return text;
}

inline std::string Text(const AllowedIp& entry) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(entry.addressFamily == kFamilyIpv6 ? AF_INET6 : AF_INET, entry.address, text, sizeof text);
  return std::string(text) + "/" + std::to_string(entry.cidr);
}

class FakeTunnelDevice final : public TunnelDevice {
 public:
  explicit FakeTunnelDevice(TestLog& log) : log(log) {}

  // Each step named here fails with its code: "create", "configure", "raise", "release".
  std::map<std::string, std::string> failing;
  bool exists = false, vanished = false;
  int made = 0;
  PeerActivity activity;
  WireGuardKey configuredKey{};
  std::function<void(std::uint64_t interfaceId)> onClose;  // its address and routes go with it

  bool Create(std::string& error) override { return Step("create", {}, error) && (exists = true, vanished = false, ++made); }
  std::uint64_t InterfaceId() override { return 100 + made; }
  bool Configure(const PeerSettings& settings, std::string& error) override {
    std::string detail = Text(settings.endpoint) + ":" + std::to_string(ntohs(settings.endpoint.port)) + " keepalive " +
                         std::to_string(settings.keepaliveSeconds) + " peer";
    for (const AllowedIp& entry : settings.allowedNetworks) detail += " " + Text(entry);
    std::copy(settings.privateKey.data(), settings.privateKey.data() + 32, configuredKey.begin());
    return Step("configure", detail, error);
  }
  bool Raise(std::string& error) override { return Step("raise", {}, error); }
  bool Release(const std::function<void()>& afterClose, std::string& error) override {
    if (!Step("release", {}, error)) return false;
    Close();
    afterClose();
    return true;
  }
  void Abandon(const std::function<void()>& afterClose) override {
    log.Record("abandon");
    Close();
    afterClose();
  }
  bool Present() override { return exists && !vanished; }
  PeerActivity Activity() override { return activity; }
  AdapterTrace Trace() override { return {static_cast<std::uint32_t>(made), 7}; }
  void RemoveStale(const AdapterTrace& trace) override { log.Record("remove stale", std::to_string(trace.processId)); }

 private:
  void Close() {
    exists = false;
    if (onClose) onClose(InterfaceId());
  }
  bool Step(const char* step, const std::string& detail, std::string& error) {
    log.Record(step, detail);
    const auto fault = failing.find(step);
    if (fault == failing.end()) return true;
    error = fault->second;
    return false;
  }
  TestLog& log;
};

}  // namespace zv::test
