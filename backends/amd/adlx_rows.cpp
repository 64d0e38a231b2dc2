#include "backends/amd/adlx_rows.h"

#include "app/program.h"
#include "app/recovery.h"
#include "app/rows.h"
#include "backends/amd/adl2.h"
#include "backends/amd/adl_call.h"
#include "backends/amd/adlx.h"
#include "backends/amd/worker_watch.h"
#include "facade/guard.h"
#include "facade/library.h"
#include "facade/objects.h"

namespace {

// Beside ADL, library 0, and Intel's, library 1. Opened by the worker: the library table holds
// 16 numbers from the start, so opening this one touches no record another thread reads.
constexpr ObjectNumber AdlxLibrary = 2;
// The version these declarations were written for. A library asked for a version newer than its
// own may refuse it, so the older of the two is asked for.
constexpr uint64_t WrittenForVersion = adlx_version(1, 4);

enum Session : LONG { Untried, Open, Away, Unavailable, GivenUp };
// What ADLX can do for a row in the current session.
enum class Mapping : uint8_t { Untried, Mapped, NotFound, Unreadable };
enum class Reading : uint8_t { None, Read };

struct AdlxRow {
  bool owned;   // ADLX has read it since ADL's driver last started: ADL is not asked
  bool asked;   // in this pass
  bool ended;   // ADLX was given up while the row was its
  int adapter_index;
  bool located;
  int bus, device, function;
  Mapping mapping;
  AdlxObject* gpu;  // held while mapped
  int metric_slot;  // the supported temperature's getter
  Reading reading;
  int32_t celsius;
};

AdlxRow* Rows;
int32_t RowCount;
// The worker's, but for Session, which the main thread sets to GivenUp when the worker is stuck.
volatile LONG SessionState = Untried;
RecoverySchedule Recovery;
HMODULE Module;
// The exports used, of the types ADLXInitializeWithCallerAdl_Fn, ADLXTerminate_Fn and
// ADLXQueryFullVersion_Fn (adlx.h).
FARPROC Initialize;
FARPROC Terminate;
FARPROC QueryFullVersion;
// Owned by ADLX until it is terminated: never released.
AdlxObject* System;
AdlxObject* AdlMapping;
// Handed out through an out-pointer: released once.
AdlxObject* Services;

LONG session() { return InterlockedCompareExchange(&SessionState, 0, 0); }
void set_session(Session state) {
  // Given up stays given up, whatever the worker was doing meanwhile.
  LONG seen = session();
  while (seen != GivenUp) {
    const LONG before = InterlockedCompareExchange(&SessionState, state, seen);
    if (before == seen) return;
    seen = before;
  }
}

bool given_up() { return session() == GivenUp || (Module && module_given_up(Module)); }

// A status that says ADLX's objects are gone: the driver restarted or the machine woke.
bool objects_lost(ADLX_RESULT result) {
  return result == ADLX_INVALID_OBJECT || result == ADLX_ORPHAN_OBJECTS ||
         result == ADLX_TERMINATED;
}

// Every export and method used answers a 32-bit result or count and takes at most five integer or
// pointer arguments, a method its object first, in the x64 calling convention (the system's and
// C's are one there), where each argument has a register or slot of its own and the caller
// clears: one shape serves them all, as library_call's does for exports, and keeps the program
// small.
using AdlxAnyFunction = intptr_t (*)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);

struct AdlxCall {
  AdlxObject* object;  // null for an export
  int slot;
  FARPROC address;     // the export's
  intptr_t arguments[5];
  intptr_t result;
};

void run_call(void* data) {
  AdlxCall& call = *static_cast<AdlxCall*>(data);
  // The method's table is driver memory, read under guard like the call.
  const auto function = call.object
                            ? adlx_method<AdlxAnyFunction>(call.object, call.slot)
                            : export_as<AdlxAnyFunction>(call.address);
  const intptr_t* a = call.arguments;
  call.result = function(a[0], a[1], a[2], a[3], a[4]);
}

