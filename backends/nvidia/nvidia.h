// The NVIDIA backend over NVAPI. Main thread unless said otherwise.
#pragma once

#include "facade/facade.h"

// Initialises NVAPI and fills GpuCount, GpuHandleTable, GpuNameTable and DisplayedGpuCount;
// false after showing its message box.
bool nvidia_setup();
// The reading cycle of SensorThread, which leaves powered-down GPUs unread. An answer that the
// driver or its handles went away makes it list the GPUs again, or initialise NVAPI again, until
// every row has its GPU back. Returns only after a thermal read fails for another reason (with a
// box), or once the driver has faulted.
DWORD WINAPI nvidia_reading_cycle(void* parameter);
