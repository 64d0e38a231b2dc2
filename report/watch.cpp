#include <cstring>

#include "facade/facade.h"
#include "report/report.h"

// How the report survives a driver. Each vendor is gathered on a thread of its own, which marks
// every vendor call before and after it. The main thread waits for the gathering thread and looks
// at the mark: a call that has not returned within its limit is named in the report, and the
// thread is left inside it for good; the next vendor is gathered on a new thread. A call that
// crashes is taken by the facade's guard, which gives its library up; a vectored handler notes
// the fault's code beforehand, so the report can say what the fault was.

namespace {

constexpr ULONGLONG CallLimitMs = 10000;
// Every vendor's calls together end within this, so that the whole report ends within 30 s
// whatever the drivers do, with time left to write it.
constexpr ULONGLONG GatheringLimitMs = 25000;
constexpr DWORD LookEveryMs = 20;
constexpr size_t MaxCounted = 256;

struct CallMark {
  const char* function;
  Subject subject;
  int32_t number;
  ULONGLONG started;
  bool in_call;
  bool abandoned;  // the main thread gave the call up: its thread must not go on
  bool parked;     // the report's time ran out between calls: the thread stopped before the next
  DWORD thread;    // the gathering thread
  DWORD fault;     // the code of the latest exception raised on it during a call
  int generation;  // which gathering the mark belongs to
};

// How many calls of each function about each device the report has made, so that a scenario line
// can make the Nth one crash or hang (the simulated drivers count them the same way).
struct CallCount {
  const char* function;
  Subject subject;
  int32_t number;
  long long calls;
};

CRITICAL_SECTION MarkLock;
CallMark Mark;
// The gathering a thread was started for: a thread given up on must stop even when its call
// returns during a later gathering.
thread_local int ThreadGeneration;
CallCount Counts[MaxCounted];
size_t CountsUsed;
ULONGLONG GatheringEnds;
volatile LONG LeftDriverCode;

CallCount* find_count(const char* function, Subject subject, int32_t number) {
  for (size_t i = 0; i < CountsUsed; ++i)
    if (std::strcmp(Counts[i].function, function) == 0 && Counts[i].subject == subject &&
        Counts[i].number == number)
      return &Counts[i];
  return nullptr;
}

void count_call(const char* function, Subject subject, int32_t number) {
  if (CallCount* count = find_count(function, subject, number)) ++count->calls;
  else if (CountsUsed < MaxCounted) Counts[CountsUsed++] = CallCount{function, subject, number, 1};
}

long long calls_of(const CallMark& mark) {
  const CallCount* count = find_count(mark.function, mark.subject, mark.number);
  return count ? count->calls : 1;
}

// How the report names a call's device, and the word a scenario's fault line names it with.
struct SubjectWords {
  const char* name;
  const char* key;
};

SubjectWords words_of(Subject subject) {
  switch (subject) {
    case Subject::Adapter: return {"adapter", "adapter"};
    case Subject::Gpu: return {"GPU", "gpu"};
    case Subject::Intel: return {"Intel device", "intel"};
    case Subject::Display: return {"display", "display"};
    case Subject::Adlx: return {"ADLX GPU", "adlx"};
    case Subject::Nvml: return {"NVML GPU", "gpu"};
    case Subject::None: break;
  }
  return {"", ""};
}

const char* fault_name(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_IN_PAGE_ERROR: return "in-page error";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
    case EXCEPTION_INT_OVERFLOW: return "integer overflow";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "misaligned data";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "array bounds exceeded";
    default: return "processor fault";
  }
}

// "NvAPI_GPU_GetThermalSettings, GPU 1" or the function alone.
std::string call_name(const CallMark& mark) {
  std::string name = mark.function;
  if (mark.subject != Subject::None) append(name, ", %s %d", words_of(mark.subject).name, mark.number);
  return name;
}

// The scenario line that makes the simulated driver do what this one did in this call.
void fault_line(std::string& lines, const char* kind, const CallMark& mark) {
  append(lines, "%s %s", kind, mark.function);
  if (mark.subject != Subject::None) append(lines, " %s=%d", words_of(mark.subject).key, mark.number);
  const long long calls = calls_of(mark);
  if (calls > 1) append(lines, " from=%d", static_cast<int>(calls));
  lines += '\n';
}

LONG WINAPI note_fault(EXCEPTION_POINTERS* exception) {
  if (Mark.in_call && GetCurrentThreadId() == Mark.thread)
    Mark.fault = exception->ExceptionRecord->ExceptionCode;
  return EXCEPTION_CONTINUE_SEARCH;
}

