# lib.sh: what the scripts that drive CI share. Sourced, not run.

# skip_group WHY...: a group of checks cannot run here. Under CI=true, where every group is
# meant to run, that fails the run, saying why; elsewhere the group is skipped, saying why.
skip_group() {
  if [[ ${CI:-} == true ]]; then
    echo "FAILED: $* (CI=true: this group must run, not be skipped)" >&2
    exit 1
  fi
  echo "SKIPPED: $*"
  exit 0
}

# The test runs' parallelism: most tests wait on ptys, timers or an emulator rather than a
# core, and the ones that share something say so in CTest.
ctest_jobs=${CTEST_JOBS:-4}
