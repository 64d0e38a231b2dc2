#include "backends/amd/other_vendors.h"

#include "app/rows.h"
#include "backends/amd/records.h"
#include "backends/intel/intel.h"
#include "backends/nvidia/reader.h"
#include "facade/objects.h"

namespace {

// Intel's library is held beside ADL, library 0. It is opened on Intel's reading thread: the
// library table holds 16 numbers from the start, so opening this one touches no record that
// ADL's thread reads meanwhile.
constexpr ObjectNumber IntelLibrary = 1;
// How long ADL's pass waits for a vendor's readings after handing its rows over. A driver slower
// than this leaves its rows without a reading in that pass; one that hangs costs ADL's own rows
// this wait once, since a vendor still busy is handed nothing more.
constexpr uint32_t HandOverWaitMs = 1000;

enum class Reading : uint8_t { None, Read, PoweredDown };
enum Session : LONG { Unopened, Open, Unusable, GivenUp };

static_assert(sizeof(NvPhysicalGpuHandle) == sizeof(void*));

// One vendor's rows, and the hand-over between ADL's thread and the vendor's. ADL's thread writes
// `asked` and then counts a batch in `handed`; the vendor's thread reads them, writes the
// readings, and then sets `finished` to that batch: each side reads the other's fields only after
// the count that publishes them.
struct VendorRows {
  GpuVendor vendor;
  int32_t count;
  int32_t* rows;                 // window rows, ascending
  GpuPlace* places;              // each row's GPU as ADL lists it
  NvPhysicalGpuHandle* handles;  // NVIDIA: the GPU each row is read through now, or null
  bool* asked;                   // in this batch: the row's GPU is awake
  Reading* readings;
  int32_t* celsius;
  HANDLE work;
  HANDLE done;
  volatile LONG handed;
  volatile LONG finished;
  volatile LONG session;  // Session; written by the vendor's thread
  // ADL's thread's own:
  bool handed_in_pass;
  bool rows_ended;
  // The vendor's thread's records: no pass allocates.
  NV_GPU_THERMAL_SETTINGS nvidia_settings;
  ctl_power_telemetry_t intel_telemetry;
};

constexpr int32_t VendorCount = 2;
constexpr GpuVendor VendorOrder[VendorCount] = {GpuVendor::Nvidia, GpuVendor::Intel};
VendorRows Vendors[VendorCount];
ThreadNumber Threads[VendorCount];

LONG load(volatile LONG& value) { return InterlockedCompareExchange(&value, 0, 0); }

template <typename T>
T* allocate(int32_t count) {
  return static_cast<T*>(heap_alloc(sizeof(T) * static_cast<size_t>(count)));
}

bool allocate_rows(VendorRows& vendor, int32_t count) {
  vendor.rows = allocate<int32_t>(count);
  vendor.places = allocate<GpuPlace>(count);
  // Handles are opaque pointers.
  vendor.handles = static_cast<NvPhysicalGpuHandle*>(
      heap_alloc(sizeof(void*) * static_cast<size_t>(count)));
  vendor.asked = allocate<bool>(count);
  vendor.readings = allocate<Reading>(count);
  vendor.celsius = allocate<int32_t>(count);
  return vendor.rows && vendor.places && vendor.handles && vendor.asked && vendor.readings &&
         vendor.celsius;
}

// The GPU as the other vendor's library will be asked to find it: by its PCI location. NVAPI
// gives no function number; the GPU's own is 0.
GpuPlace place_of(const AdapterInfo& adapter, GpuVendor vendor) {
  return GpuPlace{adapter.iBusNumber != 0,
                  static_cast<uint32_t>(adapter.iBusNumber),
                  static_cast<uint32_t>(adapter.iDeviceNumber),
                  vendor == GpuVendor::Nvidia ? 0 : static_cast<uint32_t>(adapter.iFunctionNumber),
                  adapter.strAdapterName,
                  sizeof(adapter.strAdapterName),
                  nullptr,
                  0};
}

bool given_up(const VendorRows& vendor) {
  return vendor.vendor == GpuVendor::Nvidia ? nvapi_given_up() : intel_given_up();
}

bool open_session(VendorRows& vendor) {
  if (vendor.vendor == GpuVendor::Nvidia)
    return nvidia_open_for(vendor.places, vendor.count, vendor.handles);
  return intel_open_for(IntelLibrary, vendor.places, vendor.count);
}

void read_nvidia(VendorRows& vendor, int32_t i, bool away) {
  const NvPhysicalGpuHandle gpu = vendor.handles[i];
  if (away || !gpu) return;
  // A failing read is no reading, as on an AMD row: ADL's cycle goes on, and no box is shown.
  switch (nvidia_read(gpu, vendor.nvidia_settings, vendor.celsius[i])) {
    case NvidiaReading::Read: vendor.readings[i] = Reading::Read; break;
    case NvidiaReading::PoweredDown: vendor.readings[i] = Reading::PoweredDown; break;
    default: break;
  }
}

void read_intel(VendorRows& vendor, int32_t i) {
  switch (intel_read(i, vendor.intel_telemetry, vendor.celsius[i])) {
    case IntelReading::Read: vendor.readings[i] = Reading::Read; break;
    case IntelReading::PoweredDown: vendor.readings[i] = Reading::PoweredDown; break;
    default: break;
  }
}

// One batch on the vendor's thread: the session opened on the first, then the recovery's step,
// then every row asked for. The driver is never called again once it faulted.
void read_batch(VendorRows& vendor) {
  for (int32_t i = 0; i < vendor.count; ++i) vendor.readings[i] = Reading::None;
  if (load(vendor.session) == Unopened)
    InterlockedExchange(&vendor.session, open_session(vendor) ? Open : Unusable);
  if (load(vendor.session) != Open) return;
  const bool nvidia = vendor.vendor == GpuVendor::Nvidia;
  if (nvidia) nvidia_pass_begins(vendor.places, vendor.count, vendor.handles);
  else intel_pass_begins();
  // While the driver is away nothing is asked of its old session, in the whole pass.
  const bool away = nvidia && nvidia_driver_away();
  for (int32_t i = 0; i < vendor.count && !given_up(vendor); ++i) {
    if (!vendor.asked[i]) continue;
    thread_stop_point();
    if (nvidia) read_nvidia(vendor, i, away);
    else read_intel(vendor, i);
  }
  if (given_up(vendor)) InterlockedExchange(&vendor.session, GivenUp);
}

DWORD WINAPI vendor_thread(void* parameter) {
  VendorRows& vendor = Vendors[reinterpret_cast<intptr_t>(parameter)];
  for (;;) {
    signal_wait(vendor.work, INFINITE);
    const LONG batch = load(vendor.handed);
    read_batch(vendor);
    InterlockedExchange(&vendor.finished, batch);
    signal_raise(vendor.done);
  }
}

bool busy(VendorRows& vendor) { return load(vendor.finished) != load(vendor.handed); }

// Nothing can read these rows again: a temperature they show goes.
void end_rows(VendorRows& vendor) {
  if (vendor.rows_ended) return;
  vendor.rows_ended = true;
  for (int32_t i = 0; i < vendor.count; ++i) row_end_reading(vendor.rows[i]);
}

// The rows of a vendor that can read them now, each checked for being powered down first, and
// the vendor handed those that are awake. A vendor still busy with an earlier batch is handed
// nothing: its rows go without a reading in this pass.
void hand_over(VendorRows& vendor) {
  vendor.handed_in_pass = false;
  if (vendor.count == 0 || !vendor.work) return;
  const LONG session = load(vendor.session);
  if (session == GivenUp) return end_rows(vendor);
  // A row that no library can read keeps what it says, as an AMD row ADL cannot read does.
  if (session == Unusable) return;
  const bool idle = !busy(vendor);
  bool any = false;
  for (int32_t i = 0; i < vendor.count; ++i) {
    const int32_t row = vendor.rows[i];
    const bool awake = !row_asleep(row);
    if (awake && !idle) row_found_no_reading(row);
    vendor.asked[i] = awake && idle;
    any = any || vendor.asked[i];
  }
  if (!any) return;
  vendor.handed_in_pass = true;
  InterlockedIncrement(&vendor.handed);
  signal_raise(vendor.work);
}

void take_up(VendorRows& vendor, ULONGLONG deadline) {
  if (!vendor.handed_in_pass) return;
  while (busy(vendor)) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline || !signal_wait(vendor.done, static_cast<uint32_t>(deadline - now))) break;
  }
  const bool finished = !busy(vendor);
  const LONG session = load(vendor.session);
  if (session == GivenUp) return end_rows(vendor);
  if (session == Unusable) return;
  for (int32_t i = 0; i < vendor.count; ++i) {
    if (!vendor.asked[i]) continue;
    const int32_t row = vendor.rows[i];
    const Reading reading = finished ? vendor.readings[i] : Reading::None;
    if (reading == Reading::Read) row_show_reading(row, vendor.celsius[i]);
    else if (reading == Reading::PoweredDown) row_found_powered_down(row);
    else row_found_no_reading(row);
  }
}

