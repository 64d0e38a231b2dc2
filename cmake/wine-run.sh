#!/usr/bin/env bash
# Runs a Windows executable under Wine in the build tree's own prefix.
# WINEPREFIX is set by CTest (see tests/CMakeLists.txt) or by the caller. A test that CTest gave a
# prefix of the pool (tests/wine-prefixes.json) runs in that one: id 0 is $WINEPREFIX itself, id n
# its copy $WINEPREFIX-n. With GPUTHERM_OWN_DISPLAY set, it runs on a virtual display of its own,
# where no other program's window can cover its windows or take the activation from them.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
group=${CTEST_RESOURCE_GROUP_0_WINE_PREFIX:-}
if [ -n "$group" ] && [ -n "${WINEPREFIX:-}" ]; then
  id=${group#id:}
  id=${id%%,*}
  [ "$id" = 0 ] || export WINEPREFIX=$WINEPREFIX-$id
fi
[ -n "${GPUTHERM_OWN_DISPLAY:-}" ] || exec wine "$@"

# The display server picks a free display number itself and writes it once it accepts clients.
ready=$(mktemp -u)
mkfifo "$ready"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$ready" 2>/dev/null &
server=$!
read -r number <"$ready" || true
rm -f "$ready"
if [ -z "${number:-}" ]; then
  echo "wine-run.sh: no virtual display could be started" >&2
  exit 1
fi
DISPLAY=:$number wine "$@"
status=$?
kill "$server"
wait "$server" 2>/dev/null
exit $status
