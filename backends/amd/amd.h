// The AMD backend over ADL, held as library 0. Main thread unless said otherwise.
#pragma once

#include "facade/facade.h"

// Creates the ADL main control and fills GpuCount, AdapterInfoTable and DisplayedGpuCount;
// false after showing its message box.
bool amd_setup();
// The reading cycle of SensorThread: Overdrive5 for every shown adapter that is not powered
// down, ADL2 for those it fails for. Where every awake row fails, pass after pass, after readings
// came, it creates ADL's contexts again until the rows have their adapters back. Returns only
// once a call into ADL has faulted, after the rows have said that nothing reads them.
DWORD WINAPI amd_reading_cycle(void* parameter);
// Destroys the ADL2 context the readings made, if any, then the ADL main control unless a
// recovery left none; at shutdown, once the worker has stopped (never after it was cut off).
// Calls nothing once ADL has faulted.
void amd_shutdown();

struct AdapterInfo;
// True when set-up hid this adapter as a duplicate of an earlier one. Builds in the text area.
bool amd_is_duplicate(const AdapterInfo& adapter);
// Appends the adapter's name to the text area, read at most to the end of its field.
void amd_append_name(const AdapterInfo& adapter);
