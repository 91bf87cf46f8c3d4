#!/usr/bin/env bash
# cross.sh [build|test] TRIPLET DIR: builds looptest for another architecture
# (aarch64-linux-gnu or arm-linux-gnueabihf) with warnings as errors, dynamic in DIR/dynamic and
# fully static in DIR/static, and runs the unit and end-to-end tests under user-mode
# emulation: the unit tests once, the end-to-end tests on each of the two binaries. Then prints
# the stripped sizes. "build" only builds, "test" only tests what was built; without either it
# does both. Needs g++-TRIPLET and qemu-user-static; without them it says so and skips (under
# CI=true it fails). The target's libc6 and libstdc++6 installed beside the host's
# (dpkg --add-architecture) are used if there.
set -euo pipefail
phase=all
if [[ $1 == build || $1 == test ]]; then
  phase=$1
  shift
fi
triplet=$1
dir=$(realpath -m "$2")
source=$(cd "$(dirname "$0")/.." && pwd)
. "$source/.ci/lib.sh"
toolchain=$source/cmake/$triplet.cmake
qemu=$(sed -n 's/^set(LOOPTEST_QEMU \(.*\))$/\1/p' "$toolchain")

for program in "$triplet-g++" "$qemu-static"; do
  command -v "$program" >/dev/null ||
    skip_group "no $program here, so nothing is built or tested for $triplet"
done

if [[ $phase != test ]]; then
  started=$SECONDS
  cmake -S "$source" -B "$dir/dynamic" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLOOPTEST_WERROR=ON
  cmake --build "$dir/dynamic" -j2
  cmake -S "$source" -B "$dir/static" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLOOPTEST_WERROR=ON \
    -DLOOPTEST_STATIC=ON -DBUILD_TESTING=OFF
  cmake --build "$dir/static" -j2
  echo "$triplet: built in $((SECONDS - started)) s"
fi
[[ $phase == build ]] && exit 0

started=$SECONDS
ctest --test-dir "$dir/dynamic" -j"$ctest_jobs" -R '^(unit|e2e)\.' --output-on-failure
"$source/tests/skipped.sh" "$dir/dynamic"
LOOPTEST_BINARY=$dir/static/looptest \
  ctest --test-dir "$dir/dynamic" -j"$ctest_jobs" -R '^e2e\.' --output-on-failure
"$source/tests/skipped.sh" "$dir/dynamic"
echo "$triplet: tested in $((SECONDS - started)) s"

# The static binary needs nothing of the system: it runs in a root that holds only itself (and
# the emulator, itself static). Needs root for chroot.
if [[ $(id -u) == 0 ]]; then
  empty=$(mktemp -d)
  cp "$dir/static/looptest" "$(command -v "$qemu-static")" "$empty/"
  chroot "$empty" "/$qemu-static" /looptest --version
  echo "$triplet static looptest: runs in a root with no C library and no loader"
  rm -rf "$empty"
fi

for variant in dynamic static; do
  "$triplet-strip" -o "$dir/$variant/looptest.stripped" "$dir/$variant/looptest"
  echo "$triplet $variant looptest: $(stat -c %s "$dir/$variant/looptest.stripped") bytes stripped;" \
    "$(file -b "$dir/$variant/looptest" | cut -d, -f1-5)"
done
