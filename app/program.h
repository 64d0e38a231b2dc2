// The program's one process-wide state record, shared by start-up, the window and the backends.
#pragma once

#include "facade/facade.h"

struct AdapterInfo;

struct ProgramState {
  HANDLE heap;
  HINSTANCE instance;
  int64_t exit_code;
  int32_t amd_selected;
  int32_t nvidia_selected;
  int32_t intel_selected;  // neither vendor library loaded, but Intel's control library did
  int32_t GpuCount;
  int32_t DisplayedGpuCount;
  ThreadNumber SensorThread;
  void** GpuHandleTable;         // 65 NVIDIA physical-GPU handles
  TextVariable* GpuNameTable;    // 65 NVIDIA GPU names
  AdapterInfo* AdapterInfoTable; // ADL adapter records
};

extern ProgramState State;

constexpr int32_t GpuTableEntries = 65;
constexpr int32_t InitialAdapterRecords = 2;
constexpr ObjectNumber VendorLibrary = 0;

// True once a call into the vendor library has faulted: it is never called again. Any thread.
inline bool vendor_library_given_up() { return module_given_up(library_module(VendorLibrary)); }

// Start-up, backend selection, the monitor window and shutdown; ends the process. Main thread.
[[noreturn]] void program_run();

// Zeroes the state, creates the heap, starts the facade and creates the tables. Main thread.
void program_start();
// Probes the vendor libraries under library 0 and runs the chosen backend's set-up; false when
// none loaded (a message box has then said so). Main thread.
bool program_select_backend();
// Builds the monitor window and runs its loop until closed; false when it could not be opened.
bool monitor_run();
