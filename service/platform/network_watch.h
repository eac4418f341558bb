// News of the network for the one thread that owns the tunnel: routes,
// interfaces and addresses appearing, changing or going (on Linux a dead
// wireguard-go helper takes its interface along, so its death is news too).
// The shells only deliver it; what to do about it is the tunnel engine's.
#pragma once

#include <cstdint>
#include <memory>

namespace zv {

class NetworkWatch {
 public:
  virtual ~NetworkWatch() = default;
  // What the listener waits on beside its own handles: an fd on Linux, an
  // event HANDLE on Windows. It is signalled while news is pending.
  virtual std::intptr_t WaitHandle() const = 0;
  // Takes all pending news; true when there was any.
  virtual bool Drain() = 0;
};

// Nothing when the platform cannot watch; the tunnel then runs without upkeep.
std::unique_ptr<NetworkWatch> OpenNetworkWatch();

}  // namespace zv
