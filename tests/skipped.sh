#!/usr/bin/env bash
# skipped.sh [BUILD]: each test that the last ctest run in BUILD (default: build) skipped, and
# why, as CTest itself shows only that it was skipped.
set -euo pipefail
log=${1:-build}/Testing/Temporary/LastTest.log
[[ -f $log ]] || { echo "no test log in ${1:-build}: run ctest there first" >&2; exit 2; }
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
     /: Skipped$/ { getline why; print "skipped " name ": " why; skipped = 1 }
     END { if (!skipped) print "no test was skipped" }' "$log" | uniq
