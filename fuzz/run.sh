#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a
# bounded time from its seed corpus; a crash fails the run. Prints each
# target's executions and coverage.
#   fuzz/run.sh [SECONDS_EACH]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(control_connection request_fields parse_prefix split_endpoint pending_flow reply_header)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"
work=build/fuzz/runs
mkdir -p "$work"
printf '%-22s %12s %8s %8s\n' target executions cov ft >"$work/summary"
for target in "${targets[@]}"; do
  corpus=$work/$target
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$target"/* "$corpus"/
  # The corpus grows in the build folder; the seeds in the tree stay as they are.
  if ! build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$target-" \
    "$corpus" >"$work/$target.log" 2>&1; then
    tail -40 "$work/$target.log"
    echo "fuzz_$target found a crash; the input is in $work/" >&2
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$')
  line=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$work/$target.log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' <<<"$line" | grep -o '[0-9]*')
  ft=$(grep -o 'ft: [0-9]*' <<<"$line" | grep -o '[0-9]*')
  printf '%-22s %12s %8s %8s\n' "$target" "$runs" "$cov" "$ft" >>"$work/summary"
done
cat "$work/summary"
