#!/usr/bin/env bash
# systems.sh root|build|test SUITE DIR: builds looptest with warnings as errors and runs its
# unit and end-to-end tests on Debian SUITE (trixie, sid, ...), in a minimal root made in DIR
# from Debian's archive (the one this machine's apt takes its packages from) and kept there
# for the next run. "root" only makes the root, which is mostly downloading and can go on while
# other work runs; "build" makes it if need be, and builds the tree as it is now in it; "test"
# builds too unless "build" did, then tests. A root that cannot be made is
# reported as skipped, with the reason (under CI=true it fails); a build or a test that fails,
# fails. Needs root and debootstrap.
set -euo pipefail
phase=$1
suite=$2
root=$(realpath -m "$3")
source=$(cd "$(dirname "$0")/.." && pwd)
. "$source/.ci/lib.sh"

# The Debian archive this machine's apt is set up with (not its security archive).
debian_archive() {
  apt-get indextargets --format '$(LABEL)|$(REPO_URI)' 2>/dev/null |
    awk -F'|' '$1 == "Debian" { print $2; exit }'
}

make_root() {
  [[ -x $root/usr/bin/cmake ]] && return
  command -v debootstrap >/dev/null || skip_group "no debootstrap here, so no Debian $suite root"
  local archive
  archive=$(debian_archive)
  [[ -n $archive ]] ||
    skip_group "apt knows no Debian archive here (run apt-get update), so no Debian $suite root"
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  local started=$SECONDS
  if ! debootstrap --variant=minbase \
      --include=g++,cmake,make,libgtest-dev,libgmock-dev,python3,python3-jsonschema \
      "$suite" "$root" "$archive" >"$root.log" 2>&1; then
    rm -rf "$root"
    skip_group "no Debian $suite root could be made from $archive: $(tail -n 1 "$root.log")"
  fi
  echo "Debian $suite root made in $((SECONDS - started)) s"
}

make_root
[[ $phase == root ]] && exit 0

# The tree as it is, without what earlier builds left; a test after a build tests that build.
build=yes
if [[ $phase == test && -x $root/looptest/build/looptest ]]; then
  build=""
else
  rm -rf "$root/looptest"
  mkdir -p "$root/looptest"
  tar -C "$source" --exclude='./build*' --exclude='./ci-jobs' --exclude=./.git -cf - . |
    tar -C "$root/looptest" -xf -
fi
test=$([[ $phase == test ]] && echo yes || true)

# In a mount namespace of its own, so that every mount below ends with this script. The root
# is a mount point, as the test bench makes / private before it mounts its own /dev; /proc and
# /dev are as on a real machine, /dev with its own pty instance.
unshare --mount --propagation private /bin/bash -euo pipefail -s "$root" "$ctest_jobs" "${CI:-}" \
  "$build" "$test" <<'INSIDE'
root=$1
jobs=$2
ci=$3
build=$4
test=$5
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=0755 dev "$root/dev"
for node in null zero full random urandom tty; do
  touch "$root/dev/$node"
  mount --bind "/dev/$node" "$root/dev/$node"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
mount -t tmpfs tmpfs "$root/tmp"
exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root JOBS="$jobs" CI="$ci" \
  BUILD="$build" TEST="$test" /bin/bash -euo pipefail -c '
  cd /looptest
  echo "system: $(. /etc/os-release; echo "$PRETTY_NAME"), $(g++ --version | head -n 1),"\
    "$(ldd --version | head -n 1), $(cmake --version | head -n 1)"
  if [[ -n $BUILD ]]; then
    cmake -S . -B build -DLOOPTEST_WERROR=ON
    cmake --build build -j2
  fi
  # The emulated UARTs need qemu and a guest kernel, and the fleet test Ansible, none of which
  # this root has; they run on the machine itself.
  if [[ -n $TEST ]]; then
    ctest --test-dir build -j"$JOBS" --output-on-failure -E "^(uart\.|e2e\.Fleet\.)"
  fi
'
INSIDE
