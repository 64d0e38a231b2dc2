# Sourced by run.sh: installs the simulated libraries that a report's machine held in its system
# folder (its `libraries` line), for the run only. The simulated ADL and control library export
# what they are built with, so where the report's `missing` lines say the machine's library lacked
# exports, the variant that lacks the same ones is taken. A `display` line brings the simulated
# Plug and Play layer, native for gputherm.exe alone. Wine's display driver then cannot start in
# gputherm.exe's process (it needs calls of Wine's own cfgmgr32.dll), so the program runs inside a
# Wine desktop of its own, whose process starts the driver: ReplayLauncher says how to start it.

declare -A ReplayVariants=(
  ["ADL_Main_Control_Create"]=no_create
  ["ADL_Main_Control_Destroy"]=no_destroy
  ["ADL_Adapter_NumberOfAdapters_Get"]=no_count
  ["ADL_Adapter_AdapterInfo_Get"]=no_adapterinfo
  ["ADL_Overdrive5_Temperature_Get"]=no_temperature
  ["ADL2_Main_Control_Create ADL2_Main_Control_Destroy ADL2_New_QueryPMLogData_Get ADL2_OverdriveN_Temperature_Get"]=adl1_only
  ["ADL2_Main_Control_Destroy"]=no_adl2_destroy
  ["ADL2_New_QueryPMLogData_Get"]=no_pmlog
  ["ADL2_OverdriveN_Temperature_Get"]=no_odn
  ["ctlEnumTemperatureSensors ctlTemperatureGetProperties ctlTemperatureGetState"]=no_sensors
  ["ctlPowerTelemetryGet"]=no_telemetry
)

# replay_words <report> <kind>: the words of the report's <kind> lines, one a line, sorted.
replay_words() {
  tr -d '\r' <"$1" | sed -n "s/^$2 //p" | tr ' ' '\n' | sed '/^$/d' | sort -u
}

# replay_source <drivers> <file> <report>: the simulated library to install as <file>.
replay_source() {
  local drivers=$1 file=$2 prefix lacking
  case $file in
    atiadl*) prefix=ADL ;;
    ControlLib.dll) prefix=ctl ;;
    *) echo "$drivers/$file"; return ;;
  esac
  lacking=$(replay_words "$3" missing | grep "^$prefix" | tr '\n' ' ' | sed 's/ $//') || true
  if [ -z "$lacking" ]; then
    echo "$drivers/$file"
  elif [ -n "${ReplayVariants[$lacking]:-}" ]; then
    echo "$drivers/variants/${ReplayVariants[$lacking]}/${file/atiadlxy/atiadlxx}"
  else
    echo "replay: no simulated $file lacks exactly: $lacking; the full one is used" >&2
    echo "$drivers/$file"
  fi
}

# install_replay <report> <drivers folder> <system folder>
install_replay() {
  local report=$1 drivers=$2 system32=$3 file
  ReplayInstalled=()
  for file in $(replay_words "$report" libraries); do
    cp "$(replay_source "$drivers" "$file" "$report")" "$system32/$file"
    ReplayInstalled+=("$system32/$file")
  done
  if grep -q '^display ' "$report"; then
    cp "$system32/cfgmgr32.dll" "$system32/cfgmgr32.wine.dll"
    cp "$drivers/cfgmgr32.dll" "$system32/cfgmgr32.dll"
    wine reg add 'HKCU\Software\Wine\AppDefaults\gputherm.exe\DllOverrides' /v cfgmgr32 /d native \
      /f >/dev/null 2>&1
  fi
  trap 'uninstall_replay "'"$system32"'"' EXIT
  ReplayLauncher="wine gputherm.exe"
  grep -q '^display ' "$report" &&
    ReplayLauncher="wine explorer.exe /desktop=gputherm-replay,800x600 gputherm.exe"
  echo "replaying $report with: ${ReplayInstalled[*]##*/}$(grep -q '^display ' "$report" &&
    echo " and the simulated Plug and Play layer")"
}

uninstall_replay() {
  local system32=$1
  rm -f "${ReplayInstalled[@]}"
  if [ -f "$system32/cfgmgr32.wine.dll" ]; then
    mv -f "$system32/cfgmgr32.wine.dll" "$system32/cfgmgr32.dll"
    wine reg delete 'HKCU\Software\Wine\AppDefaults\gputherm.exe\DllOverrides' /v cfgmgr32 /f \
      >/dev/null 2>&1 || true
  fi
}
