#include "facade/library.h"
#include "facade/objects.h"
#include "facade/runtime.h"

namespace {

struct ThreadRecord {
  ThreadRecord* next;
  ThreadRecord* previous;
  HANDLE handle;
  ThreadNumber number;
};

ThreadRecord* ThreadRegistry;
ThreadNumber NextThreadNumber = 1;
CRITICAL_SECTION ThreadRegistryLock;
bool TimerPeriodRaised;
// winmm.dll's timeBeginPeriod, from the system folder; null when it could not be found, and delays
// then keep the default resolution.
using BeginPeriod = UINT(WINAPI*)(UINT period);
BeginPeriod TimeBeginPeriod;

// The stop request of thread_kill: the thread it waits for, and the event that wakes its delay.
// The worker reads these without a lock, so that it can never be cut off while holding one.
volatile DWORD StoppingThreadId;
HANDLE StopRequested;

// How long a thread may take to reach a stop point before it is cut off by force.
constexpr DWORD StopGraceMs = 500;
constexpr DWORD TerminationWaitMs = 1000;

bool has_ended(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

void unlink(ThreadRecord* record) {
  if (record->previous) record->previous->next = record->next;
  else ThreadRegistry = record->next;
  if (record->next) record->next->previous = record->previous;
}

void forget(ThreadRecord* record) {
  CloseHandle(record->handle);
  unlink(record);
  heap_release(record);
}

void sweep_ended() {
  for (ThreadRecord* record = ThreadRegistry; record;) {
    ThreadRecord* next = record->next;
    if (has_ended(record->handle)) forget(record);
    record = next;
  }
}

ThreadRecord* find(ThreadNumber number) {
  for (ThreadRecord* record = ThreadRegistry; record; record = record->next)
    if (record->number == number) return record;
  return nullptr;
}

// Waits for `thread` to end while serving the messages other threads send to this one: a
// worker that is changing a label of this thread's window cannot finish until they are handled.
bool wait_serving_sent_messages(HANDLE thread, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return has_ended(thread);
    const DWORD wait = MsgWaitForMultipleObjectsEx(1, &thread, static_cast<DWORD>(deadline - now),
                                                   QS_SENDMESSAGE, 0);
    if (wait == WAIT_OBJECT_0) return true;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

// Asks the thread to end at its next stop point (a delay, a label change, the end of a message
// box) and waits a short while; a thread stuck elsewhere, such as in a driver call that never
// returns, is then terminated. Answers true when it had to be terminated.
bool stop(HANDLE handle) {
  const DWORD thread_id = GetThreadId(handle);
  StoppingThreadId = thread_id;
  SetEvent(StopRequested);
  // Ends the modal loop of a message box the thread may be showing.
  PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
  bool forced = false;
  if (!wait_serving_sent_messages(handle, StopGraceMs)) {
    TerminateThread(handle, 0);
    // Termination completes asynchronously; the thread must be gone before we return.
    WaitForSingleObject(handle, TerminationWaitMs);
    forced = true;
  }
  ResetEvent(StopRequested);
  StoppingThreadId = 0;
  return forced;
}

// Looked up rather than imported: an import of winmm.dll, which is not one of Windows' known DLLs,
// would be searched for beside the program first, and a file of that name there would run at start.
void find_timer_period_call() {
  const HMODULE winmm = library_load_system(L"winmm.dll");
  if (winmm) TimeBeginPeriod = export_as<BeginPeriod>(GetProcAddress(winmm, "timeBeginPeriod"));
}

}  // namespace

void thread_init() {
  InitializeCriticalSection(&ThreadRegistryLock);
  StopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  find_timer_period_call();
}

ThreadNumber thread_create(ThreadProcedure procedure, intptr_t parameter) {
  DWORD thread_id = 0;
  const HANDLE handle = CreateThread(nullptr, 4096, procedure, reinterpret_cast<void*>(parameter),
                                     0, &thread_id);
  if (!handle) return 0;
  EnterCriticalSection(&ThreadRegistryLock);
  sweep_ended();
  const ThreadNumber number = NextThreadNumber++;
  auto* record = static_cast<ThreadRecord*>(heap_alloc(sizeof(ThreadRecord)));
  if (record) {
    record->handle = handle;
    record->number = number;
    record->next = ThreadRegistry;
    if (ThreadRegistry) ThreadRegistry->previous = record;
    ThreadRegistry = record;
  }
  LeaveCriticalSection(&ThreadRegistryLock);
  // Without a record the thread could never be found again: it runs unregistered.
  if (!record) CloseHandle(handle);
  return number;
}

HANDLE thread_running_handle(ThreadNumber number) {
  EnterCriticalSection(&ThreadRegistryLock);
  const ThreadRecord* record = find(number);
  const HANDLE handle = record && !has_ended(record->handle) ? record->handle : nullptr;
  LeaveCriticalSection(&ThreadRegistryLock);
  return handle;
}

bool thread_kill(ThreadNumber number) {
  const HANDLE handle = thread_running_handle(number);
  const bool forced = handle && stop(handle);
  EnterCriticalSection(&ThreadRegistryLock);
  if (ThreadRecord* record = find(number)) forget(record);
  LeaveCriticalSection(&ThreadRegistryLock);
  return forced;
}

void thread_end() {
  EnterCriticalSection(&ThreadRegistryLock);
  while (ThreadRegistry) forget(ThreadRegistry);
  LeaveCriticalSection(&ThreadRegistryLock);
}

void thread_stop_point() {
  if (StoppingThreadId == GetCurrentThreadId()) ExitThread(0);
}

void delay_ms(uint32_t milliseconds) {
  if (!TimerPeriodRaised) {
    if (TimeBeginPeriod) TimeBeginPeriod(1);
    TimerPeriodRaised = true;
  }
  if (milliseconds == 0) Sleep(0);
  else WaitForSingleObject(StopRequested, milliseconds);
  thread_stop_point();
}
