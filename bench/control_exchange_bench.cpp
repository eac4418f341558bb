// One QueryState exchange over the real Linux control socket (connect, request,
// reply, close), and HandleConnection alone over bytes in memory. Run with
// --benchmark_repetitions=N for a median.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bytes_connection.h"
#include "control_channel.h"
#include "control_probe.h"
#include "control_server.h"
#include "fake_tunnel_engine.h"

namespace {

void QueryStateExchange(benchmark::State& state) {
  char directory[] = "/tmp/zv-bench-XXXXXX";
  if (mkdtemp(directory) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string path = std::string(directory) + "/control.sock";
  setenv(zv::kControlSocketVariable, path.c_str(), 1);
  zv::StopEvent stopEvent;
  zv::test::FakeTunnelEngine tunnel;
  zv::ControlServer server(stopEvent, tunnel);
  server.StartListener();
  int ready = -1;
  for (int i = 0; i < 500 && (ready = zv::probe::Connect(path)) < 0; ++i) usleep(2000);
  if (ready >= 0) close(ready);

  std::uint64_t id = 0;
  for (auto _ : state) {
    const auto reply = zv::probe::Exchange(path, 1, ++id);
    if (!reply || reply->header.requestId != id) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  stopEvent.Signal();
  server.JoinListener();
  rmdir(directory);
}

BENCHMARK(QueryStateExchange)->UseRealTime();

void HandleConnectionQueryState(benchmark::State& state) {
  zv::StopEvent stopEvent;
  zv::test::FakeTunnelEngine tunnel;
  zv::ControlServer server(stopEvent, tunnel);
  zv::test::MemoryConnection connection(zv::probe::RequestBytes(1, 1, ""));
  for (auto _ : state) {
    connection.consumed = 0;
    connection.output.clear();  // keeps its capacity: no allocation is measured
    server.HandleConnection(connection);
    benchmark::DoNotOptimize(connection.output);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(HandleConnectionQueryState);

}  // namespace

BENCHMARK_MAIN();
