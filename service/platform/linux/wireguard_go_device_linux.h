// The tunnel on Linux: one wireguard-go helper process, which makes the
// interface, configured through its own text protocol on its socket. The
// helper runs in a mount namespace of its own with a private /run, so its
// socket is this service's alone (another service, in another network
// namespace, has its own); it is reached through the helper's root in /proc.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>

#include "tunnel_device.h"

namespace zv {

class WireGuardGoDevice final : public TunnelDevice {
 public:
  explicit WireGuardGoDevice(std::string helper = "/usr/bin/wireguard-go") : helperProgram(std::move(helper)) {}
  ~WireGuardGoDevice() override;

  bool Create(std::string& error) override;
  std::uint64_t InterfaceId() override { return index; }
  bool Configure(const PeerSettings& settings, std::string& error) override;
  bool Raise(std::string& error) override;
  bool Release(const std::function<void()>& afterClose, std::string& error) override;
  void Abandon(const std::function<void()>& afterClose) override;
  void Interrupt() override;
  void Resume() override { interrupted = false; }
  bool Present() override;
  std::optional<PeerActivity> Activity() override;
  AdapterTrace Trace() override;
  void RemoveStale(const AdapterTrace& trace) override;

 private:
  void Close();
  std::string SocketPath() const;

  std::string helperProgram;
  pid_t helper = -1;
  // A handle on the very helper, so that another thread's Interrupt never
  // signals a process that took its id after it was reaped.
  int helperHandle = -1;
  std::mutex handleLock;
  std::atomic<bool> interrupted{false};
  unsigned index = 0;
  bool raised = false;
};

}  // namespace zv
