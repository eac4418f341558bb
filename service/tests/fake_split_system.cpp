#include "fake_split_system.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "little_endian.h"
#include "split_protocol.h"

namespace zv::test {
namespace {

constexpr DeviceHandle kFakeDevice = 0x5a;

std::string Text(const Guid& key) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", key.data1, key.data2,
                key.data3, key.data4[0], key.data4[1], key.data4[2], key.data4[3], key.data4[4], key.data4[5],
                key.data4[6], key.data4[7]);
  return text;
}

std::string Text(const char16_t* name) {
  std::string text = "'";
  for (; *name != 0; ++name) text += static_cast<char>(*name);
  return text + "'";
}

}  // namespace

Bytes FlowRecord(const char* remote, std::uint64_t flowId, std::uint32_t family, std::uint32_t version) {
  Bytes record(kPendingFlowSize, 0xEE);  // the fields the service does not read hold noise
  PutLittleEndian(&record[0], version);
  PutLittleEndian(&record[4], family);
  PutLittleEndian(&record[8], flowId);
  inet_pton(AF_INET, remote, &record[48]);
  return record;
}

void FakeSplitSystem::SetProcesses(ProcessTable table, bool failing) {
  std::lock_guard guard(lock);
  processes = std::move(table);
  snapshotFails = failing;
}

void FakeSplitSystem::QueueFlow(Bytes record) {
  std::lock_guard guard(lock);
  pending.push_back(std::move(record));
}

std::vector<std::string> FakeSplitSystem::DeviceLog() {
  std::lock_guard guard(lock);
  return deviceLog;
}

std::vector<Bytes> FakeSplitSystem::ProcessLists() {
  std::lock_guard guard(lock);
  return lists;
}

int FakeSplitSystem::Scans() {
  std::lock_guard guard(lock);
  return scans;
}

bool FakeSplitSystem::WaitUntil(const std::function<bool()>& condition) {
  // The condition takes the lock itself, so it runs between short waits.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::unique_lock guard(lock);
    changed.wait_for(guard, std::chrono::milliseconds(5));
  }
  return true;
}

bool FakeSplitSystem::WaitForScans(int more) {
  const int target = Scans() + more;
  return WaitUntil([&] { return Scans() >= target; });
}

void FakeSplitSystem::Log(std::string entry) {
  deviceLog.push_back(std::move(entry));
  changed.notify_all();
}

DeviceHandle FakeSplitSystem::OpenSplitDevice(std::uint32_t& error) {
  std::lock_guard guard(lock);
  if (openError != 0) {
    error = openError;
    return kNoDevice;
  }
  deviceOpen = true;
  Log("open");
  return kFakeDevice;
}

bool FakeSplitSystem::ControlDevice(DeviceHandle device, std::uint32_t code, const void* input,
                                    std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                                    std::uint32_t& returned) {
  std::lock_guard guard(lock);
  returned = 0;
  if (device != kFakeDevice || !deviceOpen) {
    Log("control on a closed device");
    return false;
  }
  const auto* in = static_cast<const std::uint8_t*>(input);
  if (code == kSetProcessIds && inputLength >= 8) {
    lists.emplace_back(in, in + inputLength);
    Log("ids " + std::to_string(GetLittleEndian<std::uint32_t>(in + 4)) + " " + std::to_string(inputLength));
    return true;
  }
  if (code == kGetPendingFlow && outputLength == kPendingFlowSize) {
    if (pending.empty()) return false;  // nothing pending: fail at once
    const Bytes record = std::move(pending.front());
    pending.pop_front();
    std::memcpy(output, record.data(), record.size());
    returned = static_cast<std::uint32_t>(record.size());
    return true;
  }
  if (code == kSetFlowVerdict && inputLength == kFlowVerdictSize && GetLittleEndian<std::uint32_t>(in) == 1) {
    Log("verdict " + std::to_string(GetLittleEndian<std::uint32_t>(in + 4)) + " " +
        std::to_string(GetLittleEndian<std::uint64_t>(in + 8)));
    return true;
  }
  Log("bad control " + std::to_string(code) + " " + std::to_string(inputLength));
  return false;
}

void FakeSplitSystem::CloseSplitDevice(DeviceHandle) {
  std::lock_guard guard(lock);
  deviceOpen = false;
  Log("close");
}

