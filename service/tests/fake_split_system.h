// A recording stand-in for the split-routing driver, the filtering engine and
// the process table. The tracker thread and the test thread both use it, so
// everything is kept under one lock.
#pragma once

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "little_endian.h"
#include "split_platform.h"
#include "split_protocol.h"

namespace zv::test {

using Bytes = std::vector<std::uint8_t>;
using Log = std::vector<std::string>;
using ProcessTable = std::vector<std::pair<std::uint32_t, std::u16string>>;

// A pending flow record as the driver would return it.
inline Bytes FlowRecord(const char* remote, std::uint64_t flowId, std::uint32_t family = 2, std::uint32_t version = 1) {
  Bytes record(kPendingFlowSize, 0xEE);  // the fields the service does not read hold noise
  PutLittleEndian(&record[0], version);
  PutLittleEndian(&record[4], family);
  PutLittleEndian(&record[8], flowId);
  inet_pton(AF_INET, remote, &record[48]);
  return record;
}

// Waits (at most 10 s) until the condition holds.
inline bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (condition()) return true;
  }
  return false;
}

class FakeSplitSystem final : public SplitPlatform {
 public:
  // Scripting. `results` answers the filtering call named "AddFilter" (every
  // one) or "AddFilter#2" (the second) with the given result.
  std::uint32_t openError = 0;
  std::map<std::string, std::uint32_t> results;
  bool refuseThread = false;
  void SetProcesses(ProcessTable table, bool failing = false) {
    std::lock_guard guard(lock);
    processes = std::move(table), snapshotFails = failing;
  }
  void QueueFlow(Bytes record) {
    std::lock_guard guard(lock);
    pending.push_back(std::move(record));
  }

  // Observation: the filtering calls, and the driver's log: "open", "ids 7 9"
  // (with " (n bytes)" when the list is not exactly its ids), "verdict <routed>
  // <flow>", "close", and "engine closed" where the filtering session ends.
  Log FilterCalls() { return Locked(filterCalls); }
  Log DeviceLog() { return Locked(deviceLog); }
  int Scans() { return Locked(scans); }
  std::vector<std::chrono::milliseconds> Pauses() { return Locked(pauses); }
  bool WaitForScans(int more) {
    const int target = Scans() + more;
    return WaitUntil([&] { return Scans() >= target; });
  }