// The call's 32-bit result, or ADLX_FAIL when ADLX has been given up or faulted now.
ADLX_RESULT call_guarded(AdlxCall& call) {
  if (given_up() || !guard_run(Module, run_call, &call)) return ADLX_FAIL;
  return static_cast<ADLX_RESULT>(call.result);
}

// Calls the method in `slot` of `object`'s table with `object` and up to four arguments.
ADLX_RESULT call_method(AdlxObject* object, int slot, intptr_t a = 0, intptr_t b = 0,
                        intptr_t c = 0, intptr_t d = 0) {
  AdlxCall call{object, slot, nullptr, {library_argument(object), a, b, c, d}, ADLX_FAIL};
  return call_guarded(call);
}

// Calls the export at `address` with up to five arguments.
template <typename... Arguments>
ADLX_RESULT call_export(FARPROC address, Arguments... arguments) {
  AdlxCall call{nullptr, 0, address, {library_argument(arguments)...}, ADLX_FAIL};
  return call_guarded(call);
}

template <typename... Arguments>
ADLX_RESULT call_status(AdlxObject* object, int slot, Arguments... arguments) {
  return call_method(object, slot, library_argument(arguments)...);
}

void release(AdlxObject*& object) {
  if (object) call_method(object, adlx_slot::Release);
  object = nullptr;
}

void forget_row_gpu(AdlxRow& row) {
  release(row.gpu);
  row.mapping = Mapping::Untried;
}

// ---- the session ----

bool load_library() {
  Module = library_open_system(AdlxLibrary, L"amdadlx64.dll");
  if (!Module) return false;
  Initialize = library_find(AdlxLibrary, L"ADLXInitializeWithCallerAdl");
  Terminate = library_find(AdlxLibrary, L"ADLXTerminate");
  QueryFullVersion = library_find(AdlxLibrary, L"ADLXQueryFullVersion");
  return Initialize && Terminate;
}

uint64_t version_to_ask() {
  uint64_t own = 0;
  if (!QueryFullVersion || !adlx_succeeded(call_export(QueryFullVersion, &own)) || own == 0)
    return ADLX_VERSION_1_0;
  return own < WrittenForVersion ? own : WrittenForVersion;
}

ADLX_RESULT initialize(uint64_t version, void* context) {
  System = AdlMapping = nullptr;
  return call_export(Initialize, version, &System, &AdlMapping, context, &adl_free);
}

void terminate() {
  call_export(Terminate);
  System = AdlMapping = nullptr;
}

// Everything handed out released, then ADLX terminated: no call on its objects follows.
void end_session() {
  for (int32_t i = 0; i < RowCount; ++i) forget_row_gpu(Rows[i]);
  release(Services);
  terminate();
}

// True once ADLX is initialised on ADL's ADL2 context with its mapping and monitoring services.
bool start_session(void* context) {
  const uint64_t version = version_to_ask();
  ADLX_RESULT result = initialize(version, context);
  if (result == ADLX_BAD_VER && version != ADLX_VERSION_1_0)
    result = initialize(ADLX_VERSION_1_0, context);
  if (given_up()) return false;
  if (!adlx_succeeded(result) || !System || !AdlMapping) {
    if (adlx_succeeded(result)) terminate();
    return false;
  }
  result = call_status(System, adlx_slot::SystemGetPerformanceMonitoringServices,
                                      &Services);
  if (adlx_succeeded(result) && Services) return true;
  Services = nullptr;
  terminate();
  return false;
}

// ---- a row's GPU ----

// The GPU ADLX has for the row's adapter: by its ADL index, else by its PCI location.
ADLX_RESULT find_gpu(const AdlxRow& row, AdlxObject*& gpu) {
  gpu = nullptr;
  ADLX_RESULT result = call_status(
      AdlMapping, adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex, row.adapter_index, &gpu);
  if (objects_lost(result) || (adlx_succeeded(result) && gpu)) return result;
  gpu = nullptr;
  if (!row.located || given_up()) return result;
  result = call_status(AdlMapping, adlx_slot::MappingGetADLXGPUFromBdf, row.bus,
                                       row.device, row.function, &gpu);
  if (!adlx_succeeded(result)) gpu = nullptr;
  return result;
}

