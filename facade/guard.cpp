#include "facade/guard.h"

#include "facade/runtime.h"

// How a fault in driver code is survived. guard_run captures this thread's registers just before
// the call and leaves their address in a thread slot. A fault that no handler of the driver takes
// reaches the process's unhandled-exception filter, which is this unit's: on the thread of a
// guarded call, it hands the system the captured registers to continue with, so the thread goes
// on inside guard_run as if the capture had just returned, now with `faulted` set. That is safe
// because:
// - the frames it leaves behind are all below guard_run's (the driver's and the system's exception
//   dispatch): nothing of ours is skipped, and guard_run's own frame, caller's registers saved in
//   it included, is above the captured stack pointer and untouched;
// - after the capture guard_run reads only its frame record, which the filter reaches through
//   memory, never a value the compiler may keep in a register or reuse a slot for;
// - what the abandoned driver code held (its locks, its half-written state) is never met again:
//   the module is given up, so no guarded call enters it, nothing frees it and the process ends
//   without its detach routines (see program_run).
// A thread given up while stuck inside a guarded call (a driver call that did not return in
// time, which another thread has taken over from) ends as soon as it is back in guard_run: it
// must not go on with work whose state the other thread now owns.
// A handler of the driver's own, or of Windows inside it (IsBadReadPtr's), takes its fault
// first, before this filter is asked: a driver that probes memory reads on. Faults of the
// program's own code, and on threads not in a guarded call, go to the filter that was there
// before, and end the process as they always did.

namespace {

// One guarded call in progress on a thread; calls nest, each frame pointing to the one outside.
struct GuardFrame {
  CONTEXT resume;  // this thread's registers just before the call
  GuardFrame* outer;
  HMODULE module;
  volatile LONG faulted;
};

constexpr int MaxGivenUp = 8;  // far more than the one or two driver libraries of a run

DWORD FrameSlot = TLS_OUT_OF_INDEXES;
LPTOP_LEVEL_EXCEPTION_FILTER volatile PreviousFilter;
void* volatile GivenUp[MaxGivenUp];  // modules, each slot claimed once; null while free
volatile LONG AnyGivenUp;
// Threads given up stuck in a call, as GivenUp: each slot claimed once, 0 while free.
volatile LONG ThreadsGivenUp[MaxGivenUp];
volatile LONG AnyThreadGivenUp;

// Faults of the processor that code leaves behind when it goes wrong. A stack overflow is not
// one of them: the thread has no stack left to continue on.
bool is_hardware_fault(const EXCEPTION_RECORD& record) {
  if (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) return false;
  switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return true;
    default:
      return false;
  }
}

GuardFrame* current_frame() {
  // TlsGetValue clears the thread's last error, which the code that faulted may still need.
  const DWORD last_error = GetLastError();
  auto* frame = static_cast<GuardFrame*>(TlsGetValue(FrameSlot));
  SetLastError(last_error);
  return frame;
}

LONG WINAPI take_driver_fault(EXCEPTION_POINTERS* exception) {
  GuardFrame* frame = FrameSlot == TLS_OUT_OF_INDEXES ? nullptr : current_frame();
  if (frame && !frame->faulted && is_hardware_fault(*exception->ExceptionRecord)) {
    frame->faulted = 1;
    *exception->ContextRecord = frame->resume;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return PreviousFilter ? PreviousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// A driver may put a filter of its own in place of ours, as crash reporters do: ours goes back in
// front of it, chained to it.
void keep_filter_first() {
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(take_driver_fault);
  if (previous != take_driver_fault) PreviousFilter = previous;
}

}  // namespace

void guard_start() {
  FrameSlot = TlsAlloc();
  if (FrameSlot != TLS_OUT_OF_INDEXES)
    PreviousFilter = SetUnhandledExceptionFilter(take_driver_fault);
}

bool module_given_up(HMODULE module) {
  if (!module) return false;
  for (void* const given_up : GivenUp)
    if (given_up == module) return true;
  return false;
}

bool any_module_given_up() { return AnyGivenUp != 0; }

void module_give_up(HMODULE module) {
  InterlockedExchange(&AnyGivenUp, 1);
  if (!module) return;
  for (void* volatile& slot : GivenUp) {
    void* const held = InterlockedCompareExchangePointer(&slot, module, nullptr);
    if (!held || held == module) return;
  }
}

void thread_give_up(DWORD thread_id) {
  InterlockedExchange(&AnyThreadGivenUp, 1);
  for (volatile LONG& slot : ThreadsGivenUp) {
    const LONG held = InterlockedCompareExchange(&slot, static_cast<LONG>(thread_id), 0);
    if (held == 0 || held == static_cast<LONG>(thread_id)) return;
  }
}

void thread_end_if_given_up() {
  if (AnyThreadGivenUp == 0) return;
  const auto me = static_cast<LONG>(GetCurrentThreadId());
  for (volatile LONG& slot : ThreadsGivenUp) {
    // The slot is freed first: Windows may give the number to a thread made later.
    if (InterlockedCompareExchange(&slot, 0, me) == me) ExitThread(0);
  }
}

// Not inlined: the captured registers must belong to this frame, which outlives the call.
__declspec(noinline) bool guard_run(HMODULE module, GuardedWork work, void* data) {
  thread_end_if_given_up();
  if (module_given_up(module)) return false;
  if (FrameSlot == TLS_OUT_OF_INDEXES) {
    work(data);
    thread_end_if_given_up();
    return true;
  }
  keep_filter_first();
  GuardFrame frame;
  frame.outer = static_cast<GuardFrame*>(TlsGetValue(FrameSlot));
  frame.module = module;
  frame.faulted = 0;
  TlsSetValue(FrameSlot, &frame);
  RtlCaptureContext(&frame.resume);
  // A fault inside `work` continues here a second time, with `faulted` set.
  if (!frame.faulted) work(data);
  TlsSetValue(FrameSlot, frame.outer);
  thread_end_if_given_up();
  if (!frame.faulted) return true;
  module_give_up(frame.module);
  return false;
}
