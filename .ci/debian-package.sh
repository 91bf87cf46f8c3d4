#!/usr/bin/env bash
# The Debian source package, made as the distribution makes its own: installs what that needs;
# builds source and binary with dpkg-buildpackage from a clean copy of the tree (the unit and
# doc tests run in the build); runs lintian on the result, which must report no error and no
# warning; runs the autopkgtest on the installed package, then removes it; and checks that the
# package holds the same paths as the one CPack makes from a build tree. From the repository's
# root, as root, with no standard input. What is missing fails the script under CI=true;
# elsewhere it is skipped, saying why.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
. .ci/lib.sh

step_name="" step_started=$SECONDS
# step TITLE: ends the step before with its time, and begins the next (none without TITLE).
step() {
  [[ -z $step_name ]] || printf '==== %s: %d s\n' "$step_name" $((SECONDS - step_started))
  step_name=${1:-} step_started=$SECONDS
  [[ -z $step_name ]] || printf '\n==== %s\n' "$step_name"
}


# paths DEB: the paths the package installs, one a line, sorted; its root left out.
paths() {
  dpkg-deb --fsys-tarfile "$1" | tar -t | sed -n 's|^\./\(..*\)|/\1|p' | LC_ALL=C sort
}

step "packages"
((EUID == 0)) || skip_group "not root: packages must be installed, and the autopkgtest installs looptest"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends dpkg-dev debhelper cmake make g++ libgtest-dev \
  libgmock-dev groff-base lintian autopkgtest python3 mount man-db bash-completion </dev/null ||
  echo "apt-get install failed; going on with the packages at hand"
missing=()
for command in dpkg-buildpackage dh cmake cpack g++ lintian autopkgtest; do
  command -v "$command" >/dev/null || missing+=("$command")
done
((${#missing[@]} == 0)) || skip_group "not installed, and apt-get could not install them: ${missing[*]}"
if dpkg-query -W -f '${Status}' looptest 2>/dev/null | grep -q ' installed$'; then
  skip_group "looptest is installed already, and the autopkgtest would replace it" \
    "(dpkg -r looptest first)"
fi

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
work=$(mktemp -d /tmp/looptest-debian.XXXXXX)
tree=$work/looptest-$version
installed=""
finish() {
  local status=$?
  [[ -z $installed ]] || dpkg -r looptest >/dev/null || echo "could not remove looptest"
  if ((status == 0)); then
    rm -rf "$work"
  else
    echo "The build, its logs and its packages are kept in $work"
  fi
}
trap finish EXIT

step "a clean copy of the tree: $tree"
mkdir "$tree"
# What git tracks, and new files it does not ignore; outside git, all but build trees.
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$source" ls-files -z --cached --others --exclude-standard |
    (cd "$source" && xargs -0 -r cp --parents -t "$tree")
else
  tar -C "$source" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -c . | tar -C "$tree" -x
fi
(cd "$tree" && dpkg-checkbuilddeps) ||
  skip_group "build dependencies are missing, and apt-get could not install them"

step "dpkg-buildpackage: the source package, then looptest built and tested as in Debian"
(cd "$tree" && dpkg-buildpackage -us -uc -J2 </dev/null)
changes=$work/looptest_${version}_$(dpkg-architecture -q DEB_HOST_ARCH).changes
deb=$(ls "$work"/looptest_"$version"_*.deb)
ls -l "$work"

step "lintian: no error and no warning"
lintian --fail-on error,warning --info "$changes"
echo "lintian: no error, no warning"

step "autopkgtest, null runner: the tests of debian/tests on the installed package"
installed=yes
status=0
autopkgtest --output-dir "$work/autopkgtest" ${CI:+"--env=CI=$CI"} \
  "$deb" "$work/looptest_$version.dsc" -- null </dev/null || status=$?
# An archive caught in the middle of a sync fails autopkgtest's own apt-get update as it cleans
# up, after the tests (status 20): then the tests' own results, every one a pass, are the answer.
summary=$work/autopkgtest/summary
if ((status == 20)) && [[ -s $summary ]] && ! grep -qvE '^[^ ]+ +PASS$' "$summary"; then
  echo "autopkgtest could not clean up after the tests (status 20); every test passed:"
  cat "$summary"
elif ((status != 0)); then
  echo "FAILED: autopkgtest, status $status"
  exit 1
fi
dpkg -r looptest
installed=""

step "CPack: the package from a build tree holds the same paths"
# CI has made CPack's package of its own build already (LOOPTEST_CPACK_DEB names it).
cpack_deb=${LOOPTEST_CPACK_DEB:-}
if [[ -z $cpack_deb ]]; then
  cmake -S "$tree" -B "$work/cpack" -DBUILD_TESTING=OFF >"$work/cpack.log"
  cmake --build "$work/cpack" -j2 >>"$work/cpack.log"
  (cd "$work/cpack" && cpack -G DEB >>"$work/cpack.log")
  cpack_deb=$(ls "$work"/cpack/looptest_*.deb)
fi
if ! diff -u --label "CPack ($cpack_deb)" --label "debhelper ($deb)" \
  <(paths "$cpack_deb") <(paths "$deb"); then
  echo "CPack's package:"
  paths "$cpack_deb"
  echo "debhelper's package:"
  paths "$deb"
  echo "FAILED: the two packages install different paths"
  exit 1
fi
echo "Both packages install these, and nothing else:"
paths "$deb"

step
echo "The Debian package: built, clean for lintian, tested installed; $((SECONDS)) s in all"
