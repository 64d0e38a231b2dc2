#!/usr/bin/env bash
# Installs what a command needs on a Debian machine, when it is missing: building, running and
# testing the GCC build need the base list; the clang builds and the lint add clang.
# Usage: bash scripts/setup.sh [mingw-x64 | clang-mingw-x64 | ub-trap | lint]   (mingw-x64 if none)
set -euo pipefail
need=${1:-mingw-x64}
base=(g++-mingw-w64-x86-64 cmake make wine wine64 xvfb xauth xdotool googletest imagemagick unzip
  python3 rsync)
clang=(clang-16 lld-16 clang-tidy-16)
case $need in
  mingw-x64) packages=("${base[@]}") ;;
  clang-mingw-x64 | ub-trap | lint) packages=("${base[@]}" "${clang[@]}") ;;
  *)
    echo "setup.sh: unknown need '$need'" >&2
    exit 2
    ;;
esac
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
