// The tunnel itself: one WireGuard adapter with one peer. Windows implements
// it over WireGuardNT (wireguard.dll beside the service), Linux over a
// wireguard-go helper process and its own text protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net_types.h"
#include "secret.h"

namespace zv {

// Everything the adapter is configured with: our key, its one peer, that
// peer's endpoint and allowed networks, and the keepalive.
struct PeerSettings {
  Secret privateKey;  // 32 bytes
  WireGuardKey peerPublicKey{};
  IpAddress endpoint{};  // with its port
  std::vector<IpPrefix> allowedNetworks;
  std::uint16_t keepaliveSeconds = 25;
};

// What the peer's own counters say: whether the node still talks to us,
// whether or not it answers the echoes.
struct PeerActivity {
  std::optional<std::chrono::seconds> sinceHandshake;  // nothing: no handshake yet
  std::uint64_t receivedBytes = 0;
};

// The process that carries an adapter where one does (Linux: its helper), by
// id and start time, so that recovery finds exactly that process.
struct AdapterTrace {
  std::uint32_t processId = 0;
  std::uint64_t startTime = 0;
  friend bool operator==(const AdapterTrace&, const AdapterTrace&) = default;
};

class TunnelDevice {
 public:
  virtual ~TunnelDevice() = default;

  // The adapter named "ZENTRAVOLK", not yet configured (on Windows the library
  // is loaded first). On failure nothing of it stays and `error` holds the code.
  virtual bool Create(std::string& error) = 0;
  // The interface its address and routes go on: the LUID on Windows, the index on Linux.
  virtual std::uint64_t InterfaceId() = 0;
  virtual bool Configure(const PeerSettings& settings, std::string& error) = 0;
  virtual bool Raise(std::string& error) = 0;
  // A stop: lowered, then closed; `afterClose` runs next (the endpoint route
  // goes there), and last whatever carried the adapter. False, touching
  // nothing, when it cannot be closed now.
  virtual bool Release(const std::function<void()>& afterClose, std::string& error) = 0;
  // A start that failed after Create: the same order, lowered only when it was raised.
  virtual void Abandon(const std::function<void()>& afterClose) = 0;

  // From another thread: whatever slow step is under way (waiting for a
  // helper, talking to it) fails at once, and so does every step after it
  // until Resume. Windows' steps are quick: nothing to end there.
  virtual void Interrupt() {}
  virtual void Resume() {}

  // Whether it still exists: on Linux its helper may die and take it along.
  virtual bool Present() = 0;
  virtual std::optional<PeerActivity> Activity() = 0;  // nothing: the device could not be read
  virtual AdapterTrace Trace() = 0;
  // Removes what an earlier, killed instance of the service left of an
  // adapter, as its record names it (an empty trace: killed before the adapter existed).
  virtual void RemoveStale(const AdapterTrace& trace) = 0;
};

}  // namespace zv
