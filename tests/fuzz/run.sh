#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded number of
# executions, starting from the seed corpus in the repository (new inputs go to
# a scratch folder, not into the repository).
#
# usage: tests/fuzz/run.sh [RUNS_PER_TARGET] [BUILD_DIR]
set -euo pipefail
runs=${1:-200000}
build=${2:-build-fuzz}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

cmake -S "$source_dir" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVELORIN_FUZZ=ON -DVELORIN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target parse_fuzz inventory_fuzz replies_fuzz >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in parse inventory replies; do
  mkdir -p "$scratch/$target"
  log="$scratch/$target.log"
  if "$build/tests/fuzz/${target}_fuzz" -runs="$runs" -print_final_stats=1 \
      "$scratch/$target" "$source_dir/tests/fuzz/corpus/$target" >"$log" 2>&1; then
    echo "$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "$target: FINDING"
    tail -n 40 "$log"
    status=1
  fi
done
exit "$status"
