// The main thread's watch over the worker while it is inside the calls of a library that may hang:
// another vendor's that reads a GPU ADL lists, ADLX, or NVML on either backend. A call that never
// returns ends no pass, so the worker cannot see it itself: the main thread looks, and a worker
// inside one library's calls for five seconds is taken to hang there. That worker is given up, the
// caller gives the library up and starts a new worker, which goes on with the cycle; the stuck one
// ends as soon as the driver lets it go. Nothing is watched, and the main thread never looks, until a
// library that needs it is used.
#pragma once

#include <cstdint>

// The libraries watched, as the worker names them entering their calls.
enum WatchedLibrary : int32_t {
  WatchedNvidia = 0,
  WatchedIntel = 1,
  WatchedAdlx = 2,
  WatchedNvml = 3,
};

// Forgets any earlier watch: nothing is watched. Main thread, at set-up, before the worker starts.
void watch_reset();
// From now on the main thread looks at the worker; the first time, its wait is woken so that it
// sets its next look at once. Any thread.
void watch_enable();
// The worker enters the calls of `library`. Allocates nothing. Worker thread.
void watch_enter(WatchedLibrary library);
// The worker left the calls. A worker the main thread gave up meanwhile ends here, or inside the
// guarded call it was stuck in as soon as that returns: the cycle is the new worker's. Worker.
void watch_leave();
// The milliseconds until the worker could at the earliest be found stuck; 0 while nothing is
// watched. Main thread.
uint32_t watch_next_look_ms();
// True when the worker has been inside one library's calls for so long that the driver hangs:
// `library` names it. The worker is given up; the caller gives the library up for good and starts
// a new worker. Main thread.
bool watch_worker_stuck(WatchedLibrary& library);
// True once a worker was given up stuck in a driver: it may hold the driver's locks or the
// loader's, so shutdown must call nothing that could wait for them. Main thread.
bool watch_left_stuck();
