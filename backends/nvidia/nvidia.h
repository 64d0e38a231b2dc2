// The NVIDIA backend over NVAPI. Main thread unless said otherwise.
#pragma once

#include "facade/facade.h"

// Initialises NVAPI and fills GpuCount, GpuHandleTable, GpuNameTable and DisplayedGpuCount, which
// counts NVML's rows too (nvml_rows.h); false after showing its message box. Where NVAPI finds no
// NVIDIA GPU but NVML has compute GPUs, their rows are the window's, without a box.
bool nvidia_setup();
// The reading cycle of SensorThread, which leaves powered-down GPUs unread. An answer that the
// driver or its handles went away makes it list the GPUs again, or initialise NVAPI again, until
// every row has its GPU back. Returns only after a thermal read fails for another reason (with a
// box), or once the driver has faulted.
// NVML's rows are read after NVAPI's in each pass. A new worker started on it after the one before
// was found stuck in NVML goes on with the cycle.
DWORD WINAPI nvidia_reading_cycle(void* parameter);
// True when the worker has been stuck in NVML for five seconds: NVML is given up for good, its rows
// end, and the caller starts a new worker on nvidia_reading_cycle. Main thread.
bool nvidia_worker_stuck();
