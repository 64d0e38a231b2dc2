// Core shared by the simulated vendor drivers: the scenario that decides what they answer, the
// injected faults, the temperature sequences and the call log. Each driver library links its own
// copy, so an ADL and an NVAPI library loaded into one process keep separate states.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Readings answered in turn, one per answered call, cycling; or a random walk in a range.
struct SimSequence {
  std::vector<int32_t> values;  // in the unit of the call that answers them
  size_t next = 0;
  bool drift = false;           // random walk between drift_low and drift_high instead
  int32_t drift_low = 0;        // thousandths of a degree
  int32_t drift_high = 0;
  int32_t drift_now = 0;
  bool drift_started = false;
};

// One temperature sensor of ADL2's performance log, in whole degrees.
struct SimLogSensor {
  bool supported = false;
  int32_t value_unsupported = 0;  // the value answered beside a supported flag of 0
  SimSequence readings;
};

// One adapter (ADL) or physical GPU (NVAPI) as the scenario describes it.
struct SimDevice {
  std::string name;
  std::string udid;
  int index = 0;  // ADL's iAdapterIndex
  int bus = 0;
  int device = 0;
  int function = 0;
  int vendor = 0;
  bool name_noterm = false;  // fill the whole text field, no terminating zero
  bool udid_noterm = false;
  SimSequence temps;  // in the driver's own unit
  // ADL2, for current AMD GPUs: the performance log answers only when one of its sensors is
  // described, OverdriveN only when it has readings; otherwise they are not supported.
  bool has_log = false;
  SimLogSensor edge, gfx, soc;
  bool has_overdrive_n = false;
  SimSequence overdrive_n;  // thousandths of a degree
  int driver_model = 1;     // NVML's: 0 WDDM, 1 TCC, 2 MCDM
};

// One display device of the Plug and Play manager (the simulated cfgmgr32.dll).
struct SimDisplay {
  std::string id;              // device instance ID
  bool compute = false;        // in the compute-accelerator class instead of the display class
  bool has_bus = true;         // false: the bus number property is not there
  uint32_t bus = 0;
  bool has_address = true;
  uint32_t address = 0;        // (device << 16) | function
  std::vector<int> power;      // power states answered in turn, one per query (1 D0 .. 4 D3)
  bool power_loops = false;    // start over after the last state; otherwise the last one stays
  size_t next_power = 0;
};

// One answer of Intel's power telemetry for the GPU temperature.
struct SimTelemetryReading {
  bool supported = true;
  uint32_t units = 5;  // Celsius
  uint32_t type = 9;   // double; the value is stored as a double whatever the type says
  double value = 0;
};

// One temperature sensor of an Intel GPU: its type and the degrees it answers in turn.
struct SimIntelSensor {
  uint32_t type = 1;  // GPU
  std::vector<double> readings;
  size_t next = 0;
};

// A device's sensor handles are 0x10 apart within its 0x100 (see ctl_sim.cpp).
constexpr size_t SimIntelMaxSensors = 15;

// One device of Intel's control library, in enumeration order.
struct SimIntelDevice {
  std::string name;
  bool name_noterm = false;
  uint32_t type = 1;  // graphics
  uint32_t vendor = 0x8086;
  bool integrated = false;
  uint8_t bus = 0;  // 0xFF in all three: no PCI location
  uint8_t device = 0;
  uint8_t function = 0;
  std::vector<SimTelemetryReading> temps;  // answered in turn, cycling
  size_t next_temp = 0;
  std::vector<SimIntelSensor> sensors;
};

// One temperature metric of an ADLX GPU (degrees, as doubles): its support flag and the values
// its getter answers in turn, cycling. An unsupported metric still answers a value, with success.
struct SimAdlxMetric {
  bool supported = true;
  double value_unsupported = 0;
  std::vector<double> readings;
  size_t next = 0;
};

// One GPU of ADLX's list, in ADLX's order (which need not be ADL's).
struct SimAdlxGpu {
  std::string name = "AMD Radeon Graphics";
  std::string vendor = "1002";
  std::string device_id = "744C";
  int type = 2;  // discrete
  int bus = 0;
  int device = 0;
  int function = 0;
  std::vector<int> adapters;  // the ADL adapter indices the mapping finds it by, first one first
  bool adapters_set = false;  // otherwise: those of the `adapter` lines at its bus/device/function
  bool mapped = true;         // false: the mapping finds it by nothing
  SimAdlxMetric edge;
  SimAdlxMetric hotspot;
};

