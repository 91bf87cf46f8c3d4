#!/usr/bin/env bash
# run.sh SUITE DIR: builds looptest with warnings as errors and runs its unit and end-to-end
# tests on Debian SUITE (trixie, sid, ...), in a minimal root made in DIR from Debian's archive
# and kept there for the next run. A root that cannot be made is reported as skipped, with the
# reason; a build or a test that fails, fails. Needs root and debootstrap.
set -euo pipefail
suite=$1
root=$(realpath -m "$2")
source=$(cd "$(dirname "$0")/../.." && pwd)
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [[ ! -x $root/usr/bin/cmake ]]; then
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  started=$SECONDS
  if ! debootstrap --variant=minbase --include=g++,cmake,make,libgtest-dev,libgmock-dev \
      "$suite" "$root" "$mirror" >"$root.log" 2>&1; then
    echo "SKIPPED: no Debian $suite root could be made from $mirror: $(tail -n 1 "$root.log")"
    exit 0
  fi
  echo "Debian $suite root made in $((SECONDS - started)) s"
fi

# The tree as it is, without what earlier builds left.
rm -rf "$root/looptest"
mkdir -p "$root/looptest"
tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$root/looptest" -xf -

# In a mount namespace of its own, so that every mount below ends with this script. The root
# is a mount point, as the test bench makes / private before it mounts its own /dev; /proc and
# /dev are as on a real machine, /dev with its own pty instance.
unshare --mount --propagation private /bin/bash -euo pipefail -s "$root" <<'INSIDE'
root=$1
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
exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root /bin/bash -euo pipefail -c '
  cd /looptest
  echo "system: $(. /etc/os-release; echo "$PRETTY_NAME"), $(g++ --version | head -n 1),"\
    "$(ldd --version | head -n 1), $(cmake --version | head -n 1)"
  cmake -S . -B build -DLOOPTEST_WERROR=ON
  cmake --build build -j2
  # The emulated UARTs need qemu and a guest kernel, which this root does not have.
  ctest --test-dir build --output-on-failure -E "^uart\."
'
INSIDE
