#include "backends/amd/amd.h"

#include <cstring>

#include "app/program.h"
#include "app/rows.h"
#include "backends/amd/adl.h"
#include "backends/amd/adl2.h"
#include "backends/amd/adl_call.h"
#include "facade/objects.h"

namespace {

constexpr int32_t DuplicateMarkerLength = 10;

// The records the reading cycle owns for its whole run: no pass allocates.
struct CycleRecords {
  ADLTemperature temperature;
  ADLPMLogDataOutput log;
};

// Driver text fields are read no further than their end, even without a terminating zero.
void append_field(const char (&field)[ADL_MAX_PATH]) {
  text_from_8bit(field, static_cast<int64_t>(strnlen(field, ADL_MAX_PATH)), TEXT_8BIT);
}

void hide(AdapterInfo& adapter) {
  std::memset(adapter.strUDID, ' ', DuplicateMarkerLength);
  adapter.strUDID[DuplicateMarkerLength] = '\0';
  --State.DisplayedGpuCount;
}

bool same_location(const AdapterInfo& a, const AdapterInfo& b) {
  return a.iBusNumber == b.iBusNumber && a.iDeviceNumber == b.iDeviceNumber &&
         a.iFunctionNumber == b.iFunctionNumber;
}

// Hides adapters without a bus number and every later adapter at the location of a shown one.
// The inner walk starts at 1 and tests only record i for being hidden; for two or more adapters
// this hides exactly the later records of each location, and a lone adapter is always shown.
void hide_duplicates() {
  AdapterInfo* adapters = State.AdapterInfoTable;
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    for (int32_t j = 1; j < State.GpuCount; ++j) {
      if (adapters[i].iBusNumber == 0 && !amd_is_duplicate(adapters[i])) {
        hide(adapters[i]);
      } else if (i != j && same_location(adapters[i], adapters[j]) &&
                 !amd_is_duplicate(adapters[i])) {
        hide(adapters[j]);
      }
    }
  }
}

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

bool read_overdrive5(const AdapterInfo& adapter, ADLTemperature& temperature, int32_t& celsius) {
  if (!adl_succeeds(L"ADL_Overdrive5_Temperature_Get", adapter.iAdapterIndex, 0, &temperature))
    return false;
  celsius = temperature.iTemperature / 1000;
  return true;
}

// Calls `visit(row, adapter)` for every shown adapter, in row order, while it answers true.
template <typename Visit>
void for_each_shown_adapter(Visit visit) {
  int32_t row = -1;
  for (int32_t k = 0; k < State.GpuCount; ++k) {
    const AdapterInfo& adapter = State.AdapterInfoTable[k];
    if (amd_is_duplicate(adapter)) continue;
    if (!visit(++row, adapter)) return;
  }
}

// Each shown adapter's device, found by the PCI location ADL gave for it.
void locate_shown_adapters() {
  int32_t rows = 0;
  for_each_shown_adapter([&](int32_t, const AdapterInfo&) {
    ++rows;
    return true;
  });
  if (!rows_watch(rows)) return;
  for_each_shown_adapter([](int32_t row, const AdapterInfo& adapter) {
    row_locate(row, static_cast<uint32_t>(adapter.iBusNumber),
               static_cast<uint32_t>(adapter.iDeviceNumber),
               static_cast<uint32_t>(adapter.iFunctionNumber));
    return true;
  });
}

// Overdrive5 first, exactly as older drivers expect; only a row it fails for is asked of the
// sensors of current GPUs, which their drivers answer instead. A powered-down GPU is not asked
// at all: any of these calls would wake it. False, with the pass cut short, once a call into ADL
// has faulted: ADL is never called again.
bool read_shown_adapters(CycleRecords& records) {
  bool readable = true;
  for_each_shown_adapter([&](int32_t row, const AdapterInfo& adapter) {
    if (row_asleep(row)) return true;
    int32_t celsius = 0;
    const bool read = read_overdrive5(adapter, records.temperature, celsius) ||
                      adl2_read_temperature(adapter.iAdapterIndex, records.log, celsius);
    readable = !vendor_library_given_up();
    if (!readable) return false;
    if (read) row_show_reading(row, celsius);
    else row_found_no_reading(row);
    return true;
  });
  return readable;
}

}  // namespace

void* WINAPI adl_allocate(int size) {
  return size > 0 ? heap_alloc(static_cast<size_t>(size)) : nullptr;
}

bool amd_setup() {
  create_main_control();
  count_adapters();
  if (!read_adapter_info()) {
    message_box(L"error", L"Unable to get adapter's info");
    return false;
  }
  State.DisplayedGpuCount = State.GpuCount;
  hide_duplicates();
  return true;
}

DWORD WINAPI amd_reading_cycle(void*) {
  CycleRecords records{};
  records.temperature.iSize = sizeof(ADLTemperature);
  locate_shown_adapters();
  while (read_shown_adapters(records)) {
    rows_pass_ended();
    delay_ms(1000);
  }
  rows_end_readings();
  return 0;
}

// In the reverse order of creation: the readings' ADL2 context, then the set-up's main control.
void amd_shutdown() {
  adl2_shutdown();
  library_call(VendorLibrary, L"ADL_Main_Control_Destroy");
}

void amd_append_name(const AdapterInfo& adapter) { append_field(adapter.strAdapterName); }

bool amd_is_duplicate(const AdapterInfo& adapter) {
  const size_t start = text_position();
  append_field(adapter.strUDID);
  const size_t marker = text_position() + sizeof(wchar_t);
  text_set_position(marker);
  text_space(DuplicateMarkerLength);
  text_set_position(start);
  return text_equal(text_at(marker), text_at(start)) == 1;
}
