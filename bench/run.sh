#!/usr/bin/env bash
# Every benchmark in one run, as one table. Root for the tunnel rows (network
# namespaces); without root they are left out and say so.
#   bench/run.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
cmake --build "$build" --target control_exchange_bench tracker_cycle_bench update_hash_bench client_start \
  accelerator-service zv-control zv-backend zentravolk-client zv-road orvekind >/dev/null

# median_of BENCHMARK_BINARY FILTER: the median real time and its unit, from Google Benchmark's CSV.
median_of() {
  "$build/bench/$1" --benchmark_filter="$2" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null | awk -F, '/_median/ {
      value = $3; unit = $5; gsub(/"/, "", unit)
      if (unit == "ns" && value >= 999.5) { value /= 1000; unit = "us" }
      if (unit == "us" && value >= 999.5) { value /= 1000; unit = "ms" }
      sub(/^us$/, "µs", unit)
      printf "%.3g %s", value, unit }'
}
row() { printf '| %-52s | %-30s |\n' "$1" "$2"; }

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(uname -r)"
echo
row "measurement" "median"
row "----------------------------------------------------" "------------------------------"
row "control exchange round trip (QueryState, Unix socket)" "$(median_of control_exchange_bench QueryStateExchange)"
row "HandleConnection per request (QueryState, in memory)" "$(median_of control_exchange_bench HandleConnectionQueryState)"
if [[ $(id -u) -eq 0 ]]; then
  row "tracker cycle at 500 real processes: /proc walked" "$(median_of tracker_cycle_bench WalkingProc)"
  row "tracker cycle at 500 real processes: kernel reports" "$(median_of tracker_cycle_bench KernelReports)"
else
  row "tracker cycle at 500 real processes" "left out: needs root"
fi

hash=$(median_of update_hash_bench UpdateSha256)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
head -c $((100 * 1024 * 1024)) /dev/zero | tr '\0' z >"$scratch/installer"
sha256sum "$scratch/installer" >/dev/null  # in the page cache, as the client's bytes are in memory
times=()
for _ in 1 2 3 4 5; do
  began=$(date +%s%N)
  sha256sum "$scratch/installer" >/dev/null
  times+=($((($(date +%s%N) - began) / 1000000)))
done
row "update SHA-256 of 100 MB: the client's check" "$hash"
row "update SHA-256 of 100 MB: sha256sum, same bytes" "$(printf '%s\n' "${times[@]}" | sort -n | sed -n 3p) ms"

starts=()
for _ in 1 2 3 4 5; do starts+=("$(QT_QPA_PLATFORM=offscreen "$build/bench/client_start" 2>/dev/null)"); done
shown=$(printf '%s\n' "${starts[@]}" | awk '{print $2}' | sort -n | sed -n 3p)
resident=$(printf '%s\n' "${starts[@]}" | awk '{print $4}' | sort -n | sed -n 3p)
row "client start to window shown (offscreen)" "$shown ms"
row "client resident memory, window shown" "$((resident / 1024)) MiB"

# The Windows client, when the Windows build is there: start under wine, its size stripped.
windows=$root/build/windows
if [[ -x $windows/client/zentravolk-client.exe ]]; then
  export WINEPREFIX=${WINEPREFIX:-$windows/wineprefix}
  wine_starts=()
  for _ in 1 2 3 4 5; do
    wine_starts+=("$("$root/client/client_windows_checks.sh" start "$windows/client/zentravolk-client.exe" \
      "$windows/client/tests/windows/close_window.exe" "$scratch/wine.png" | sed -n 's/^main window after \([0-9]*\) ms.*/\1/p')")
  done
  row "Windows client start to window shown (wine, Xvfb)" "$(printf '%s\n' "${wine_starts[@]}" | sort -n | sed -n 3p) ms"
  x86_64-w64-mingw32-strip -o "$scratch/stripped.exe" "$windows/client/zentravolk-client.exe"
  row "zentravolk-client.exe, stripped" "$(($(stat -c %s "$scratch/stripped.exe") / 1024 / 1024)) MiB"
else
  row "Windows client rows" "left out: no Windows build"
fi

if [[ $(id -u) -eq 0 ]]; then
  "$root/bench/tunnel_bringup.sh" "$build" 10 | awk 'NR > 1 && NR < 4 {
    printf "| %-52s | %-30s |\n", "tunnel " $1 ": service / wg-quick", $2 " ms / " $3 " ms (" $4 " faster)" }'
  "$root/bench/tunnel_repair.sh" "$build" 10 | awk -F': ' '/to first reply/ {
    printf "| %-52s | %-30s |\n", "tunnel back after: " $1, $2 }'
  "$root/bench/client_load.sh" "$build" 20 | awk -F': ' '{
    printf "| %-52s | %-30s |\n", "client over 20 s, " $1, $2 }'
  "$root/bench/service_load.sh" "$build" 30 | awk -F': ' '{
    printf "| %-52s | %-30s |\n", "service CPU, " $1, $2 }'
  "$root/bench/split_rtt.sh" "$build" 500 | awk -F': ' '/ µs$/ {
    printf "| %-52s | %-30s |\n", "game round trip through the tunnel: " $1 " routing", $2 }'
else
  row "tunnel bring-up and teardown beside wg-quick" "left out: needs root"
fi