std::uint32_t FakeSplitSystem::Filtering(const std::string& call, const std::string& detail,
                                         const std::string& object) {
  filterCalls.push_back(detail.empty() ? call : call + " " + detail);
  const int nth = ++filteringCounts[call];
  for (const std::string& name : {call, call + "#" + std::to_string(nth)}) {
    if (const auto found = results.find(name); found != results.end()) return found->second;
  }
  if (object.empty()) return 0;
  if (registered.contains(object) || sessionObjects.contains(object) || transactionObjects.contains(object)) {
    return 0x80320009;
  }
  transactionObjects.insert(object);
  return 0;
}

std::uint32_t FakeSplitSystem::OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                                FilterEngineHandle& engine) {
  const auto result = Filtering("OpenFilterEngine", "authn " + std::to_string(authenticationService) + " flags " +
                                                        std::to_string(sessionFlags));
  if (result == 0) engine = this;
  return result;
}

std::uint32_t FakeSplitSystem::BeginTransaction(FilterEngineHandle) { return Filtering("BeginTransaction", ""); }

std::uint32_t FakeSplitSystem::AbortTransaction(FilterEngineHandle) {
  transactionObjects.clear();
  return Filtering("AbortTransaction", "");
}

std::uint32_t FakeSplitSystem::CommitTransaction(FilterEngineHandle) {
  const auto result = Filtering("CommitTransaction", "");
  if (result == 0) sessionObjects.merge(transactionObjects);
  transactionObjects.clear();
  return result;
}

std::uint32_t FakeSplitSystem::AddProvider(FilterEngineHandle, const FilterProvider& provider) {
  return Filtering("AddProvider", Text(provider.key) + " " + Text(provider.name), "provider " + Text(provider.key));
}

std::uint32_t FakeSplitSystem::AddSubLayer(FilterEngineHandle, const FilterSubLayer& subLayer) {
  return Filtering("AddSubLayer",
                   Text(subLayer.key) + " " + Text(subLayer.name) + " provider " + Text(subLayer.providerKey) +
                       " weight " + std::to_string(subLayer.weight),
                   "sublayer " + Text(subLayer.key));
}

std::uint32_t FakeSplitSystem::AddCallout(FilterEngineHandle, const FilterCallout& callout) {
  return Filtering("AddCallout",
                   Text(callout.key) + " " + Text(callout.name) + " provider " + Text(callout.providerKey) +
                       " layer " + Text(callout.applicableLayer),
                   "callout " + Text(callout.key));
}

std::uint32_t FakeSplitSystem::AddFilter(FilterEngineHandle, const CalloutFilter& filter) {
  // The engine gives every filter a fresh key, so none ever exists already.
  return Filtering("AddFilter",
                   Text(filter.name) + " provider " + Text(filter.providerKey) + " layer " + Text(filter.layerKey) +
                       " sublayer " + Text(filter.subLayerKey) + " action " + std::to_string(filter.actionType) +
                       " callout " + Text(filter.calloutKey),
                   "filter " + std::to_string(++filtersAdded));
}

void FakeSplitSystem::CloseFilterEngine(FilterEngineHandle) {
  Filtering("CloseFilterEngine", "");
  {
    std::lock_guard guard(lock);
    Log("engine closed");  // in the device's log too, where the order of the two closes shows
  }
  sessionObjects.clear();  // a dynamic session takes its objects along
  transactionObjects.clear();
}

bool FakeSplitSystem::ForEachProcess(const ProcessVisitor& visit) {
  std::lock_guard guard(lock);
  ++scans;
  changed.notify_all();
  if (snapshotFails) return false;
  for (const auto& [id, name] : processes) visit(id, name);
  return true;
}

std::chrono::steady_clock::time_point FakeSplitSystem::Now() {
  std::lock_guard guard(lock);
  return clock;
}

void FakeSplitSystem::Sleep(std::chrono::milliseconds duration) {
  {
    std::lock_guard guard(lock);
    clock += duration;
    pauses.push_back(duration);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the tests' tracker still yields the core
}

std::vector<std::chrono::milliseconds> FakeSplitSystem::Pauses() {
  std::lock_guard guard(lock);
  return pauses;
}

std::thread FakeSplitSystem::StartThread(std::function<void()> body) {
  if (refuseThread) throw std::system_error(EAGAIN, std::generic_category());
  return SplitPlatform::StartThread(std::move(body));
}

}  // namespace zv::test
