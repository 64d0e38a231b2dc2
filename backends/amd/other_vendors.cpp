#include "backends/amd/other_vendors.h"

#include "app/rows.h"
#include "backends/amd/records.h"
#include "backends/amd/worker_watch.h"
#include "backends/intel/intel.h"
#include "backends/nvidia/reader.h"
#include "facade/objects.h"

namespace {

// Intel's library is held beside ADL, library 0. It is opened by the worker: the library table
// holds 16 numbers from the start, so opening this one touches no record another thread reads.
constexpr ObjectNumber IntelLibrary = 1;
enum class Reading : uint8_t { None, Read, PoweredDown };
enum Session : LONG { Unopened, Open, Unusable, GivenUp };

static_assert(sizeof(NvPhysicalGpuHandle) == sizeof(void*));

// One vendor's rows. The worker's own, but for `session`, which the main thread sets to GivenUp
// when the worker is stuck in this vendor's driver.
struct VendorRows {
  GpuVendor vendor;
  int32_t count;
  int32_t* rows;                 // window rows, ascending
  GpuPlace* places;              // each row's GPU as ADL lists it
  NvPhysicalGpuHandle* handles;  // NVIDIA: the GPU each row is read through now, or null
  bool* asked;                   // in this pass: the row's GPU is awake
  Reading* readings;
  int32_t* celsius;
  volatile LONG session;  // Session
  bool rows_ended;
  // Records the calls fill: no pass allocates.
  NV_GPU_THERMAL_SETTINGS nvidia_settings;
  ctl_power_telemetry_t intel_telemetry;
};

constexpr int32_t VendorCount = 2;
constexpr GpuVendor VendorOrder[VendorCount] = {GpuVendor::Nvidia, GpuVendor::Intel};
VendorRows Vendors[VendorCount];

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

bool given_up(VendorRows& vendor) {
  if (load(vendor.session) == GivenUp) return true;
  return vendor.vendor == GpuVendor::Nvidia ? nvapi_given_up() : intel_given_up();
}

HMODULE library_of(const VendorRows& vendor) {
  return vendor.vendor == GpuVendor::Nvidia ? nvapi_library() : library_module(IntelLibrary);
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

// The vendor's calls of one pass: the session opened on the first, then the recovery's step,
// then every row asked for. The driver is never called again once it faulted. A session the main
// thread gave up meanwhile stays given up.
void read_calls(VendorRows& vendor) {
  for (int32_t i = 0; i < vendor.count; ++i) vendor.readings[i] = Reading::None;
  if (load(vendor.session) == Unopened) {
    const LONG opened = open_session(vendor) ? Open : Unusable;
    InterlockedCompareExchange(&vendor.session, opened, Unopened);
  }
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

// The calls, watched by the main thread. Should it have given this worker up meanwhile, the
// worker ends as soon as the driver lets it go, or on leaving at the latest: a new one has the
// cycle now, and the rows are its.
void read_calls_watched(VendorRows& vendor) {
  watch_enter(vendor.vendor == GpuVendor::Nvidia ? WatchedNvidia : WatchedIntel);
  read_calls(vendor);
  watch_leave();
}

// Nothing can read these rows again: a temperature they show goes.
void end_rows(VendorRows& vendor) {
  if (vendor.rows_ended) return;
  vendor.rows_ended = true;
  for (int32_t i = 0; i < vendor.count; ++i) row_end_reading(vendor.rows[i]);
}

// The rows of a vendor that can read them now, each checked for being powered down first, and
// those that are awake read.
void read_rows(VendorRows& vendor) {
  if (vendor.count == 0) return;
  if (load(vendor.session) == GivenUp) return end_rows(vendor);
  // A row that no library can read keeps what it says, as an AMD row ADL cannot read does.
  if (load(vendor.session) == Unusable) return;
  bool any = false;
  for (int32_t i = 0; i < vendor.count; ++i) {
    vendor.asked[i] = !row_asleep(vendor.rows[i]);
    any = any || vendor.asked[i];
  }
  if (!any) return;
  read_calls_watched(vendor);
  const LONG session = load(vendor.session);
  if (session == GivenUp) return end_rows(vendor);
  if (session == Unusable) return;
  for (int32_t i = 0; i < vendor.count; ++i) {
    if (!vendor.asked[i]) continue;
    const int32_t row = vendor.rows[i];
    if (vendor.readings[i] == Reading::Read) row_show_reading(row, vendor.celsius[i]);
    else if (vendor.readings[i] == Reading::PoweredDown) row_found_powered_down(row);
    else row_found_no_reading(row);
  }
}

}  // namespace

void other_vendors_find(const AdapterInfo* adapters, int32_t count) {
  for (VendorRows& vendor : Vendors) {
    vendor.vendor = VendorOrder[&vendor - Vendors];
    vendor.count = 0;
    vendor.session = Unopened;
    vendor.rows_ended = false;
    int32_t rows = 0;
    amd_for_each_shown(adapters, count, [&](int32_t, const AdapterInfo& adapter) {
      if (adl_record_vendor(adapter) == vendor.vendor) ++rows;
    });
    // Without their records the vendor's rows are never read, and never asked of ADL either.
    if (rows == 0 || !allocate_rows(vendor, rows)) {
      vendor.session = Unusable;
      continue;
    }
    amd_for_each_shown(adapters, count, [&](int32_t row, const AdapterInfo& adapter) {
      if (adl_record_vendor(adapter) != vendor.vendor) return;
      vendor.rows[vendor.count] = row;
      vendor.places[vendor.count] = place_of(adapter, vendor.vendor);
      ++vendor.count;
    });
    watch_enable();
  }
}

bool other_vendors_own(int32_t row) {
  for (const VendorRows& vendor : Vendors)
    for (int32_t i = 0; i < vendor.count; ++i)
      if (vendor.rows[i] == row) return true;
  return false;
}

void other_vendors_read() {
  for (VendorRows& vendor : Vendors) read_rows(vendor);
}

bool other_vendors_reading() {
  for (VendorRows& vendor : Vendors) {
    const LONG session = load(vendor.session);
    if (vendor.count > 0 && session != Unusable && session != GivenUp) return true;
  }
  return false;
}

void other_vendors_give_up(WatchedLibrary library) {
  VendorRows& vendor = Vendors[library == WatchedNvidia ? 0 : 1];
  InterlockedExchange(&vendor.session, GivenUp);
  // Its code may hold locks it will never let go: it is not called or freed again, and the
  // process ends without its detach routine, as after a fault.
  module_give_up(library_of(vendor));
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
