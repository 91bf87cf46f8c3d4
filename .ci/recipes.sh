#!/usr/bin/env bash
# recipes.sh TRIPLET DIR: builds looptest in DIR as the Buildroot package and the Yocto recipe
# under dist/ ask (their CMake options, a cross toolchain for TRIPLET, an install into DESTDIR)
# and checks what each installs, and that the versions and license checksums the recipes hold
# are the project's. Neither build system runs here: each fetches a toolchain of its own.
set -euo pipefail
triplet=$1
dir=$(realpath -m "$2")
source=$(cd "$(dirname "$0")/.." && pwd)
. "$source/.ci/lib.sh"
buildroot=$source/dist/buildroot/package/looptest
yocto=$source/dist/yocto/meta-looptest/recipes-support/looptest

command -v "$triplet-g++" >/dev/null || skip_group "no $triplet-g++ here, so no recipe build"
fail() {
  echo "FAILED: $*"
  exit 1
}

version=$(sed -n 's/^project(looptest VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[[ $(sed -n 's/^LOOPTEST_VERSION = //p' "$buildroot/looptest.mk") == "$version" ]] ||
  fail "looptest.mk is not at version $version"
[[ -f $yocto/looptest_$version.bb ]] || fail "no looptest_$version.bb"
bb=$yocto/looptest_$version.bb
[[ $(sed -n 's/^sha256  \([0-9a-f]*\)  debian\/copyright$/\1/p' "$buildroot/looptest.hash") == \
  $(sha256sum <"$source/debian/copyright" | cut -d' ' -f1) ]] || fail "looptest.hash: debian/copyright"
[[ $(sed -n 's/^LIC_FILES_CHKSUM = "file:\/\/debian\/copyright;md5=\([0-9a-f]*\)"$/\1/p' "$bb") == \
  $(md5sum <"$source/debian/copyright" | cut -d' ' -f1) ]] || fail "$bb: LIC_FILES_CHKSUM"

# build NAME OPTIONS...: configures, builds and installs into DIR/NAME-root as both build
# systems do, with the options the recipe gives.
build() {
  local name=$1
  shift
  rm -rf "${dir:?}/$name" "$dir/$name-root"
  if ! { cmake -S "$source" -B "$dir/$name" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr "$@" &&
    cmake --build "$dir/$name" -j2 &&
    DESTDIR=$dir/$name-root cmake --install "$dir/$name"; } >"$dir/$name.log" 2>&1; then
    tail -n 30 "$dir/$name.log"
    fail "the $name build (the whole log: $dir/$name.log)"
  fi
}

# check NAME LINKING: the installed tree holds the tool for TRIPLET, linked so, its documents
# and the result file's schema, and nothing else. The static build's documents are
# looptest-static's, as its package is.
check() {
  local root=$dir/$1-root tree expected docs=./usr/share/doc/looptest
  [[ $2 == static* ]] && docs+=-static
  tree=$(cd "$root" && find . -type f | sort)
  expected=$(printf '%s\n' ./usr/bin/looptest ./usr/share/bash-completion/completions/looptest \
    "$docs/changelog.gz" "$docs/copyright" "$docs/examples/70-looptest-adapters.rules" \
    "$docs/examples/mdev.conf" ./usr/share/looptest/result.schema.json \
    ./usr/share/man/man1/looptest.1.gz)
  [[ $tree == "$expected" ]] || fail "$1 installs"$'\n'"$tree"
  local kind
  kind=$(file -b "$root/usr/bin/looptest")
  case $triplet in
    aarch64-*) [[ $kind == *"ARM aarch64"* ]] || fail "$1: $kind" ;;
    arm-*) [[ $kind == *"32-bit LSB"*"ARM, EABI5"* ]] || fail "$1: $kind" ;;
  esac
  [[ $kind == *"$2"* ]] || fail "$1 is not $2: $kind"
  echo "$1: installs the tool ($(stat -c %s "$root/usr/bin/looptest") bytes, $2), its man page," \
    "completion, copyright, changelog, the adapters' naming rules and the result's schema," \
    "and nothing else"
}

mkdir -p "$dir"
read -ra buildroot_options <<<"$(sed -n 's/^LOOPTEST_CONF_OPTS = //p' "$buildroot/looptest.mk")"
read -ra buildroot_static <<<"$(sed -n 's/^LOOPTEST_CONF_OPTS += //p' "$buildroot/looptest.mk")"
build buildroot "${buildroot_options[@]}"
check buildroot "dynamically linked"
build buildroot-static "${buildroot_options[@]}" "${buildroot_static[@]}"
check buildroot-static "statically linked"

# EXTRA_OECMAKE with the ptest package off, then on; a Yocto build has no emulator to run
# the tests while it builds, so the test programs must build without one.
oecmake=$(sed -n 's/^EXTRA_OECMAKE = "\(.*\)"$/\1/p' "$bb")
ptest_off=${oecmake//\$\{@bb.utils.contains(\'PTEST_ENABLED\', \'1\', \'ON\', \'OFF\', d)\}/OFF}
ptest_on=${oecmake//\$\{@bb.utils.contains(\'PTEST_ENABLED\', \'1\', \'ON\', \'OFF\', d)\}/ON}
[[ $ptest_off == "-DBUILD_TESTING=OFF" && $ptest_on == "-DBUILD_TESTING=ON" ]] ||
  fail "EXTRA_OECMAKE is not read here: $oecmake"
build yocto "$ptest_off"
check yocto "dynamically linked"
build yocto-ptest "$ptest_on" -DCMAKE_CROSSCOMPILING_EMULATOR=
check yocto-ptest "dynamically linked"
[[ $(file -b "$dir/yocto-ptest/looptest_unit_tests") == *ARM* ]] ||
  fail "the ptest's unit tests were not built for $triplet"
echo "yocto-ptest: looptest_unit_tests built for $triplet, for run-ptest"
