// The NVIDIA backend over NVAPI. Main thread unless said otherwise.
#pragma once

#include "facade/facade.h"

// Initialises NVAPI and fills GpuCount, GpuHandleTable, GpuNameTable and DisplayedGpuCount;
// false after showing its message box.
bool nvidia_setup();
// The reading cycle of SensorThread, which leaves powered-down GPUs unread; returns only after a
// thermal read fails for another reason than the GPU being powered down (with a box, unless the
// driver faulted).
DWORD WINAPI nvidia_reading_cycle(void* parameter);
