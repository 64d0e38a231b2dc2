#include "backends/amd/worker_watch.h"

#include "facade/facade.h"

namespace {

// How long one library's calls in a pass may take before its driver is taken to hang. Far above
// what a driver answers in, even loading its library on a loaded machine, and far below the ten
// seconds after which the other rows would lose their readings for want of passes.
constexpr ULONGLONG StuckAfterMs = 5000;

// The worker inside a library's calls: since when (a tick count), 0 outside them, Abandoned once
// the main thread gave that worker up. Only the worker leaves the calls (0 from its own tick) and
// only the main thread abandons it (Abandoned from that tick): exactly one of the two exchanges
// succeeds.
constexpr LONG64 Abandoned = -1;
volatile LONG64 InCallsSince;
volatile LONG InCallsOf;       // the library, while InCallsSince is a tick count
volatile DWORD InCallsThread;  // the worker's thread, likewise
volatile LONG Enabled;
LONG64 EnteredAt;  // the worker's own: its tick on entering
bool LeftStuck;    // the main thread's: it gave a worker up

LONG load(volatile LONG& value) { return InterlockedCompareExchange(&value, 0, 0); }
LONG64 load(volatile LONG64& value) { return InterlockedCompareExchange64(&value, 0, 0); }

}  // namespace

void watch_reset() {
  InterlockedExchange64(&InCallsSince, 0);
  InterlockedExchange(&Enabled, 0);
  LeftStuck = false;
}

void watch_enable() { InterlockedExchange(&Enabled, 1); }

void watch_enter(WatchedLibrary library) {
  InterlockedExchange(&InCallsOf, library);
  InCallsThread = GetCurrentThreadId();
  EnteredAt = static_cast<LONG64>(GetTickCount64());
  InterlockedExchange64(&InCallsSince, EnteredAt);
}

void watch_leave() {
  if (InterlockedCompareExchange64(&InCallsSince, 0, EnteredAt) == EnteredAt) return;
  thread_end_if_given_up();
  ExitThread(0);
}

uint32_t watch_next_look_ms() {
  if (load(Enabled) == 0) return 0;
  // Outside the calls, the worker can be stuck no sooner than that long after it next enters.
  const LONG64 since = load(InCallsSince);
  if (since <= 0) return static_cast<uint32_t>(StuckAfterMs);
  const ULONGLONG inside = GetTickCount64() - static_cast<ULONGLONG>(since);
  return inside < StuckAfterMs ? static_cast<uint32_t>(StuckAfterMs - inside) : 1;
}

bool watch_worker_stuck(WatchedLibrary& library) {
  const LONG64 since = load(InCallsSince);
  if (since <= 0 || GetTickCount64() - static_cast<ULONGLONG>(since) < StuckAfterMs) return false;
  if (InterlockedCompareExchange64(&InCallsSince, Abandoned, since) != since) return false;
  thread_give_up(InCallsThread);
  library = static_cast<WatchedLibrary>(load(InCallsOf));
  LeftStuck = true;
  return true;
}

bool watch_left_stuck() { return LeftStuck; }
