// The split tracker's cycle (scan, compare, drain) over this machine's real
// /proc, topped up to 500 processes, four of them the game's: once walking
// /proc whole every cycle, once kept from the kernel programs' reports of
// program starts and ends. The tracker runs every 25 ms, so a cycle under
// 250 us is under 1% of a core. Root: it loads the kernel programs, with the
// split's rule and route in a network namespace of its own.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "smart_split_engine.h"
#include "split_platform_linux.h"

namespace {

using namespace zv;

// The Linux shell's process table, with its kernel programs or without them
// (then every device and filter call succeeds and does nothing). The tracker
// thread does nothing, so the benchmark alone runs the cycles.
class RealTable final : public SplitPlatform, public TunnelPlatform {
 public:
  explicit RealTable(bool reported) : reported(reported) {}
  DeviceHandle OpenSplitDevice(std::uint32_t& error) override { return reported ? shell.OpenSplitDevice(error) : 1; }
  bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                     void* output, std::uint32_t outputLength, std::uint32_t& returned) override {
    returned = 0;
    return reported && shell.ControlDevice(device, code, input, inputLength, output, outputLength, returned);
  }
  void CloseSplitDevice(DeviceHandle device) override {
    if (reported) shell.CloseSplitDevice(device);
  }
  std::uint32_t OpenFilterEngine(std::uint32_t a, std::uint32_t b, FilterEngineHandle& engine) override {
    engine = this;
    return reported ? shell.OpenFilterEngine(a, b, engine) : 0;
  }
  std::uint32_t BeginTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t AbortTransaction(FilterEngineHandle) override { return 0; }
  std::uint32_t CommitTransaction(FilterEngineHandle engine) override {
    return reported ? shell.CommitTransaction(engine) : 0;
  }
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider&) override { return 0; }
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer&) override { return 0; }
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout&) override { return 0; }
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter&) override { return 0; }
  void CloseFilterEngine(FilterEngineHandle engine) override {
    if (reported) shell.CloseFilterEngine(engine);
  }
  void SetGameNames(const std::vector<std::u16string>& names) override { shell.SetGameNames(names); }
  bool ForEachProcess(const ProcessVisitor& visit) override { return shell.ForEachProcess(visit); }
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

 private:
  bool reported;
  LinuxSplitPlatform shell;
};

void TrackerCycle(benchmark::State& state, bool reported) {
  RealTable table(reported);
  SmartSplitEngine engine(table, table);
  std::string error;
  if (!engine.Start(4097, {"game-client.exe", "game-launcher.exe"}, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::uint64_t> previous;
  engine.RunTrackerCycle(previous);  // the first sends; the measured ones find no change
  if (previous.size() != 4) state.SkipWithError("the table should hold four game processes");
  for (auto _ : state) engine.RunTrackerCycle(previous);
  engine.Stop();
}
BENCHMARK_CAPTURE(TrackerCycle, WalkingProc, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TrackerCycle, KernelReports, true)->Unit(benchmark::kMicrosecond);

std::size_t ProcessCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    count += entry.path().filename().string().find_first_not_of("0123456789") == std::string::npos;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 ||
      std::system("ip tuntap add ZENTRAVOLK mode tun && ip link set ZENTRAVOLK up") != 0) {
    std::fprintf(stderr, "tracker_cycle_bench: needs root, for the kernel programs and a namespace\n");
    return 1;
  }
  std::vector<pid_t> sleepers;
  char sleep[] = "sleep", game[] = "C:\\Games\\Game-Client.EXE", forever[] = "infinity";
  for (int spawned = 0; spawned < 4 || ProcessCount() < 500; ++spawned) {
    char* arguments[] = {spawned < 4 ? game : sleep, forever, nullptr};
    pid_t child = -1;
    if (posix_spawn(&child, "/bin/sleep", nullptr, nullptr, arguments, environ) != 0) break;
    sleepers.push_back(child);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // until their names count as settled
  benchmark::RunSpecifiedBenchmarks();
  for (const pid_t child : sleepers) kill(child, SIGKILL), waitpid(child, nullptr, 0);
  benchmark::Shutdown();
}
