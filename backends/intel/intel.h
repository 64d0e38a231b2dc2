// The Intel backend over Intel's control library, ControlLib.dll from the system folder, held as
// library 0. Tried only where neither ADL nor NVAPI loads. Main thread unless said otherwise.
#pragma once

#include "app/recovery.h"
#include "backends/intel/ctl.h"
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

// ---- the same GPUs where ADL lists them beside AMD's; the thread that reads them ----
enum class IntelReading : uint8_t { Read, PoweredDown, NoReading };
// Loads the library from the system folder under `library` and starts a session, then gives each
// of `count` rows the discrete Intel GPU listed at its place (`places`), or none; false, with the
// library closed, where it is absent or refuses a session, or `count` is not positive.
bool intel_open_for(ObjectNumber library, const GpuPlace* places, int32_t count);
// A pass begins: the session's recovery after the driver went away, as in the backend's cycle.
void intel_pass_begins();
// Reads row `index`'s GPU under the backend's rules; the caller has found it awake. NoReading,
// without a call, for a row without a GPU or while the driver is away.
IntelReading intel_read(int32_t index, ctl_power_telemetry_t& telemetry, int32_t& celsius);
// True once a call into the library has faulted: it is never called again. Any thread.
bool intel_given_up();