// The edge temperature's getter where the GPU has one, else the hotspot's; 0 for neither.
ADLX_RESULT supported_metric(AdlxObject* gpu, int& slot) {
  slot = 0;
  AdlxObject* support = nullptr;
  ADLX_RESULT result = call_status(
      Services, adlx_slot::ServicesGetSupportedGPUMetrics, gpu, &support);
  if (!adlx_succeeded(result) || !support) return adlx_succeeded(result) ? ADLX_FAIL : result;
  bool edge = false;
  bool hotspot = false;
  result = call_status(support, adlx_slot::SupportIsSupportedGPUTemperature,
                                        &edge);
  if (adlx_succeeded(result) && edge) {
    slot = adlx_slot::MetricsGPUTemperature;
  } else if (!objects_lost(result)) {
    result = call_status(
        support, adlx_slot::SupportIsSupportedGPUHotspotTemperature, &hotspot);
    if (adlx_succeeded(result) && hotspot) slot = adlx_slot::MetricsGPUHotspotTemperature;
  }
  release(support);
  return objects_lost(result) ? result : ADLX_OK;
}

// False when ADLX's objects went meanwhile.
bool map_row(AdlxRow& row) {
  AdlxObject* gpu = nullptr;
  ADLX_RESULT result = find_gpu(row, gpu);
  if (objects_lost(result)) return false;
  if (!gpu) {
    row.mapping = Mapping::NotFound;
    return true;
  }
  row.gpu = gpu;
  result = supported_metric(gpu, row.metric_slot);
  if (objects_lost(result)) return false;
  if (row.metric_slot != 0) {
    row.mapping = Mapping::Mapped;
    return true;
  }
  // No temperature it has can be read: the row is not asked about again in this session.
  release(row.gpu);
  row.mapping = Mapping::Unreadable;
  return true;
}

// False when ADLX's objects went meanwhile.
bool read_row(AdlxRow& row) {
  AdlxObject* metrics = nullptr;
  ADLX_RESULT result = call_status(
      Services, adlx_slot::ServicesGetCurrentGPUMetrics, row.gpu, &metrics);
  if (objects_lost(result)) return false;
  if (!adlx_succeeded(result) || !metrics) return true;
  double value = -1000.0;  // not a reading, should the driver answer success unwritten
  result = call_status(metrics, row.metric_slot, &value);
  release(metrics);
  if (objects_lost(result)) return false;
  if (adlx_succeeded(result) && adlx_whole_degrees(value, row.celsius)) row.reading = Reading::Read;
  return true;
}

int32_t rows_not_found() {
  int32_t missing = 0;
  for (int32_t i = 0; i < RowCount; ++i) missing += Rows[i].mapping == Mapping::NotFound ? 1 : 0;
  return missing;
}

// ADLX's objects went: what can be released is, ADLX is terminated, and the recovery's schedule
// starts it again.
void lose_session() {
  end_session();
  set_session(Away);
  recovery_driver_away(Recovery);
}

// A session on ADL's ADL2 context; a failed start is tried again on the recovery's schedule.
void open_session(void* context) {
  if (!context || !start_session(context)) {
    set_session(Away);
    return recovery_driver_away(Recovery);
  }
  set_session(Open);
  recovery_rows_bound(Recovery, 0);
}

// The session's step in this pass: started on first use, started again on the schedule after
// its objects went, and a row's GPU looked for again now and then while one was not found.
void take_session_step() {
  if (session() == Untried) {
    // Without an ADL2 context (an older ADL) there is nothing to start ADLX on: not even loaded.
    void* context = adl2_context();
    if (!context) return set_session(Unavailable);
    // Watched from its first call on: loading a driver's library runs its code.
    watch_enable();
    if (!load_library()) return set_session(Unavailable);
    return open_session(context);
  }
  const RecoveryStep step = recovery_pass_begins(Recovery);
  if (step == RecoveryStep::Reinitialise && session() == Away) open_session(adl2_context());
  if (step == RecoveryStep::LookForMissing)
    for (int32_t i = 0; i < RowCount; ++i)
      if (Rows[i].mapping == Mapping::NotFound) Rows[i].mapping = Mapping::Untried;
}

