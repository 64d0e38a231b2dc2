#!/usr/bin/env bash
# Prints the release's date, in seconds since 1970, that the package gives every entry of the ZIP:
# SOURCE_DATE_EPOCH when set, else the time of this tree's last commit, else (a tree without its
# git history) 1980-01-01 00:00 UTC. So the same commit gives the same date wherever it is built.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] ||
    { echo "source-date: SOURCE_DATE_EPOCH is not a count of seconds: $SOURCE_DATE_EPOCH" >&2; exit 1; }
  echo "$SOURCE_DATE_EPOCH"
# This tree's own history only: a copy of the tree inside another repository must not take its date.
elif [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
  git log -1 --format=%ct
else
  echo "source-date: no git history in $(pwd -P); dating the release 1980-01-01 00:00 UTC" >&2
  echo 315532800
fi
