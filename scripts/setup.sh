#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian machine, when it is missing.
set -euo pipefail
packages=(g++-mingw-w64-x86-64 cmake make wine wine64 xvfb xauth xdotool googletest imagemagick unzip
  python3)
# The clang builds (presets clang-mingw-x64 and ub-trap) and the lint (scripts/lint.sh).
packages+=(clang-16 lld-16 clang-tidy-16)
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