// What a call does instead of, or before, its work: fail with a status, never return (also
// holding the lock the library's detach takes), raise an access violation, first catch an access
// violation of its own (as a driver probing memory does), or first sleep `status` milliseconds.
enum SimFaultKind {
  SIM_PASS,
  SIM_FAIL,
  SIM_HANG,
  SIM_HANG_LOCKED,
  SIM_CRASH,
  SIM_PROBE,
  SIM_SLEEP
};

struct SimFault {
  std::string function;
  SimFaultKind kind = SIM_FAIL;
  int32_t status = 0;   // the failure's status; the sleep's milliseconds
  long long from = 1;  // first matching call (counted from 1) the fault applies to
  long long to = -1;   // last one, -1 for no end
  int device = -1;     // only calls about this ADL index or GPU, display, Intel or ADLX position;
                       // -1: all
  long long calls = 0;
};

// A restart of the driver (`restart` line): during the `at`th call of its reading function it
// drops its session and handles, stays away a while, and comes back as generation 1, maybe listing
// its devices in another order or without one. Before that it is generation 0, as without the line.
struct SimRestart {
  long long at = 0;              // 0: the driver never restarts
  bool status_set = false;       // otherwise each driver answers its own status for a lost session
  int32_t status = 0;
  unsigned long long away = 0;   // milliseconds the driver is away after the restart
  bool forever = false;          // away for ever
  bool reverse = false;          // lists its devices in reverse order afterwards
  long long drop = -1;           // the scenario position no longer listed afterwards; -1: none
  bool drop_ends = false;        // the dropped one is listed again, `back` ms after the restart
  unsigned long long back = 0;
  long long calls = 0;           // calls of the reading function so far
  int generation = 0;
  unsigned long long since = 0;  // GetTickCount64 at the restart
  int session = 0;               // the generation the driver's session was last opened in
};

struct SimScenario {
  std::vector<SimDevice> adapters;
  std::vector<SimDevice> gpus;
  std::vector<SimDevice> nvml;  // NVML's GPUs, in its order
  std::vector<SimDisplay> displays;
  std::vector<SimIntelDevice> intel;
  std::vector<SimAdlxGpu> adlx;
  std::vector<SimFault> faults;
  std::vector<std::string> missing;  // functions the driver does not offer
  bool count_set = false;            // `count=` reports this instead of the listed entries
  long long count = 0;
  long long handles = -1;            // handles NvAPI_EnumPhysicalGPUs writes; -1: up to 64
  bool hook_pre = false;
  bool hook_post = false;
  bool init_check = true;            // calls before the driver is initialised are refused
  int alloc_size = 0;                // ADL_Main_Control_Create calls the allocation callback
  uint32_t random = 0;
  uint32_t ctl_version = 0x00010001;  // the highest AppVersion Intel's ctlInit accepts
  int ctl_properties = 2;             // the highest adapter properties Version it accepts
  std::string driver;                 // the driver's version, as Windows shows it; empty: not given
  uint64_t adlx_version = 0x0001000400000000ull;  // ADLX's own: major, minor, release, build
  std::string adlx_version_text;      // as the scenario writes it; empty: the default, 1.4
  bool adl_restarts = false;          // a `restart` line that ADL's library takes part in
  SimRestart restart;
};

// ---- library lifetime (DllMain, loader lock held) ----
// Names the log lines after the module's file name, reads the scenario, logs `load pid=`.
void sim_attach(HMODULE module);
// Logs `unload`, then takes the library lock that a locked hang holds.
void sim_detach();

