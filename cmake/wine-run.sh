#!/usr/bin/env bash
# Runs a Windows executable under Wine in the build tree's own prefix.
# WINEPREFIX is set by CTest (see tests/CMakeLists.txt) or by the caller.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
