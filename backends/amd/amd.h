// The AMD backend over ADL, held as library 0. Main thread unless said otherwise.
#pragma once

#include "facade/facade.h"

// Creates the ADL main control and fills GpuCount, AdapterInfoTable and DisplayedGpuCount, which
// counts NVML's rows too (nvml_rows.h); false after showing its message box.
bool amd_setup();
// The reading cycle of SensorThread: Overdrive5 for every shown adapter that is not powered down,
// ADL2 for those it fails for, then the other records of the row's GPU where its own answers
// nothing, and ADLX for a row that no ADL call can read; another vendor's GPU that ADL lists is
// read through that vendor's library instead. Where every awake row fails, pass after pass, after
// readings came, it creates ADL's contexts again until the rows have their adapters back. Once a
// call into ADL has faulted its rows say that nothing reads them; returns once no row can be read.
// A new worker started on it after the one before was found stuck goes on with the cycle.
DWORD WINAPI amd_reading_cycle(void* parameter);
// True when the worker has been stuck in another vendor's driver, ADLX or NVML for five seconds: that
// library is given up for good, its rows end, and the caller starts a new worker on
// amd_reading_cycle. The stuck one ends itself should its call ever return. Main thread.
bool amd_worker_stuck();
// Ends NVML's session and those of other vendors' libraries that read rows ADL lists, then destroys
// the ADL2 context the readings made, if any, then the ADL main control unless a recovery left
// none; at shutdown, once the worker has stopped (never after it was cut off).
// Calls nothing once ADL has faulted.
void amd_shutdown();
