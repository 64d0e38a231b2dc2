// Readings of current AMD GPUs through ADL2, for adapters whose driver no longer answers the
// Overdrive5 read: the performance log, then OverdriveN, in one ADL2 context of their own.
#pragma once

#include <cstdint>

struct ADLPMLogDataOutput;

// The adapter's temperature in whole degrees Celsius; false when no sensor gives a plausible
// one, or when the library cannot serve ADL2 (then no ADL2 call is ever made). Creates the
// context on first use, once per session of the driver (see adl2_restart). `log` is the caller's
// record, so that a pass allocates nothing. Worker thread.
bool adl2_read_temperature(int adapter_index, ADLPMLogDataOutput& log, int32_t& celsius);
// The ADL2 context, created on first use as for the readings; null when the library cannot serve
// ADL2 or refused it in this session of the driver. Worker thread.
void* adl2_context();
// Destroys the context if one was created, so that the next reading creates one anew: after the
// driver restarted. Worker thread.
void adl2_restart();
// Destroys the context if one was created; nothing otherwise. At shutdown, after the worker has
// stopped at a stop point and before ADL's main control is destroyed. Main thread.
void adl2_shutdown();