// ---- scenario state; any thread ----
// Serialises access to the scenario. A lock left by a thread that was killed inside a driver
// call is taken over, so a program that kills its worker can still shut down.
void sim_lock();
void sim_unlock();
// Reads the scenario again from the environment; a changed text replaces the state (counters,
// sequences), an unchanged one keeps it. Caller holds the lock.
void sim_reload();
// The current scenario. Caller holds the lock.
SimScenario& sim_scenario();
// The number of entries the driver reports: `count=` when given (before a restart), else the
// listed ones.
long long sim_reported(const std::vector<SimDevice>& devices);
// Counts this call against the faults for `function` and answers what it must do; `status`
// receives the status of a failure. `device` is the adapter index or GPU position the call is
// about, -1 for none. Caller holds the lock.
SimFaultKind sim_fault(const char* function, int device, int32_t* status);
// True when the scenario says the driver lacks `function`. Caller holds the lock.
bool sim_missing(const char* function);
// The next reading of a sequence: thousandths of a degree when `thousandths`, else whole
// degrees. Caller holds the lock.
int32_t sim_next_temperature(SimSequence& sequence, bool thousandths);
// The next power state of a display device (1 for D0 .. 4 for D3). Caller holds the lock.
int sim_next_power_state(SimDisplay& display);
// ---- driver restart (`restart`); caller holds the lock unless said ----
// Counts a call of the driver's reading function, whatever device it is about; the `at`th one
// restarts the driver and logs `restart at=N`. Takes the lock.
void sim_count_reading();
// 0 before the restart, 1 after it.
int sim_generation();
// True while the restarted driver is away.
bool sim_away();
// True from the restart until the driver's session is opened again.
bool sim_session_lost();
// The driver opened its session (its initialise call succeeded): the current generation's.
void sim_open_session();
// What calls on the old session answer: the scenario's `status=`, else `fallback`; never 0.
int32_t sim_restart_status(int32_t fallback);
// The scenario positions of `count` entries in the order the driver lists them now.
std::vector<size_t> sim_listed(size_t count);
// True when the entry at scenario `position` is gone since the restart (and not yet back).
bool sim_dropped(size_t position);
// The numbers of a dotted version text ("31.0.101.5122"), at most four; fewer when it has fewer.
std::vector<uint32_t> sim_version_parts(const std::string& text);
// Writes `text` into a driver text field of `size` bytes: zero-terminated and cut to fit, or,
// with `noterm`, repeated over the whole field with no zero.
void sim_fill_text(char* field, size_t size, const std::string& text, bool noterm);

// ---- call log; any thread, lock not needed ----
// Appends `<module> <function> tid=<thread> args=<args> status=<status>` to SIMDRV_LOG.
void sim_log_call(const char* function, const char* args, const char* status);
// How a library's statuses read in the log: ADL's, NVAPI's and cfgmgr32's as signed decimals,
// Intel's 32-bit results as 0 or eight hex digits, the way Intel lists them.
enum SimStatusStyle { SIM_STATUS_DECIMAL, SIM_STATUS_HEX };
// Same, with the status written in `style`.
void sim_log_status(const char* function, const char* args, long long status,
                    SimStatusStyle style = SIM_STATUS_DECIMAL);
// Appends `<module> <text>`.
void sim_log_text(const char* text);
// Logs the call with status=hang, releases the lock the caller holds, and never returns; with
// `locked`, holding the library lock that unloading the library takes, for ever.
[[noreturn]] void sim_hang(const char* function, const char* args, bool locked = false);
// Logs the call with `status` (crash, or what the library found wrong), releases the lock the
// caller holds, and writes to a page that allows no access: an access violation that nothing in
// the library handles.
void sim_crash(const char* function, const char* args, const char* status = "crash");
// Reads a page that allows no access under a handler of Windows' own (IsBadReadPtr), which takes
// the access violation, and adds `probe=caught` to the details. Caller holds the lock.
void sim_probe(char* args, size_t args_size);
// Releases the lock the caller holds for `milliseconds`, and adds `slept=` to the details.
void sim_sleep(int32_t milliseconds, char* args, size_t args_size);
// Appends formatted text to the zero-terminated `buffer` of `size` bytes, cutting it to fit.
void sim_append(char* buffer, size_t size, const char* format, ...);
// Formats a text argument for the log: in the ANSI code page, "(null)" for a null pointer.
std::string sim_ansi(const wchar_t* text);
// Formats a pointer argument for the log: 0x and upper-case hex digits.
unsigned long long sim_address(const void* pointer);

// One driver call: applies the scenario's fault for `function` or else runs `work`, which answers
// the status and may add `key=value` details to `args`; logs the call and answers its status.
// `device` as for sim_fault. Takes the lock around the fault and the work.
template <typename Work>
int32_t sim_answer(const char* function, int device, char* args, size_t args_size, Work work,
                   SimStatusStyle style = SIM_STATUS_DECIMAL) {
  sim_lock();
  int32_t status = 0;
  const SimFaultKind fault = sim_fault(function, device, &status);
  if (fault == SIM_HANG || fault == SIM_HANG_LOCKED)
    sim_hang(function, args, fault == SIM_HANG_LOCKED);
  if (fault == SIM_CRASH) sim_crash(function, args);
  if (fault == SIM_PROBE) sim_probe(args, args_size);
  if (fault == SIM_SLEEP) sim_sleep(status, args, args_size);
  if (fault != SIM_FAIL) status = static_cast<int32_t>(work(args, args_size));
  sim_unlock();
  sim_log_status(function, args, status, style);
  return status;
}
