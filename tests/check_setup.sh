#!/usr/bin/env bash
# What scripts/setup.sh asks apt-get for on a machine where no package is installed yet, per need:
# the GCC build, which the run and test commands use, takes no clang, lld or clang-tidy; the
# clang presets and the lint do. dpkg-query, apt-get and id are stand-ins on PATH.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
printf '#!/bin/sh\nexit 1\n' >"$stubs/dpkg-query"
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
printf '#!/bin/sh\n[ "$1" = install ] && echo "$@" >>"%s/asked"\nexit 0\n' "$stubs" >"$stubs/apt-get"
chmod +x "$stubs"/*
failed=0
check() {  # need, whether clang is expected
  rm -f "$stubs/asked"
  PATH=$stubs:$PATH bash "$root/scripts/setup.sh" "$1" >/dev/null
  local asked
  asked=$(cat "$stubs/asked")
  local clang=no
  grep -qE '(^| )(clang-16|lld-16|clang-tidy-16)( |$)' <<<"$asked" && clang=yes
  grep -q 'g++-mingw-w64-x86-64' <<<"$asked" || { echo "FAIL $1: no cross compiler asked for"; failed=1; }
  if [ "$clang" = "$2" ]; then echo "ok $1: clang asked for: $clang"
  else echo "FAIL $1: clang asked for: $clang, expected $2"; failed=1; fi
}
check mingw-x64 no
check clang-mingw-x64 yes
check ub-trap yes
check lint yes
exit $failed
