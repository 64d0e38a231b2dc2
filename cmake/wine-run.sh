#!/usr/bin/env bash
# Runs a Windows executable under Wine in the build tree's own prefix.
# WINEPREFIX is set by CTest (see tests/CMakeLists.txt) or by the caller. A test that CTest gave a
# prefix of the pool (tests/wine-prefixes.json) runs in that one: id 0 is $WINEPREFIX itself, id n
# its copy $WINEPREFIX-n.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
group=${CTEST_RESOURCE_GROUP_0_WINE_PREFIX:-}
if [ -n "$group" ] && [ -n "${WINEPREFIX:-}" ]; then
  id=${group#id:}
  id=${id%%,*}
  [ "$id" = 0 ] || export WINEPREFIX=$WINEPREFIX-$id
fi
exec wine "$@"
