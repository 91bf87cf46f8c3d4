#!/usr/bin/env bash
# changelog_version_test.sh CHANGELOG VERSION: the changelog's latest entry, whose version the
# Debian package takes, is of the project's VERSION (an epoch or a Debian revision aside).
set -euo pipefail
entry=$(head -n 1 "$1")
version=$(sed -n '1s/^looptest (\([^)]*\)) .*/\1/p' "$1")
upstream=${version#*:}
[[ $upstream == *-* ]] && upstream=${upstream%-*}
if [[ $upstream != "$2" ]]; then
  echo "FAIL: $1 begins '$entry', version '$version'; the project is at $2 (CMakeLists.txt)"
  exit 1
fi
