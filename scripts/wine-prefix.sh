#!/usr/bin/env bash
# Makes a fresh Wine prefix at $1 for running the program and its tests: no Mono or Gecko
# prompts, no window-manager waits on hide and destroy, crashes end the process at once.
# Making one costs some 15 s of processor time, copying one (700 MB) a second or two: every prefix
# of a build folder is a copy of that folder's template, wineprefix-template, which is made on
# first use and again when Wine or this script changes. A copy is made with rsync, so that
# bringing back a prefix a run has changed copies only what it changed.
# Usage: bash scripts/wine-prefix.sh <prefix>
#        bash scripts/wine-prefix.sh --template <build folder>   makes the folder's template when
#                                                                it is missing or out of date, and
#                                                                prints its path
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The template of build folder $1, up to date; one script at a time makes it.
template_of() {
  local template=$1/wineprefix-template
  local made_by
  made_by="$(wine --version) $(sha256sum <"$here/wine-prefix.sh" | cut -c1-16)"
  mkdir -p "$1"
  exec {lock}>"$template.lock"
  flock "$lock"
  if [ "$(cat "$template.made-by" 2>/dev/null)" != "$made_by" ]; then
    rm -f "$template.made-by"
    (
      export WINEPREFIX=$template
      wineserver -k 2>/dev/null || true
      rm -rf "$template"
      mkdir -p "$template"
      wineboot -i >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1
      wineserver -w
    ) >&2 {lock}>&-
    echo "$made_by" >"$template.made-by"
  fi
  flock -u "$lock"
  echo "$template"
}

if [ "${1:-}" = --template ]; then
  template_of "$2"
  exit
fi
prefix=$1
template=$(template_of "$(dirname "$prefix")")
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
rsync -a --delete "$template/" "$prefix/"
echo "wine prefix ready: $prefix"
