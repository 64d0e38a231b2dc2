// Measures another running process from outside, for the benchmark, the soak and their tests.
// Every figure comes from a source that answers truly for another process both on Windows and
// under Wine 8, where GetProcessTimes, GetProcessHandleCount, the PrivateUsage of
// GetProcessMemoryInfo and GetGuiResources answer wrongly or not at all (bench/README.md lists
// the source of each figure). Any thread may call these operations, except that the first call of
// probe_wineserver_cpu_ns, which looks the server up once, must not race another.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A process being measured. `host_pid` is its Unix process under Wine (0 when unknown or on
// Windows), looked up on the first measurement of a process started by probe_start: the Unix
// process whose command line names the same executable file. Only one process of a file may run
// at a time for that look-up to be right.
struct ProbeTarget {
  PROCESS_INFORMATION process{};
  std::string image;  // the executable's path as started; empty when not started here
  int host_pid = 0;
  bool owned = false;  // the handles are the target's to close (probe_start) or the caller's
};

struct ProcessFigures {
  bool found = false;             // false: the process is not in the system's process list
  uint64_t cpu_ns = 0;            // user + system time of all its threads
  uint64_t private_bytes = 0;     // committed private memory (VirtualQueryEx)
  uint64_t resident_private = 0;  // resident anonymous memory (Wine's PrivateUsage)
  uint64_t peak_working_set = 0;
  uint32_t handles = 0;
  uint32_t gdi_objects = 0;
  uint32_t user_objects = 0;  // under Wine: its windows only
};

// True under Wine.
bool probe_under_wine();

// Starts `dir`\`file` with `arguments` in `dir`, with the caller's environment plus `extra`
// ("NAME=value" entries, replacing inherited ones of the same name). The target holds no process
// when the start failed.
ProbeTarget probe_start(const std::wstring& dir, const std::wstring& file,
                        const std::wstring& arguments, const std::vector<std::wstring>& extra);
// A target for a process started elsewhere; its processor time then has tick precision only.
ProbeTarget probe_attach(const PROCESS_INFORMATION& process);
// Ends the process if it still runs and closes the handles it owns.
void probe_release(ProbeTarget& target);

// The process's visible top-level window titled `title`, once its thread waits for messages
// again (a window is complete then); null after the timeout or when the process ended.
HWND probe_wait_window(const ProbeTarget& target, const wchar_t* title, DWORD timeout_ms);
// Asks the window to close as the system menu does, then waits for the process: true when it
// ended within `timeout_ms`, with its exit code.
bool probe_close(const ProbeTarget& target, HWND window, DWORD timeout_ms, DWORD* exit_code);

// Processor time only: cheaper than probe_measure and never runs code in the target.
uint64_t probe_cpu_ns(ProbeTarget& target);
// Every figure. Memory is queried last: under Wine the target itself answers those queries.
ProcessFigures probe_measure(ProbeTarget& target);
// Processor time of the wineserver of this process's Wine prefix; 0 when not under Wine or
// not found.
uint64_t probe_wineserver_cpu_ns();

// Scenario text for the simulated ADL: `gpus` adapters on distinct buses, each reading a random
// walk between 40 and 75 degrees that moves on every call; and for the simulated Plug and Play
// layer, where a run has it, each adapter's display device, awake.
std::string probe_drifting_scenario(int gpus);
// The same adapters as current AMD GPUs: Overdrive5 fails for every one of them, and the edge
// sensor of ADL2's performance log answers the random walk instead.
std::string probe_adl2_scenario(int gpus);
// Scenario text for the simulated Intel control library: `gpus` Arc GPUs whose telemetry answers
// a different temperature between 40 and 75 degrees on every call.
std::string probe_intel_scenario(int gpus);
// An AMD processor's built-in Radeons beside GeForce cards that ADL lists too, as real drivers do:
// the first half of `gpus` read through ADL's Overdrive5, the rest through NVAPI, each with an
// awake display device, every reading drifting.
std::string probe_geforce_scenario(int gpus);
// NVIDIA's GeForces read through NVAPI, each with an awake display device, every reading drifting.
std::string probe_nvidia_scenario(int gpus);
// The same number of NVIDIA's compute cards in TCC mode, which NVAPI does not list (its initialise
// refuses), read through NVML: each listed by the Plug and Play layer in the display class, every
// reading drifting.
std::string probe_nvml_scenario(int gpus);
// Current AMD GPUs whose driver answers none of ADL's temperature calls, read through ADLX: each
// adapter's Overdrive5, performance log and OverdriveN fail, and ADLX, which lists them in the
// reverse order, answers an edge temperature that changes on every call.
std::string probe_adlx_scenario(int gpus);

// ---- soak ----
// What the long soak and its short form in the tests share: 8 GPUs, a sample every 10 s, objects
// judged once the first readings have been painted, and the private-bytes growth allowed.
constexpr int SoakGpus = 8;
constexpr int SoakSamplePeriodSeconds = 10;
constexpr int SoakObjectsFromSeconds = 10;
constexpr uint64_t SoakAllowedGrowth = 64 * 1024;
struct SoakSample {
  int seconds;  // since the window was complete
  ProcessFigures figures;
};
// One line: time, handles, GDI and USER objects, private and resident memory.
std::string probe_format_sample(const SoakSample& sample);
// Empty when the samples show no upward trend; otherwise what rose, and when. From the first
// sample taken at or after `objects_from` (once the window has painted) no object count may rise
// and stay up (two samples in a row above the lowest before them: a count that is high in one
// sample only is an object the system held for a moment); from the first taken at or after
// `private_from` the private bytes may not grow by more than `allowed_growth`.
std::string probe_soak_fault(const std::vector<SoakSample>& samples, int objects_from,
                             int private_from, uint64_t allowed_growth);
