#include "backends/amd/amd.h"

#include <cstring>

#include "app/program.h"
#include "app/recovery.h"
#include "app/rows.h"
#include "backends/amd/adl.h"
#include "backends/amd/adl2.h"
#include "backends/amd/adl_call.h"
#include "backends/amd/adlx_rows.h"
#include "backends/amd/other_vendors.h"
#include "backends/amd/records.h"
#include "backends/amd/worker_watch.h"
#include "backends/nvidia/nvml_rows.h"
#include "facade/objects.h"

namespace {

// ADL answers no status that says the driver went away. The sign is the pattern: where readings
// came before, every awake row failing in one pass, this many passes in a row.
constexpr int32_t FailingPassesOfADriverAway = 3;
// Passes in which every ADL path fails for a row that ADL never read, before ADLX is asked: a
// driver that answers a call late after start is still given its chance.
constexpr int32_t FailingPassesBeforeAdlx = 2;

// The records the reading cycle owns for its whole run: no pass allocates.
struct CycleRecords {
  ADLTemperature temperature;
  ADLPMLogDataOutput log;
};

// A row's adapter: the ADL index it is read under now, and what finds it again should the driver
// restart and list its adapters anew. The place points into AdapterInfoTable, which set-up wrote
// for good.
struct AmdRow {
  int adapter_index;
  bool present;  // false while its GPU is missing from the driver's new listing
  GpuPlace place;
  bool other_vendor;  // another vendor's GPU that ADL lists: never asked of ADL
  // Since the driver last started: ADL has read the row, or failed for it in this many passes.
  bool adl_read;
  int32_t adl_failures;
  // The other records of its GPU in ADL's listing: `other_count` adapter indices in OtherRecords
  // from `first_other`, in ADL's order. The one of them that reads the row, or -1 for its own.
  int32_t first_other;
  int32_t other_count;
  int32_t reading_record;
  bool others_settled;  // none read it in its last round: asked again on the schedule
};

// The worker's, from the start of its cycle; a worker that takes the cycle over from one stuck in
// another vendor's driver goes on with them.
bool CycleBegun;
CycleRecords Records;
bool AdlReads;
RecoverySchedule Recovery;
AmdRow* Rows;
int32_t RowCount;
bool ReadingCame;  // once in the run
int32_t FailingPasses;
// The worker's, made anew whenever the rows are bound to a listing.
int* OtherRecords;
// When the other records of a row that none of them read are asked again: as ADLX asks again
// about a GPU it has not found, not every second.
RecoverySchedule OtherRecordsSchedule;
bool OtherRecordsAsked;  // in this pass
// Written by the worker, read at shutdown once it has stopped: a recovery destroyed the main
// control, and creating it again has not succeeded since.
bool MainControlDestroyed;

void create_main_control() {
  if (!adl_succeeds(L"ADL_Main_Control_Create", adl_allocate, 1))
    message_box(L"error", L"Unable to Create Main Control");
}

void count_adapters() {
  library_call(VendorLibrary, L"ADL_Adapter_NumberOfAdapters_Get", &State.GpuCount);
  // A negative count is as unusable as none.
  if (State.GpuCount < 0) State.GpuCount = 0;
  if (State.GpuCount == 0) message_box(L"error", L"Unable to get the number of adapters");
}

bool resize_adapter_table() {
  const size_t records = static_cast<size_t>(State.GpuCount) + 1;
  void* table = HeapReAlloc(State.heap, HEAP_ZERO_MEMORY, State.AdapterInfoTable,
                            records * sizeof(AdapterInfo));
  if (!table) return false;
  State.AdapterInfoTable = static_cast<AdapterInfo*>(table);
  return true;
}

bool read_adapter_info() {
  // ADL takes the buffer size as an int: a count whose buffer exceeds it cannot be asked for.
  // The count is never negative (count_adapters): the product is exact.
  const auto size = static_cast<int64_t>(static_cast<uint64_t>(State.GpuCount) * sizeof(AdapterInfo));
  if (size > INT32_MAX || !resize_adapter_table()) {
    State.GpuCount = 0;
    return false;
  }
  return adl_succeeds(L"ADL_Adapter_AdapterInfo_Get", State.AdapterInfoTable,
                      static_cast<int>(size));
}

bool read_overdrive5(int adapter_index, ADLTemperature& temperature, int32_t& celsius) {
  if (!adl_succeeds(L"ADL_Overdrive5_Temperature_Get", adapter_index, 0, &temperature))
    return false;
  const int32_t whole = temperature.iTemperature / 1000;
  // A value no GPU can reach is a failed read, which ADL2 may still answer.
  if (!adl_plausible(whole)) return false;
  celsius = whole;
  return true;
}

// Calls `visit(row, adapter)` for every shown adapter of set-up's table, in row order.
template <typename Visit>
void for_each_shown_adapter(Visit visit) {
  amd_for_each_shown(State.AdapterInfoTable, State.GpuCount, visit);
}

GpuPlace place_of(const AdapterInfo& adapter) {
  return GpuPlace{adapter.iBusNumber != 0,
                  static_cast<uint32_t>(adapter.iBusNumber),
                  static_cast<uint32_t>(adapter.iDeviceNumber),
                  static_cast<uint32_t>(adapter.iFunctionNumber),
                  adapter.strAdapterName,
                  sizeof(adapter.strAdapterName),
                  adapter.strUDID,
                  sizeof(adapter.strUDID)};
}

// Each row's other records in `table`: those of its GPU but `own[row]`, the row's record there,
// in ADL's order; none for a row whose own is -1. A record is of one GPU at most, so `count`
// indices hold every row's.
void find_other_records(const AdapterInfo* table, int32_t count, const int32_t* own) {
  heap_release(OtherRecords);
  OtherRecords =
      count > 0 ? static_cast<int*>(heap_alloc(sizeof(int) * static_cast<size_t>(count))) : nullptr;
  int32_t used = 0;
  for (int32_t row = 0; row < RowCount; ++row) {
    AmdRow& record = Rows[row];
    record.first_other = used;
    record.other_count = 0;
    for (int32_t k = 0; OtherRecords && own[row] >= 0 && !record.other_vendor && k < count; ++k) {
      if (k == own[row] || !amd_same_gpu(table[k], table[own[row]]) || used >= count) continue;
      OtherRecords[used++] = table[k].iAdapterIndex;
      ++record.other_count;
    }
    if (record.reading_record >= record.other_count) record.reading_record = -1;
  }
}

// One record per row, its GPU's other records, and each shown adapter's device, found by the PCI
// location ADL gave for it.
void prepare_rows() {
  int32_t rows = 0;
  for_each_shown_adapter([&](int32_t, const AdapterInfo&) { ++rows; });
  Rows = rows > 0 ? static_cast<AmdRow*>(heap_alloc(sizeof(AmdRow) * static_cast<size_t>(rows)))
                  : nullptr;
  RowCount = Rows ? rows : 0;
  const size_t own_size = sizeof(int32_t) * static_cast<size_t>(RowCount + 1);
  auto* own = static_cast<int32_t*>(heap_alloc(own_size));
  for_each_shown_adapter([own](int32_t row, const AdapterInfo& adapter) {
    if (row >= RowCount) return;
    Rows[row] = AmdRow{adapter.iAdapterIndex, true, place_of(adapter), other_vendors_own(row),
                       false, 0, 0, 0, -1, false};
    if (own) own[row] = static_cast<int32_t>(&adapter - State.AdapterInfoTable);
  });
  if (own) find_other_records(State.AdapterInfoTable, State.GpuCount, own);
  heap_release(own);
  if (!rows_watch(rows + nvml_rows_count())) return;
  for_each_shown_adapter([](int32_t row, const AdapterInfo& adapter) {
    row_locate(row, static_cast<uint32_t>(adapter.iBusNumber),
               static_cast<uint32_t>(adapter.iDeviceNumber),
               static_cast<uint32_t>(adapter.iFunctionNumber));
  });
}

void note_pass(int32_t asked, int32_t read) {
  const bool all_failed = ReadingCame && asked > 0 && read == 0;
  FailingPasses = all_failed ? FailingPasses + 1 : 0;
  if (FailingPasses < FailingPassesOfADriverAway) return;
  FailingPasses = 0;
  recovery_driver_away(Recovery);
}

// A row that ADL has never read since its driver started, and that every ADL path has failed for
// in its first passes, through every record of its GPU, is offered to ADLX: true when ADLX answers
// for it in this pass.
bool offer_to_adlx(int32_t row) {
  const AmdRow& record = Rows[row];
  if (record.adl_read || record.adl_failures < FailingPassesBeforeAdlx) return false;
  const GpuPlace& place = record.place;
  return adlx_offer(row, record.adapter_index, place.located, static_cast<int>(place.bus),
                    static_cast<int>(place.device), static_cast<int>(place.function));
}

// Overdrive5 first, exactly as older drivers expect; only a record it fails for is asked of the
// sensors of current GPUs, which their drivers answer instead.
bool read_record(int adapter_index, CycleRecords& records, int32_t& celsius) {
  return read_overdrive5(adapter_index, records.temperature, celsius) ||
         adl2_read_temperature(adapter_index, records.log, celsius);
}

int reading_index(const AmdRow& row) {
  return row.reading_record < 0 ? row.adapter_index
                                : OtherRecords[row.first_other + row.reading_record];
}

// One round over the other records of the row's GPU, in ADL's order: the first that reads it
// reads it from then on. After a round in which none does, they wait for the schedule.
bool read_other_records(AmdRow& row, CycleRecords& records, int32_t& celsius) {
  if (row.other_count == 0 || row.others_settled) return false;
  OtherRecordsAsked = true;
  for (int32_t k = 0; k < row.other_count && !vendor_library_given_up(); ++k) {
    if (!read_record(OtherRecords[row.first_other + k], records, celsius)) continue;
    row.reading_record = k;
    return true;
  }
  row.others_settled = true;
  return false;
}

// The row's reading, through the record that reads it. Drivers have refused every call on the
// record set-up keeps while another record of the same GPU answered: a row whose own record
// failed in its first passes, ADL never having read it, is tried through the others.
bool read_row(AmdRow& row, CycleRecords& records, int32_t& celsius) {
  if (read_record(reading_index(row), records, celsius)) return true;
  if (row.adl_read || vendor_library_given_up()) return false;
  if (row.adl_failures < FailingPassesBeforeAdlx) ++row.adl_failures;
  return row.adl_failures >= FailingPassesBeforeAdlx && read_other_records(row, records, celsius);
}

void other_records_pass_begins() {
  OtherRecordsAsked = false;
  if (recovery_pass_begins(OtherRecordsSchedule) != RecoveryStep::LookForMissing) return;
  for (int32_t row = 0; row < RowCount; ++row) Rows[row].others_settled = false;
}

void other_records_pass_ends() {
  if (!OtherRecordsAsked) return;
  int32_t settled = 0;
  for (int32_t row = 0; row < RowCount; ++row) settled += Rows[row].others_settled ? 1 : 0;
  recovery_rows_bound(OtherRecordsSchedule, settled);
}

// A powered-down GPU is not asked at all, through none of its records: any call would wake it,
// and neither is the driver while it is away. False, with the pass cut short, once a call into
// ADL has faulted: ADL is never called again.
bool read_rows(CycleRecords& records) {
  const bool away = recovery_driver_is_away(Recovery);
  adlx_pass_begins();
  other_records_pass_begins();
  int32_t asked = 0;
  int32_t read = 0;
  for (int32_t row = 0; row < RowCount; ++row) {
    if (Rows[row].other_vendor || row_asleep(row)) continue;
    if (away || !Rows[row].present) {
      row_found_no_reading(row);
      continue;
    }
    if (adlx_owns(row)) {
      adlx_ask(row);
      continue;
    }
    ++asked;
    int32_t celsius = 0;
    const bool ok = read_row(Rows[row], records, celsius);
    if (vendor_library_given_up()) return false;
    if (!ok) {
      if (!offer_to_adlx(row)) row_found_no_reading(row);
      continue;
    }
    Rows[row].adl_read = true;
    row_show_reading(row, celsius);
    recovery_reading_came(Recovery);
    ReadingCame = true;
    ++read;
  }
  other_records_pass_ends();
  adlx_read_rows();
  if (!away) note_pass(asked, read);
  return true;
}

void end_adl_rows() {
  for (int32_t row = 0; row < RowCount; ++row)
    if (!Rows[row].other_vendor) row_end_reading(row);
}

// Binds every row to its adapter in a table just read; answers how many found none.
int32_t bind_rows(const AdapterInfo* table, int32_t count) {
  auto* found = static_cast<GpuPlace*>(heap_alloc(sizeof(GpuPlace) * static_cast<size_t>(count)));
  const auto row_count = static_cast<size_t>(RowCount);
  auto* rows = static_cast<GpuPlace*>(heap_alloc(sizeof(GpuPlace) * row_count));
  auto* match = static_cast<int32_t*>(heap_alloc(sizeof(int32_t) * row_count));
  int32_t missing = RowCount;
  if (found && rows && match) {
    for (int32_t i = 0; i < count; ++i) found[i] = place_of(table[i]);
    for (int32_t row = 0; row < RowCount; ++row) rows[row] = Rows[row].place;
    recovery_match_rows(rows, RowCount, found, count, match);
    missing = 0;
    for (int32_t row = 0; row < RowCount; ++row) {
      Rows[row].present = match[row] >= 0;
      if (match[row] >= 0) Rows[row].adapter_index = table[match[row]].iAdapterIndex;
      else ++missing;
    }
    find_other_records(table, count, match);
  }
  heap_release(match);
  heap_release(rows);
  heap_release(found);
  return missing;
}

// The adapters counted and read again, each row bound to its adapter; nothing changes when ADL
// lists none. The table is the worker's for this step only: set-up's table, which names the rows,
// stays.
void list_adapters_again() {
  int count = 0;
  if (!adl_succeeds(L"ADL_Adapter_NumberOfAdapters_Get", &count) || count <= 0) return;
  const size_t size = static_cast<size_t>(count) * sizeof(AdapterInfo);
  if (size > INT32_MAX) return;
  auto* table = static_cast<AdapterInfo*>(heap_alloc(size + sizeof(AdapterInfo)));
  if (!table) return;
  if (adl_succeeds(L"ADL_Adapter_AdapterInfo_Get", table, static_cast<int>(size)))
    recovery_rows_bound(Recovery, bind_rows(table, count));
  heap_release(table);
}

// ADL's contexts destroyed and created again: the ADL2 one on its next use. ADLX's objects belong
// to the old driver, and ADLX runs on the ADL2 context: it goes first. Every row is ADL's again,
// read through its own record first.
void reinitialise() {
  adlx_restart();
  for (int32_t row = 0; row < RowCount; ++row) {
    Rows[row].adl_read = false;
    Rows[row].adl_failures = 0;
    Rows[row].reading_record = -1;
    Rows[row].others_settled = false;
  }
  OtherRecordsSchedule = RecoverySchedule{};
  adl2_restart();
  library_call(VendorLibrary, L"ADL_Main_Control_Destroy");
  MainControlDestroyed = true;
  if (vendor_library_given_up() || !adl_succeeds(L"ADL_Main_Control_Create", adl_allocate, 1))
    return;
  MainControlDestroyed = false;
  list_adapters_again();
}

// The rows NVML adds after ADL's: compute GPUs at the location of no adapter record of ADL's.
int32_t find_nvml_rows() {
  const auto records = static_cast<size_t>(State.GpuCount);
  auto* known = static_cast<PciLocation*>(heap_alloc(sizeof(PciLocation) * records + 1));
  if (!known) return 0;
  int32_t count = 0;
  for (size_t i = 0; i < records; ++i) {
    const AdapterInfo& adapter = State.AdapterInfoTable[i];
    if (adapter.iBusNumber != 0)
      known[count++] = PciLocation{static_cast<uint32_t>(adapter.iBusNumber),
                                   static_cast<uint32_t>(adapter.iDeviceNumber), 0};
  }
  const int32_t rows = nvml_rows_find(known, count, State.DisplayedGpuCount);
  heap_release(known);
  return rows;
}

void take_recovery_step() {
  const RecoveryStep step = recovery_pass_begins(Recovery);
  if (step == RecoveryStep::Reinitialise) reinitialise();
  else if (step == RecoveryStep::LookForMissing) list_adapters_again();
}

}  // namespace

