#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60) on a copy of its
# seed corpus. Fails on any finding; prints each target's executions and coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD:-build-fuzz}

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DLOOPTEST_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target options_fuzz port_names_fuzz command_line_fuzz \
  checker_fuzz

for target in options port_names command_line checker; do
  work=$(mktemp -d)
  log="$work/log"
  # New inputs go to the scratch directory; the seeds in the repository stay as they are.
  if ! "$build/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target found a fault; the input is in $work" >&2
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
  echo "fuzz: $target: $runs runs in ${seconds}s, $coverage"
  rm -rf "$work"
done
