// The rows of GPUs that ADL lists but that are not AMD's: the NVIDIA card beside a Ryzen's built-in
// Radeon, an Intel GPU. ADL cannot read them, so each such row is read through its own vendor's
// library, under that vendor's rules, and never asked of ADL. Each vendor is read on a thread of
// its own, so that its driver crashing or hanging costs its own rows only: ADL's reading cycle
// hands it the rows to read at the start of every pass and takes the readings up before the pass
// ends, waiting a short while at most. A machine whose ADL lists only AMD's GPUs has none of this:
// no thread, no library, no call.
#pragma once

#include <cstdint>

struct AdapterInfo;

// Finds the shown adapters of other vendors among the `count` records, whose rows follow the
// shown ones in order, and starts a reading thread for each vendor that has one. Main thread,
// during the AMD set-up; the table must stay unchanged for the rest of the run.
void other_vendors_find(const AdapterInfo* adapters, int32_t count);
// True when row `row` is another vendor's: ADL's cycle leaves it to this unit. Worker thread.
bool other_vendors_own(int32_t row);
// ADL's pass begins: each vendor that is idle is handed the rows that are not powered down (the
// first hand-over loads its library and finds their GPUs). Allocates nothing. Worker thread.
void other_vendors_pass_begins();
// ADL's pass ends: the readings handed over are taken up into the rows, waiting for them a short
// while at most; a vendor not done by then leaves its rows without a reading in this pass. A
// vendor whose library faulted ends its rows. Allocates nothing. Worker thread.
void other_vendors_pass_ends();
// True while some vendor's rows may still be read. Worker thread.
bool other_vendors_reading();
// Stops the vendors' threads; true when one had to be cut off (it was stuck in its driver). At
// shutdown, once ADL's cycle has stopped. Main thread.
bool other_vendors_stop();
// Ends each vendor's session and unloads its library, where it was loaded and never faulted; at
// shutdown once every thread stopped, before ADL's own end. Main thread.
void other_vendors_end();
