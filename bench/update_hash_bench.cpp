// The update check's verification: SHA-256 of a downloaded installer held in
// memory, as the client hashes it before saving, over 100 MB.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QCryptographicHash>

namespace {

void UpdateSha256(benchmark::State& state) {
  const QByteArray installer(100 * 1024 * 1024, 'z');
  for (auto _ : state) {
    benchmark::DoNotOptimize(QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex());
  }
  state.SetBytesProcessed(state.iterations() * installer.size());
}

BENCHMARK(UpdateSha256)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
