# Sourced by the measuring scripts, from the project's root: a fresh build, a Wine prefix of
# their own, a staging folder and a display to run on.

# use_prefix <name>: selects build/mingw-x64/<name> as the Wine prefix, made on first use.
use_prefix() {
  export WINEPREFIX=$build/$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -f "$WINEPREFIX/system.reg" ] || bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null
}

# on_display <command...>: runs the command on $DISPLAY, or on a virtual display when there is
# none; the wineserver goes down inside the display's session, before the display does.
on_display() {
  local run='"$@"; status=$?; wineserver -k 2>/dev/null; exit $status'
  if [ -n "${DISPLAY:-}" ]; then
    bash -c "$run" run "$@"
  else
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$run" run "$@"
  fi
}

# prepare_measurement <name>: builds, selects the prefix build/mingw-x64/wineprefix-<name>, and
# sets $build and $stage, an empty build/mingw-x64/<name>-stage for the programs to measure.
prepare_measurement() {
  bash scripts/build.sh >/dev/null
  build=$PWD/build/mingw-x64
  use_prefix "wineprefix-$1"
  stage=$build/$1-stage
  rm -rf "$stage" && mkdir -p "$stage"
}
