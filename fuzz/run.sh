#!/usr/bin/env bash
# Builds the fuzz targets (the three readers of what a user types, and the stream checker)
# with clang and runs them all at once, each for SECONDS (default 60) on a copy of its seed
# corpus. Fails on any finding; prints each target's executions and coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD:-build-fuzz}
targets=(options port_names command_line checker)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DLOOPTEST_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzz}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# fuzz TARGET: runs one target; new inputs go to a scratch directory, so the seeds in the
# repository stay as they are.
fuzz() {
  mkdir "$work/$1"
  "$build/$1_fuzz" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$1/" \
    "$work/$1" "fuzz/corpus/$1" >"$work/$1.log" 2>&1
}
declare -A running
for target in "${targets[@]}"; do
  fuzz "$target" &
  running[$target]=$!
done
failed=()
for target in "${targets[@]}"; do
  if ! wait "${running[$target]}"; then
    tail -n 40 "$work/$target.log"
    found=$(mktemp -d)
    cp -r "$work/$target" "$found/"
    echo "fuzz: $target found a fault; the input is in $found/$target" >&2
    failed+=("$target")
    continue
  fi
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/$target.log" | grep -o '[0-9]*$')
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/$target.log" | tail -n 1)
  echo "fuzz: $target: $runs runs in ${seconds}s, $coverage"
done
[[ ${#failed[@]} == 0 ]]