// The calls of one pass; nothing is called once ADLX faulted.
void read_calls() {
  take_session_step();
  if (session() != Open) return;
  bool mapped_any = false;
  for (int32_t i = 0; i < RowCount && !given_up(); ++i) {
    AdlxRow& row = Rows[i];
    if (!row.asked) continue;
    thread_stop_point();
    if (row.mapping == Mapping::Untried) {
      mapped_any = true;
      if (!map_row(row)) return lose_session();
    }
    if (row.mapping == Mapping::Mapped && !read_row(row)) return lose_session();
  }
  if (given_up()) return set_session(GivenUp);
  if (mapped_any) recovery_rows_bound(Recovery, rows_not_found());
}

void write_rows() {
  for (int32_t i = 0; i < RowCount; ++i) {
    AdlxRow& row = Rows[i];
    if (!row.asked) continue;
    row.asked = false;
    if (row.reading != Reading::Read) {
      row_found_no_reading(i);
      continue;
    }
    row.owned = true;
    recovery_reading_came(Recovery);
    row_show_reading(i, row.celsius);
  }
}

// ADLX given up: the rows it read say that nothing reads them; the others go back to ADL.
void end_rows() {
  for (int32_t i = 0; i < RowCount; ++i) {
    AdlxRow& row = Rows[i];
    if (row.asked && !row.owned) row_found_no_reading(i);
    row.asked = false;
    if (row.owned && !row.ended) {
      row.ended = true;
      row_end_reading(i);
    }
  }
}

}  // namespace

bool adlx_rows_prepare(int32_t rows) {
  heap_release(Rows);
  Rows = rows > 0 ? static_cast<AdlxRow*>(heap_alloc(sizeof(AdlxRow) * static_cast<size_t>(rows)))
                  : nullptr;
  RowCount = Rows ? rows : 0;
  InterlockedExchange(&SessionState, Untried);
  Recovery = RecoverySchedule{};
  return Rows != nullptr;
}

bool adlx_owns(int32_t row) { return row >= 0 && row < RowCount && Rows[row].owned; }

void adlx_ask(int32_t row) {
  if (adlx_owns(row)) Rows[row].asked = true;
}

bool adlx_offer(int32_t row, int adapter_index, bool located, int bus, int device, int function) {
  if (row < 0 || row >= RowCount) return false;
  if (session() == Unavailable || given_up()) return false;
  AdlxRow& record = Rows[row];
  if (record.mapping == Mapping::NotFound || record.mapping == Mapping::Unreadable) return false;
  record.adapter_index = adapter_index;
  record.located = located;
  record.bus = bus;
  record.device = device;
  record.function = function;
  record.asked = true;
  return true;
}

void adlx_read_rows() {
  bool any = false;
  for (int32_t i = 0; i < RowCount; ++i) {
    any = any || Rows[i].asked;
    Rows[i].reading = Reading::None;
  }
  if (!any) return;
  if (given_up()) return end_rows();
  watch_enter(WatchedAdlx);
  read_calls();
  watch_leave();
  if (given_up()) return end_rows();
  write_rows();
}

void adlx_restart() {
  const LONG state = session();
  if (state == Open) end_session();
  if (state == Open || state == Away) set_session(Untried);
  for (int32_t i = 0; i < RowCount; ++i) {
    Rows[i].owned = false;
    Rows[i].mapping = Mapping::Untried;
  }
  Recovery = RecoverySchedule{};
  // The library stays loaded: the next use makes a new session at once.
  if (session() == Untried && Module) {
    set_session(Away);
    recovery_driver_away(Recovery);
  }
}

void adlx_give_up() {
  InterlockedExchange(&SessionState, GivenUp);
  // Its code may hold locks it will never let go: it is not called or freed again, and the
  // process ends without its detach routine, as after a fault.
  module_give_up(Module);
}

void adlx_end() {
  // ADLX calls into ADL on ADL's context: nothing is called once ADL faulted either.
  if (!Module || given_up() || vendor_library_given_up()) return;
  if (session() == Open) end_session();
  library_close(AdlxLibrary);
  Module = nullptr;
}
