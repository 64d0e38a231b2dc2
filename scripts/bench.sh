#!/usr/bin/env bash
# Benchmarks gputherm against the bare-window baseline (bench/README.md): builds both, stages
# stripped copies, installs the simulated AMD driver in the prefix's system folder for the run, and
# runs bench_runner under Wine in the prefix
# build/mingw-x64/wineprefix-bench, on a virtual display unless $DISPLAY is set.
# Usage: bash scripts/bench.sh [rounds (5)] [seconds per run (30)] [intel, adl2, geforce or adlx:
# that path and the AMD path alone, side by side | nvml: compute cards through NVML and as many
# GeForces through NVAPI, side by side | earlier <gputherm.exe of another build>: this
# build against that one, both on the AMD path]
set -euo pipefail
if [ "${3:-}" = earlier ]; then
  earlier=$(realpath "${4:?earlier needs the gputherm.exe of another build}")
  set -- "$1" "$2" earlier
fi
cd "$(dirname "$0")/.."
source scripts/wine-common.sh
prepare_measurement bench
cp "$build"/bin/{gputherm,baseline,baseline_cc6}.exe "$stage/"
# The release link already strips; stripping the copies again makes sure of it.
x86_64-w64-mingw32-strip "$stage"/*.exe
# Against another build, both are staged alike, each in a folder of its own under the name
# gputherm.exe, whose per-program settings below are then theirs.
if [ -n "${earlier:-}" ]; then
  mkdir -p "$stage/this" "$stage/earlier"
  cp "$stage/gputherm.exe" "$stage/this/gputherm.exe"
  cp "$earlier" "$stage/earlier/gputherm.exe"
  x86_64-w64-mingw32-strip "$stage/earlier/gputherm.exe"
fi
# gputherm once more, as gputherm_pnp.exe, with the simulated Plug and Play layer: it lives in the
# prefix's system folder for the run, native for that name alone; gputherm.exe keeps Wine's own.
cp "$stage/gputherm.exe" "$stage/gputherm_pnp.exe"
system32=$WINEPREFIX/drive_c/windows/system32
cp "$system32/cfgmgr32.dll" "$stage/cfgmgr32.wine.dll"
# And once more in a folder of its own, as gputherm_intel.exe, for which AMD's library is disabled:
# it reads the simulated Intel GPUs through the control library. The simulated libraries live in the
# system folder, where Wine has no ADL and no control library, for the run only.
mkdir -p "$stage/intel"
cp "$stage/gputherm.exe" "$stage/intel/gputherm_intel.exe"
# And as gputherm_nvidia.exe, for which AMD's library is disabled and the simulated Plug and Play
# layer native: NVIDIA's GPUs through NVAPI, or compute cards through NVML.
mkdir -p "$stage/nvidia"
cp "$stage/gputherm.exe" "$stage/nvidia/gputherm_nvidia.exe"
trap 'cp "$stage/cfgmgr32.wine.dll" "$system32/cfgmgr32.dll"
  rm -f "$system32/"{ControlLib,atiadlxx,nvapi64,amdadlx64,nvml}.dll' EXIT
cp "$build/bin/drivers/cfgmgr32.dll" "$system32/cfgmgr32.dll"
# NVAPI for the GeForces that ADL lists, ADLX for the GPUs that ADL cannot read; the AMD path loads
# neither, since ADL lists no GeForce and reads every GPU there.
cp "$build/bin/drivers/"{ControlLib,atiadlxx,nvapi64,amdadlx64,nvml}.dll "$system32/"
overrides='HKCU\Software\Wine\AppDefaults'
wine reg add "$overrides\gputherm_pnp.exe\DllOverrides" /v cfgmgr32 /d native /f >/dev/null 2>&1
wine reg add "$overrides\gputherm_intel.exe\DllOverrides" /v atiadlxx /d "" /f >/dev/null 2>&1
wine reg add "$overrides\gputherm_intel.exe\DllOverrides" /v nvapi64 /d "" /f >/dev/null 2>&1
wine reg add "$overrides\gputherm_nvidia.exe\DllOverrides" /v atiadlxx /d "" /f >/dev/null 2>&1
wine reg add "$overrides\gputherm_nvidia.exe\DllOverrides" /v cfgmgr32 /d native /f >/dev/null 2>&1
wine reg add "$overrides\gputherm.exe\DllOverrides" /v cfgmgr32 /d builtin /f >/dev/null 2>&1
wineserver -w

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), host: $(nproc) processors, $(uname -sr)"
on_display wine "$build/bin/bench_runner.exe" "Z:${stage//\//\\}" "$@"