struct Gathering {
  void (*gather)(VendorReport& report);
  VendorReport* report;
  int generation;
};

DWORD WINAPI gather_on_thread(void* parameter) {
  const auto* gathering = static_cast<const Gathering*>(parameter);
  ThreadGeneration = gathering->generation;
  gathering->gather(*gathering->report);
  return 0;
}

void ensure_started() {
  if (GatheringEnds != 0) return;
  InitializeCriticalSection(&MarkLock);
  AddVectoredExceptionHandler(1, note_fault);
  GatheringEnds = GetTickCount64() + GatheringLimitMs;
}

// Gives the marked call up when it has run too long; answers whether it did. Holding the lock.
// The thread is given up only where it cannot touch the report: inside a vendor call, which
// call_end never leaves, or parked by call_begin once the time ran out.
bool give_up_if_overdue(VendorReport& report, ULONGLONG now) {
  if (Mark.parked) {
    InterlockedExchange(&LeftDriverCode, 1);
    comment(report.lines, "the report's time ran out before this vendor's calls ended");
    return true;
  }
  if (!Mark.in_call) return false;
  const bool overdue_call = now - Mark.started >= CallLimitMs;
  if (!overdue_call && now < GatheringEnds) return false;
  Mark.abandoned = true;
  InterlockedExchange(&LeftDriverCode, 1);
  if (overdue_call) comment(report.lines, "%s: did not return within 10 s", call_name(Mark).c_str());
  else
    comment(report.lines, "%s: did not return before the report's time ran out (%u ms)",
            call_name(Mark).c_str(), static_cast<unsigned>(now - Mark.started));
  fault_line(report.lines, "hang", Mark);
  comment(report.lines, "no further call to this library");
  return true;
}

// The report has gone on without this thread, and may be reading what it wrote: it touches
// nothing more.
[[noreturn]] void stop_for_good() {
  for (;;) Sleep(INFINITE);
}

}  // namespace

void call_begin(const char* function, Subject subject, int32_t number) {
  EnterCriticalSection(&MarkLock);
  // Out of time: the report goes on without this vendor's further calls, and without this thread.
  if (GetTickCount64() >= GatheringEnds) {
    Mark.parked = true;
    LeaveCriticalSection(&MarkLock);
    stop_for_good();
  }
  count_call(function, subject, number);
  Mark.function = function;
  Mark.subject = subject;
  Mark.number = number;
  Mark.fault = 0;
  Mark.started = GetTickCount64();
  Mark.in_call = true;
  LeaveCriticalSection(&MarkLock);
}

void call_end() {
  EnterCriticalSection(&MarkLock);
  const bool abandoned = Mark.abandoned || Mark.generation != ThreadGeneration;
  if (!abandoned) Mark.in_call = false;
  LeaveCriticalSection(&MarkLock);
  if (abandoned) stop_for_good();
}

bool call_crashed(std::string& lines, HMODULE module) {
  if (!module_given_up(module)) return false;
  note_crash(lines);
  return true;
}

void note_crash(std::string& lines) {
  InterlockedExchange(&LeftDriverCode, 1);
  comment(lines, "%s: crashed (%s)", call_name(Mark).c_str(), fault_name(Mark.fault));
  fault_line(lines, "crash", Mark);
  comment(lines, "no further call to this library");
}

bool watch_gather(void (*gather)(VendorReport& report), VendorReport& report) {
  ensure_started();
  EnterCriticalSection(&MarkLock);
  const int generation = Mark.generation + 1;
  Mark = CallMark{};
  Mark.generation = generation;
  LeaveCriticalSection(&MarkLock);
  Gathering gathering{gather, &report, generation};
  DWORD id = 0;
  const HANDLE thread = CreateThread(nullptr, 0, gather_on_thread, &gathering, CREATE_SUSPENDED, &id);
  if (!thread) {
    comment(report.lines, "could not start a thread to gather this vendor on");
    return false;
  }
  Mark.thread = id;
  ResumeThread(thread);
  for (;;) {
    if (WaitForSingleObject(thread, LookEveryMs) == WAIT_OBJECT_0) break;
    EnterCriticalSection(&MarkLock);
    const bool given_up = give_up_if_overdue(report, GetTickCount64());
    LeaveCriticalSection(&MarkLock);
    if (given_up) {
      CloseHandle(thread);
      return false;
    }
  }
  CloseHandle(thread);
  return true;
}

bool watch_left_driver_code() { return InterlockedCompareExchange(&LeftDriverCode, 0, 0) != 0; }