  DeviceHandle OpenSplitDevice(std::uint32_t& error) override {
    std::lock_guard guard(lock);
    if ((error = openError) != 0) return kNoDevice;
    deviceOpen = true;
    deviceLog.push_back("open");
    return kFakeDevice;
  }
  bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                     void* output, std::uint32_t outputLength, std::uint32_t& returned) override {
    std::lock_guard guard(lock);
    returned = 0;
    const auto* in = static_cast<const std::uint8_t*>(input);
    if (device != kFakeDevice || !deviceOpen) {
      deviceLog.push_back("control on a closed device");
    } else if (code == kSetProcessIds && inputLength >= 8 && GetLittleEndian<std::uint32_t>(in) == 1) {
      const auto count = GetLittleEndian<std::uint32_t>(in + 4);
      std::string entry = "ids";
      for (std::size_t i = 0; i < count && 16 + 8 * i <= inputLength; ++i) {
        entry += " " + std::to_string(GetLittleEndian<std::uint64_t>(in + 8 + 8 * i));
      }
      if (inputLength != 8 + 8 * count) entry += " (" + std::to_string(inputLength) + " bytes)";
      deviceLog.push_back(entry);
      return true;
    } else if (code == kGetPendingFlow && outputLength == kPendingFlowSize) {
      if (pending.empty()) return false;  // nothing pending: fail at once
      std::memcpy(output, pending.front().data(), pending.front().size());
      returned = static_cast<std::uint32_t>(pending.front().size());
      pending.pop_front();
      return true;
    } else if (code == kSetFlowVerdict && inputLength == kFlowVerdictSize && GetLittleEndian<std::uint32_t>(in) == 1) {
      deviceLog.push_back("verdict " + std::to_string(GetLittleEndian<std::uint32_t>(in + 4)) + " " +
                          std::to_string(GetLittleEndian<std::uint64_t>(in + 8)));
      return true;
    } else {
      deviceLog.push_back("bad control " + std::to_string(code) + " " + std::to_string(inputLength));
    }
    return false;
  }
  void CloseSplitDevice(DeviceHandle) override {
    std::lock_guard guard(lock);
    deviceOpen = false;
    deviceLog.push_back("close");
  }

  std::uint32_t OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                 FilterEngineHandle& engine) override {
    const auto result = Filtering("OpenFilterEngine", "authn " + std::to_string(authenticationService) + " flags " +
                                                          std::to_string(sessionFlags));
    if (result == 0) engine = this;
    return result;
  }
  std::uint32_t BeginTransaction(FilterEngineHandle) override { return Filtering("BeginTransaction"); }
  std::uint32_t AbortTransaction(FilterEngineHandle) override { return Filtering("AbortTransaction"); }
  std::uint32_t CommitTransaction(FilterEngineHandle) override { return Filtering("CommitTransaction"); }
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider& provider) override {
    return Filtering("AddProvider", Text(provider.key) + " " + Text(provider.name));
  }
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer& subLayer) override {
    return Filtering("AddSubLayer", Text(subLayer.key) + " " + Text(subLayer.name) + " provider " +
                                        Text(subLayer.providerKey) + " weight " + std::to_string(subLayer.weight));
  }
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout& callout) override {
    return Filtering("AddCallout", Text(callout.key) + " " + Text(callout.name) + " provider " +
                                       Text(callout.providerKey) + " layer " + Text(callout.applicableLayer));
  }
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter& filter) override {
    return Filtering("AddFilter", Text(filter.name) + " provider " + Text(filter.providerKey) + " layer " +
                                      Text(filter.layerKey) + " sublayer " + Text(filter.subLayerKey) + " action " +
                                      std::to_string(filter.actionType) + " callout " + Text(filter.calloutKey));
  }
  void CloseFilterEngine(FilterEngineHandle) override {
    Filtering("CloseFilterEngine");
    std::lock_guard guard(lock);
    deviceLog.push_back("engine closed");  // where the order of the two closes shows
  }

  bool ForEachProcess(const ProcessVisitor& visit) override {
    std::lock_guard guard(lock);
    ++scans;
    if (snapshotFails) return false;
    for (const auto& [id, name] : processes) visit(id, name);
    return true;
  }
  std::thread StartThread(std::function<void()> body) override {
    if (refuseThread) throw std::system_error(EAGAIN, std::generic_category());
    return SplitPlatform::StartThread(std::move(body));
  }
  // A clock that moves only by the tracker's pauses, each of which is recorded.
  std::chrono::steady_clock::time_point Now() override { return Locked(clock); }
  void Sleep(std::chrono::milliseconds duration) override {
    {
      std::lock_guard guard(lock);
      clock += duration;
      pauses.push_back(duration);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the tests' tracker still yields the core
  }

 private:
  static constexpr DeviceHandle kFakeDevice = 0x5a;

  static std::string Text(const Guid& key) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", key.data1, key.data2,
                  key.data3, key.data4[0], key.data4[1], key.data4[2], key.data4[3], key.data4[4], key.data4[5],
                  key.data4[6], key.data4[7]);
    return text;
  }
  static std::string Text(const char16_t* name) {
    return "'" + std::string(name, name + std::char_traits<char16_t>::length(name)) + "'";
  }
  template <typename T>
  T Locked(const T& value) {
    std::lock_guard guard(lock);
    return value;
  }
  std::uint32_t Filtering(const std::string& call, const std::string& detail = {}) {
    std::lock_guard guard(lock);
    filterCalls.push_back(detail.empty() ? call : call + " " + detail);
    const int nth = ++filteringCounts[call];
    for (const std::string& name : {call, call + "#" + std::to_string(nth)}) {
      if (const auto found = results.find(name); found != results.end()) return found->second;
    }
    return 0;
  }

  std::mutex lock;
  Log filterCalls, deviceLog;
  std::map<std::string, int> filteringCounts;
  std::deque<Bytes> pending;
  ProcessTable processes;
  bool snapshotFails = false, deviceOpen = false;
  int scans = 0;
  std::chrono::steady_clock::time_point clock{};
  std::vector<std::chrono::milliseconds> pauses;
};

}  // namespace zv::test