ULONGLONG PassDeadline;

}  // namespace

void other_vendors_find(const AdapterInfo* adapters, int32_t count) {
  for (VendorRows& vendor : Vendors) {
    vendor.vendor = VendorOrder[&vendor - Vendors];
    vendor.count = 0;
    int32_t rows = 0;
    amd_for_each_shown(adapters, count, [&](int32_t, const AdapterInfo& adapter) {
      if (adl_record_vendor(adapter) == vendor.vendor) ++rows;
    });
    if (rows == 0 || !allocate_rows(vendor, rows)) continue;
    amd_for_each_shown(adapters, count, [&](int32_t row, const AdapterInfo& adapter) {
      if (adl_record_vendor(adapter) != vendor.vendor) return;
      vendor.rows[vendor.count] = row;
      vendor.places[vendor.count] = place_of(adapter, vendor.vendor);
      ++vendor.count;
    });
    vendor.work = signal_create();
    vendor.done = signal_create();
    const intptr_t index = &vendor - Vendors;
    if (vendor.work && vendor.done) Threads[index] = thread_create(vendor_thread, index);
    // Without its thread the vendor's rows are never read, and never asked of ADL either.
    if (Threads[index] == 0) vendor.work = nullptr;
  }
}

bool other_vendors_own(int32_t row) {
  for (const VendorRows& vendor : Vendors)
    for (int32_t i = 0; i < vendor.count; ++i)
      if (vendor.rows[i] == row) return true;
  return false;
}

void other_vendors_pass_begins() {
  PassDeadline = GetTickCount64() + HandOverWaitMs;
  for (VendorRows& vendor : Vendors) hand_over(vendor);
}

void other_vendors_pass_ends() {
  for (VendorRows& vendor : Vendors) take_up(vendor, PassDeadline);
}

bool other_vendors_reading() {
  for (VendorRows& vendor : Vendors) {
    const LONG session = load(vendor.session);
    if (vendor.count > 0 && vendor.work && session != Unusable && session != GivenUp) return true;
  }
  return false;
}

bool other_vendors_stop() {
  bool cut_off = false;
  for (ThreadNumber& thread : Threads) {
    if (thread != 0 && thread_kill(thread)) cut_off = true;
    thread = 0;
  }
  return cut_off;
}

void other_vendors_end() {
  for (VendorRows& vendor : Vendors) {
    if (load(vendor.session) != Open || given_up(vendor)) continue;
    if (vendor.vendor == GpuVendor::Nvidia) {
      NvAPI_Unload();
    } else {
      intel_shutdown();
      library_close(IntelLibrary);
    }
  }
}
