// One QueryState exchange over the real Linux control socket (connect, request,
// reply, close), and HandleConnection alone over bytes in memory. Run with
// --benchmark_repetitions=N for a median.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "control_channel.h"
#include "control_probe.h"
#include "control_server.h"

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
  zv::MissingTunnelEngine tunnel;
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

// One request's bytes in, the reply's bytes out.
class BytesConnection final : public zv::ControlConnection {
 public:
  explicit BytesConnection(const std::string& input) : input(input) {}
  bool CallerAllowed() override { return true; }
  bool ReadExact(std::uint8_t* data, std::size_t length) override {
    if (input.size() - at < length) return false;
    std::memcpy(data, input.data() + at, length);
    at += length;
    return true;
  }
  bool WriteAll(const std::uint8_t*, std::size_t length) override {
    written += length;
    return true;
  }
  std::size_t written = 0;

 private:
  const std::string& input;
  std::size_t at = 0;
};

void HandleConnectionQueryState(benchmark::State& state) {
  zv::StopEvent stopEvent;
  zv::MissingTunnelEngine tunnel;
  zv::ControlServer server(stopEvent, tunnel);
  const std::string request = zv::probe::RequestBytes(1, 1, "");
  for (auto _ : state) {
    BytesConnection connection(request);
    server.HandleConnection(connection);
    benchmark::DoNotOptimize(connection.written);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(HandleConnectionQueryState);

}  // namespace

BENCHMARK_MAIN();
