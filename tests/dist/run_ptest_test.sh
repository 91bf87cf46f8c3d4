#!/usr/bin/env bash
# run_ptest_test.sh RUN_PTEST UNIT_TESTS: the Yocto recipe's run-ptest, beside the unit tests
# as the ptest package installs it, prints one PASS: line for each unit test; and for a test
# program that fails, FAIL: and SKIP: lines and a failing status.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/run-ptest"
cp "$2" "$work/looptest_unit_tests"

tests=$("$2" --gtest_list_tests | grep -c '^  ')
report=$("$work/run-ptest")
if [[ $(grep -Ec '^PASS: [A-Za-z0-9_/]+\.[A-Za-z0-9_/]+$' <<<"$report") != "$tests" ||
  $(grep -vc '^PASS: ' <<<"$report") != 0 ]]; then
  printf '%s unit tests, but run-ptest printed:\n%s\n' "$tests" "$report"
  exit 1
fi

cat >"$work/looptest_unit_tests" <<'PROGRAM'
#!/bin/sh
printf '%s\n' '[ RUN      ] Line.Passes' '[       OK ] Line.Passes (0 ms)' \
  '[ RUN      ] Line.Fails' '[  FAILED  ] Line.Fails (1 ms)' '[ RUN      ] Line.Skips' \
  '[  SKIPPED ] Line.Skips (0 ms)' '[  FAILED  ] 1 test, listed below:' '[  FAILED  ] Line.Fails'
exit 1
PROGRAM
status=0
report=$("$work/run-ptest") || status=$?
expected=$'PASS: Line.Passes\nFAIL: Line.Fails\nSKIP: Line.Skips'
if [[ $report != "$expected" || $status != 1 ]]; then
  printf 'for a failing test program, run-ptest printed (status %s):\n%s\n' "$status" "$report"
  exit 1
fi
echo "run-ptest: $tests PASS lines for $tests unit tests; FAIL, SKIP and the status passed on"
