// The split tracker's look at the processes over this machine's real /proc,
// topped up to 500 processes, four of them the game's: once walking /proc
// whole every time, once kept from the kernel programs' reports of program
// starts and ends. Root: it loads the kernel programs, with the split's rule
// and route in a network namespace of its own.
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

#include <net/if.h>

#include "ebpf_game_steering_linux.h"
#include "process_table_linux.h"
#include "split_rules.h"

namespace {

using namespace zv;

// One cycle's look: every process the table holds, its name folded and
// compared with the game's, as the tracker does.
std::size_t CountGames(const std::function<bool(const GameSteering::ProcessVisitor&)>& look) {
  std::size_t games = 0;
  look([&](std::uint32_t, std::string_view name) { games += FoldName(name) == "game-client.exe"; });
  return games;
}

void WalkingProc(benchmark::State& state) {
  ProcessTable table;
  table.Reset(0, [](std::string_view) { return true; });
  const auto look = [&](const GameSteering::ProcessVisitor& visit) {
    table.Forget();  // walked whole every time
    bool walked = false;
    return table.Visit(visit, ProcessTable::Clock::now(), walked);
  };
  if (CountGames(look) != 4) state.SkipWithError("the table should hold four game processes");
  for (auto _ : state) benchmark::DoNotOptimize(CountGames(look));
}
BENCHMARK(WalkingProc)->Unit(benchmark::kMicrosecond);

void KernelReports(benchmark::State& state) {
  EbpfGameSteering steering;
  std::string error;
  if (!steering.Start({if_nametoindex("ZENTRAVOLK"), {"game-client.exe"}, 0, {}}, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto look = [&](const GameSteering::ProcessVisitor& visit) { return steering.ForEachProcess(visit); };
  if (CountGames(look) != 4) state.SkipWithError("the table should hold four game processes");
  for (auto _ : state) benchmark::DoNotOptimize(CountGames(look));
  steering.Stop();
}
BENCHMARK(KernelReports)->Unit(benchmark::kMicrosecond);

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