void* WINAPI adl_allocate(int size) {
  return size > 0 ? heap_alloc(static_cast<size_t>(size)) : nullptr;
}

void WINAPI adl_free(void** block) {
  if (!block) return;
  heap_release(*block);
  *block = nullptr;
}

bool amd_setup() {
  create_main_control();
  count_adapters();
  if (!read_adapter_info()) {
    message_box(L"error", L"Unable to get adapter's info");
    return false;
  }
  State.DisplayedGpuCount = State.GpuCount;
  amd_hide_duplicates(State.AdapterInfoTable, State.GpuCount, State.DisplayedGpuCount);
  watch_reset();
  other_vendors_find(State.AdapterInfoTable, State.GpuCount);
  State.DisplayedGpuCount += find_nvml_rows();
  CycleBegun = false;
  return true;
}

namespace {

void begin_cycle() {
  Records = CycleRecords{};
  Records.temperature.iSize = sizeof(ADLTemperature);
  AdlReads = true;
  OtherRecordsSchedule = RecoverySchedule{};
  prepare_rows();
  adlx_rows_prepare(RowCount);
  CycleBegun = true;
}

}  // namespace

DWORD WINAPI amd_reading_cycle(void*) {
  if (!CycleBegun) begin_cycle();
  for (;;) {
    if (AdlReads) take_recovery_step();
    // Once ADL has faulted its rows end, and the cycle goes on for the rows of other vendors.
    if (AdlReads && (vendor_library_given_up() || !read_rows(Records))) {
      AdlReads = false;
      end_adl_rows();
    }
    other_vendors_read();
    nvml_rows_read();
    if (!AdlReads && !other_vendors_reading() && !nvml_rows_reading()) break;
    rows_pass_ended();
    delay_ms(1000);
  }
  rows_end_readings();
  return 0;
}

bool amd_worker_stuck() {
  WatchedLibrary library = WatchedAdlx;
  if (!watch_worker_stuck(library)) return false;
  if (library == WatchedAdlx) adlx_give_up();
  else if (library == WatchedNvml) nvml_rows_give_up();
  else other_vendors_give_up(library);
  return true;
}

// In the reverse order of creation: NVML's and the other vendors' sessions, ADLX, which runs on the readings'
// ADL2 context, that context, then the main control, unless a recovery destroyed it and could not
// create it again.
void amd_shutdown() {
  nvml_rows_end();
  other_vendors_end();
  if (adlx_end()) adl2_shutdown();
  if (!MainControlDestroyed) library_call(VendorLibrary, L"ADL_Main_Control_Destroy");
}
