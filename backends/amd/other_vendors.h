// The rows of GPUs that ADL lists but that are not AMD's: the NVIDIA card beside a Ryzen's built-in
// Radeon, an Intel GPU. ADL cannot read them, so each such row is read through its own vendor's
// library, under that vendor's rules, and never asked of ADL. ADL's worker reads them in each pass,
// after ADL's own rows; its driver crashing or hanging costs that vendor's rows only. A crash is
// caught by the guard; a hang is seen by the main thread, which gives the vendor up and has a new
// worker go on with the cycle, while the stuck one ends itself should its call ever return. A
// thread of their own would cost every run what only a hang needs. A machine whose ADL lists only
// AMD's GPUs has none of this: no library, no call, no look at the worker.
#pragma once

#include <cstdint>

#include "backends/amd/worker_watch.h"

struct AdapterInfo;

// Finds the shown adapters of other vendors among the `count` records, whose rows follow the
// shown ones in order. Main thread, during the AMD set-up, before the worker starts; the table
// must stay unchanged for the rest of the run.
void other_vendors_find(const AdapterInfo* adapters, int32_t count);
// True when row `row` is another vendor's: ADL's cycle leaves it to this unit. Worker thread.
bool other_vendors_own(int32_t row);
// Reads each vendor's rows that are not powered down into the rows (the first read loads its
// library and finds their GPUs); a vendor whose library faulted or hung ends its rows. Allocates
// nothing. Worker thread; a worker the main thread gave up for stuck ends here instead.
void other_vendors_read();
// True while some vendor's rows may still be read. Worker thread.
bool other_vendors_reading();
// Main thread: the worker was found stuck in `library`'s driver (worker_watch.h). That vendor is
// given up for good: its rows end, and the process will end without its detach routine.
void other_vendors_give_up(WatchedLibrary library);
// Ends each vendor's session and unloads its library, where it was loaded and never faulted or
// hung; at shutdown once the worker stopped, before ADL's own end. Main thread.
void other_vendors_end();
