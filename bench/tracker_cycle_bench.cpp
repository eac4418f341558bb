// One game process scan and one whole tracker cycle (scan, compare, drain of an
// idle driver) over a synthetic table of 500 processes, four of them the game's.
// The tracker runs every 25 ms, so a cycle under 250 us is under 1% of a core.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "smart_split_engine.h"

namespace {

using namespace zv;

// A driver with nothing pending and a process table that never changes. Its
// tracker thread does nothing, so the benchmark alone runs the cycles.
class IdleSystem final : public SplitPlatform, public TunnelPlatform {
 public:
  IdleSystem() {
    const char16_t* common[] = {u"svchost.exe", u"chrome.exe", u"RuntimeBroker.exe", u"explorer.exe",
                                u"SearchHost.exe"};
    for (std::uint32_t id = 4; table.size() < 500; id += 4) {
      const bool game = id % 500 == 0;  // ids 500, 1000, 1500, 2000
      table.emplace_back(id, game ? u"Game-Client.EXE" : common[id % 5]);
    }
  }
  DeviceHandle OpenSplitDevice(std::uint32_t&) override { return 1; }
  bool ControlDevice(DeviceHandle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                     std::uint32_t& returned) override {
    returned = 0;
    return false;
  }
  void CloseSplitDevice(DeviceHandle) override {}
  std::uint32_t OpenFilterEngine(std::uint32_t, std::uint32_t, FilterEngineHandle& engine) override {
    engine = this;
    return 0;
  }
  std::uint32_t BeginTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t AbortTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t CommitTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider&) override { return 0; }
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer&) override { return 0; }
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout&) override { return 0; }
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter&) override { return 0; }
  void CloseFilterEngine(FilterEngineHandle) override {}
  bool ForEachProcess(const ProcessVisitor& visit) override {
    for (const auto& [id, name] : table) visit(id, name);
    return true;
  }
  std::thread StartThread(std::function<void()>) override { return std::thread([] {}); }

  // Routes are never made: no flow is ever pending.
  std::u16string OwnProgramPath() override { return {}; }
  std::u16string_view PathSeparators() const override { return u"/"; }
  std::u16string_view WireGuardLibraryName() const override { return {}; }
  ModuleHandle LoadLibraryAt(const std::u16string&) override { return nullptr; }
  ExportAddress FindExport(ModuleHandle, const char*) override { return nullptr; }
  void UnloadLibrary(ModuleHandle) override {}
  std::uint32_t LastError() override { return 0; }
  bool DecodeKey(const std::string&, WireGuardKey&) override { return false; }
  bool ResolveAddress(const std::string&, const std::string&, SocketAddressInet&) override { return false; }
  std::uint32_t BestRoute(const SocketAddressInet&, std::uint64_t&, SocketAddressInet&) override { return 1; }
  std::uint32_t CreateRoute(const RouteRow&) override { return 1; }
  std::uint32_t DeleteRoute(const RouteRow&) override { return 1; }
  std::uint32_t CreateAddress(const AddressRow&) override { return 1; }

  std::vector<std::pair<std::uint32_t, std::u16string>> table;
};

template <typename Body>
void WithRunningEngine(benchmark::State& state, Body body) {
  IdleSystem system;
  SmartSplitEngine engine(system, system);
  std::string error;
  if (!engine.Start(4097, {"game-client.exe", "game-launcher.exe"}, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  if (engine.ScanGameProcesses().size() != 4) state.SkipWithError("the table should hold four game processes");
  body(engine);
}

void ScanGameProcesses(benchmark::State& state) {
  WithRunningEngine(state, [&](SmartSplitEngine& engine) {
    for (auto _ : state) benchmark::DoNotOptimize(engine.ScanGameProcesses());
  });
}
BENCHMARK(ScanGameProcesses)->Unit(benchmark::kMicrosecond);

void TrackerCycle(benchmark::State& state) {
  WithRunningEngine(state, [&](SmartSplitEngine& engine) {
    std::vector<std::uint64_t> previous;
    engine.RunTrackerCycle(previous);  // the first sends; the measured ones find no change
    for (auto _ : state) engine.RunTrackerCycle(previous);
  });
}
BENCHMARK(TrackerCycle)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
