#include "app/program.h"
#include "backends/amd/adl.h"
#include "backends/amd/amd.h"
#include "backends/amd/worker_watch.h"
#include "backends/intel/intel.h"
#include "backends/nvidia/nvidia.h"
#include "backends/nvidia/nvml_rows.h"

ProgramState State;

namespace {

template <typename T>
T* allocate_table(int32_t entries) {
  return static_cast<T*>(HeapAlloc(State.heap, HEAP_ZERO_MEMORY, sizeof(T) * entries));
}

bool select_amd() {
  State.amd_selected = 1;
  amd_setup();
  return true;
}

bool select_nvidia() {
  State.nvidia_selected = 1;
  nvidia_setup();
  return true;
}

// Releases what start-up made and ends the process. A worker that had to be cut off may have
// died inside the driver or the loader holding their locks, and driver code that faulted was
// abandoned holding its own: then nothing that could wait on them may run, neither the freeing of
// the library nor, through ExitProcess, its detach routine, so the process ends at once.
[[noreturn]] void finish(bool worker_cut_off) {
  const auto exit_code = static_cast<UINT>(State.exit_code);
  if (worker_cut_off || any_module_given_up()) TerminateProcess(GetCurrentProcess(), exit_code);
  facade_end();
  text_release_area();
  HeapDestroy(State.heap);
  ExitProcess(exit_code);
}

}  // namespace

void program_start() {
  State = ProgramState{};
  library_limit_search();
  State.instance = GetModuleHandleW(nullptr);
  State.heap = HeapCreate(0, 4096, 0);
  facade_start(State.heap, State.instance);
  State.GpuHandleTable = allocate_table<void*>(GpuTableEntries);
  State.GpuNameTable = allocate_table<TextVariable>(GpuTableEntries);
  State.AdapterInfoTable = allocate_table<AdapterInfo>(InitialAdapterRecords);
  State.amd_selected = 0;
  State.nvidia_selected = 0;
}

bool program_select_backend() {
  if (library_open_system(VendorLibrary, L"atiadlxx.dll")) return select_amd();
  library_close(VendorLibrary);
  if (library_open_system(VendorLibrary, L"atiadlxy.dll")) return select_amd();
  if (library_open_system(VendorLibrary, L"nvapi64.dll")) return select_nvidia();
  if (library_open_system(VendorLibrary, L"nvapi.dll")) return select_nvidia();
  // Only where neither vendor library is found: a machine with one of them sees nothing of this.
  if (intel_setup()) {
    State.intel_selected = 1;
    return true;
  }
  message_box(L"error", L"Unable to load API library");
  return false;
}

void program_run() {
  program_start();
  if (!program_select_backend()) finish(false);
  if (!monitor_run()) {
    nvml_rows_end();
    if (State.intel_selected == 1) intel_shutdown();
    library_close(VendorLibrary);
    finish(false);
  }
  bool cut_off = thread_kill(State.SensorThread);
  // A worker given up stuck in another vendor's driver, or NVML, is still there, inside it.
  if (watch_left_stuck()) cut_off = true;
  if (!cut_off) {
    if (State.amd_selected == 1) amd_shutdown();
    if (State.nvidia_selected == 1) nvml_rows_end();
    if (State.intel_selected == 1) intel_shutdown();
    library_close(VendorLibrary);
  }
  finish(cut_off);
}
