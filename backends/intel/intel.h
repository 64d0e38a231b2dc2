// The Intel backend over Intel's control library, ControlLib.dll from the system folder, held as
// library 0. Tried only where neither ADL nor NVAPI loads. Main thread unless said otherwise.
#pragma once

#include "facade/facade.h"

// Loads the library, starts it and finds the Arc GPUs, filling GpuCount and DisplayedGpuCount;
// false, with the library closed and nothing shown, when it yields no GPU to show.
bool intel_setup();
// The reading cycle of SensorThread: the telemetry, else a temperature sensor, of every GPU that
// is not powered down; never shows a box. An answer that the driver went away makes it start a
// new session until every row has its GPU back. Returns only once a call into the library has
// faulted, after the rows have said that nothing reads them.
DWORD WINAPI intel_reading_cycle(void* parameter);
// Closes the library's session; at shutdown, once the worker has stopped (never after it was cut
// off), before library 0 is closed. Calls nothing once the library has faulted.
void intel_shutdown();
// Appends the row's GPU name to the text area.
void intel_append_name(int32_t row);
