// AMD rows that no ADL call can read, read through ADLX, AMD's current library ("amdadlx64.dll"),
// which current drivers answer where they no longer answer ADL's calls. ADL's worker offers it a
// row that ADL has never read since its driver last started and that every ADL path has failed
// for in its first passes; once ADLX has read a row, the row is ADLX's and ADL is no longer asked
// about it. ADLX is started on ADL's own ADL2 context, which gives the mapping from an ADL adapter
// to ADLX's GPU: the only documented match. A machine whose ADL reads every awake row never loads
// the library. Its calls are watched like another vendor's: a crash or a hang gives up ADLX
// alone. Worker thread unless said otherwise.
#pragma once

#include <cstdint>

// Prepares the records of `rows` rows, once per run; false when they cannot be had (no row is
// then ever offered). Main thread at set-up, or the worker before its first pass.
bool adlx_rows_prepare(int32_t rows);
// True when ADLX reads this row now: ADL is not asked about it, and the row is to be asked of
// ADLX in this pass with adlx_ask.
bool adlx_owns(int32_t row);
// The awake row `row`, ADLX's, is read in this pass.
void adlx_ask(int32_t row);
// ADL has failed for the awake row in its first passes: true when ADLX answers for it in this
// pass (the caller then writes nothing for it); false when ADLX cannot, for now or for good, and
// the row stays as it is. `adapter_index` is the adapter's ADL index now; the location is
// its PCI bus, device and function, used where `located`.
bool adlx_offer(int32_t row, int adapter_index, bool located, int bus, int device, int function);
// Reads the rows asked or offered in this pass and writes what each found, starting ADLX on its
// first use and again after its objects went, on the recovery's schedule. Allocates nothing.
// A worker the main thread gave up meanwhile ends here.
void adlx_read_rows();
// ADL's driver restarted: ADLX's objects belonged to the old one. They are released, ADLX is
// terminated before the ADL2 context goes, and every row goes back to ADL; nothing else is
// called. Allocates nothing.
void adlx_restart();
// Main thread: the worker was found stuck in ADLX (worker_watch.h): ADLX is given up for good,
// and its rows end.
void adlx_give_up();
// Releases what ADLX handed out, terminates it and unloads the library, where it was loaded and
// never faulted or hung. At shutdown once the worker stopped, before the ADL2 context is
// destroyed. Main thread.
void adlx_end();
