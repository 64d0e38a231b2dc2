#include "backends/nvidia/nvml_rows.h"

#include <cstring>

#include "app/recovery.h"
#include "app/rows.h"
#include "backends/amd/worker_watch.h"
#include "backends/nvidia/nvml.h"
#include "facade/library.h"

namespace {

// Held beside the vendor library (0), Intel's (1) and ADLX (2). Opened and closed on the main
// thread.
constexpr ObjectNumber NvmlLibrary = 3;
constexpr int32_t MostGpus = 64;
constexpr int32_t MostRows = 16;
// What a call answers that was not made or faulted: NVML_ERROR_UNKNOWN.
constexpr nvmlReturn_t CallNotMade = 999;
// Whole degrees above this are no reading.
constexpr unsigned HighestReading = 255;

// The GPUs NVML lists now, each with its location (unlocated where a call failed).
struct Listing {
  nvmlDevice_t devices[MostGpus];
  GpuPlace places[MostGpus];
  int32_t count;
};

HMODULE Module;  // while loaded
FARPROC Nvml[NvmlFunctionCount];
int32_t RowCount;
int32_t FirstRow;
// The worker's but for set-up: each row's GPU as found at set-up, the device it is read through
// now (null while missing), its name, and what this pass read.
GpuPlace Places[MostRows];
nvmlDevice_t Devices[MostRows];
char Names[MostRows][NvmlNameSize];
int32_t Celsius[MostRows];
bool Read[MostRows];
bool SessionOpen;  // an initialise not yet matched by its shutdown
bool RowsEnded;
volatile LONG GivenUp;  // set by the main thread for a hang
RecoverySchedule Recovery;
Listing Found;

bool given_up() {
  return InterlockedCompareExchange(&GivenUp, 0, 0) != 0 || module_given_up(Module);
}

// Every call used takes at most three integer or pointer arguments, each in a register of its own
// under the x64 convention, where the caller clears: one shape serves them all, as for library_call,
// and keeps the program small. A call not made, or faulted, answers CallNotMade.
nvmlReturn_t call(NvmlFunction function, intptr_t a = 0, intptr_t b = 0, intptr_t c = 0) {
  intptr_t result = CallNotMade;
  library_call_address(Module, result, Nvml[function], a, b, c);
  return static_cast<nvmlReturn_t>(result);
}
static_assert(sizeof(void*) == 8, "one calling shape for every signature holds on x64 only");

template <typename T>
intptr_t out(T* pointer) {
  return library_argument(pointer);
}

bool resolve() {
  for (int i = 0; i < NvmlFunctionCount; ++i) {
    Nvml[i] = GetProcAddress(Module, NvmlExports[i]);
    if (!Nvml[i]) return false;
  }
  return true;
}

bool open_library() {
  Module = library_open_system(NvmlLibrary, L"nvml.dll");
  if (!Module) return false;
  if (resolve() && call(NvmlInit) == NVML_SUCCESS) return SessionOpen = true;
  nvml_rows_end();
  return false;
}

// Every successful initialise gets its one shutdown; a library that faulted or hung gets none.
void end_session() {
  if (SessionOpen && !given_up()) call(NvmlShutdown);
  SessionOpen = false;
}

// A device only: NVIDIA's GPUs are function 0 of theirs, and ADL may say 1.
bool known_at(uint32_t bus, uint32_t device, const PciLocation* known, int32_t count) {
  for (int32_t i = 0; i < count; ++i)
    if (known[i].bus == bus && known[i].device == device) return true;
  return false;
}

void list(Listing& listing) {
  unsigned count = 0;
  listing.count = 0;
  if (call(NvmlDeviceCount, out(&count)) != NVML_SUCCESS) return;
  listing.count = count < MostGpus ? static_cast<int32_t>(count) : MostGpus;
  for (int32_t i = 0; i < listing.count; ++i) {
    nvmlDevice_t& device = listing.devices[i];
    GpuPlace& place = listing.places[i];
    device = nullptr;
    place = GpuPlace{};
    nvmlPciInfo_t pci{};
    if (call(NvmlDeviceHandle, i, out(&device)) == NVML_SUCCESS &&
        call(NvmlDevicePciInfo, out(device), out(&pci)) == NVML_SUCCESS)
      place = nvml_place_of(pci);
  }
}

bool compute_only(nvmlDevice_t device) {
  nvmlDriverModel_t current = NVML_DRIVER_WDDM;
  nvmlDriverModel_t pending = NVML_DRIVER_WDDM;
  return call(NvmlDeviceDriverModel, out(device), out(&current), out(&pending)) == NVML_SUCCESS &&
         nvml_compute_model(current);
}

void keep_row(nvmlDevice_t device, const GpuPlace& place) {
  Devices[RowCount] = device;
  Places[RowCount] = place;
  std::memset(Names[RowCount], 0, NvmlNameSize);
  call(NvmlDeviceName, out(device), out(Names[RowCount]), NvmlNameSize);
  ++RowCount;
}

// Each row given its GPU in a new listing, found by its PCI location, or none.
void bind_rows() {
  int32_t match[MostRows];
  recovery_match_rows(Places, RowCount, Found.places, Found.count, match);
  int32_t missing = 0;
  for (int32_t i = 0; i < RowCount; ++i) {
    Devices[i] = match[i] >= 0 ? Found.devices[match[i]] : nullptr;
    if (match[i] < 0) ++missing;
  }
  recovery_rows_bound(Recovery, missing);
}

// An initialise that fails leaves the driver away: the next follows the schedule.
void reinitialise() {
  if (call(NvmlInit) != NVML_SUCCESS) return;
  SessionOpen = true;
  list(Found);
  bind_rows();
}

bool driver_gone(nvmlReturn_t status) {
  return status == NVML_ERROR_GPU_IS_LOST || status == NVML_ERROR_DRIVER_NOT_LOADED ||
         status == NVML_ERROR_UNINITIALIZED;
}

// The calls of one pass. Every row answering that the driver is gone ends the session at once:
// nothing is asked of it again, and a new one begins on the recovery's schedule.
void read_calls() {
  const RecoveryStep step = recovery_pass_begins(Recovery);
  if (step == RecoveryStep::Reinitialise) reinitialise();
  if (step == RecoveryStep::LookForMissing) {
    list(Found);
    bind_rows();
  }
  const bool away = recovery_driver_is_away(Recovery);
  int32_t asked = 0;
  int32_t gone = 0;
  for (int32_t i = 0; i < RowCount && !given_up(); ++i) {
    Read[i] = false;
    if (away || !Devices[i]) continue;
    thread_stop_point();
    unsigned celsius = 0;
    const nvmlReturn_t status =
        call(NvmlDeviceTemperature, out(Devices[i]), NVML_TEMPERATURE_GPU, out(&celsius));
    ++asked;
    if (driver_gone(status)) ++gone;
    Read[i] = status == NVML_SUCCESS && celsius <= HighestReading;
    Celsius[i] = static_cast<int32_t>(celsius);
    if (Read[i]) recovery_reading_came(Recovery);
  }
  if (asked == 0 || gone < asked || given_up()) return;
  end_session();
  recovery_driver_away(Recovery);
}

void end_rows() {
  if (RowsEnded) return;
  RowsEnded = true;
  for (int32_t i = 0; i < RowCount; ++i) row_end_reading(FirstRow + i);
}

}  // namespace

// The function is in the text only: "00000000:41:00.0".
GpuPlace nvml_place_of(const nvmlPciInfo_t& pci) {
  const char* end = pci.busId + sizeof(pci.busId);
  const char* at = static_cast<const char*>(std::memchr(pci.busId, '.', sizeof(pci.busId)));
  uint32_t function = 0;
  for (at = at ? at + 1 : end; at < end; ++at) {
    const char c = static_cast<char>(*at | 0x20);
    if (c >= '0' && c <= '9') function = function * 16 + static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') function = function * 16 + static_cast<uint32_t>(c - 'a' + 10);
    else break;
  }
  return GpuPlace{true, pci.bus, pci.device, function, nullptr, 0, nullptr, 0};
}

bool nvml_may_have_compute_gpu(const PciLocation* known, int32_t known_count) {
  PciLocation devices[MostGpus];
  const int32_t listed = nvidia_devices_list(devices, MostGpus);
  for (int32_t i = 0; i < listed; ++i)
    if (!known_at(devices[i].bus, devices[i].device, known, known_count)) return true;
  return false;
}

bool nvml_place_unknown(const GpuPlace& place, const PciLocation* known, int32_t known_count) {
  return place.located && !known_at(place.bus, place.device, known, known_count);
}

bool nvml_compute_model(nvmlDriverModel_t current) {
  return current == NVML_DRIVER_WDM || current == NVML_DRIVER_MCDM;
}

int32_t nvml_rows_find(const PciLocation* known, int32_t known_count, int32_t first_row) {
  RowCount = 0;
  FirstRow = first_row;
  RowsEnded = false;
  Recovery = RecoverySchedule{};
  InterlockedExchange(&GivenUp, 0);
  if (!nvml_may_have_compute_gpu(known, known_count) || !open_library()) return 0;
  list(Found);
  for (int32_t f = 0; f < Found.count && RowCount < MostRows && !given_up(); ++f) {
    const GpuPlace& place = Found.places[f];
    if (nvml_place_unknown(place, known, known_count) && compute_only(Found.devices[f]))
      keep_row(Found.devices[f], place);
  }
  if (RowCount == 0) {
    nvml_rows_end();
    return 0;
  }
  watch_enable();
  return RowCount;
}

int32_t nvml_rows_count() { return RowCount; }

void nvml_rows_append_name(int32_t index) {
  const char* name = Names[index];
  text_from_8bit(name, static_cast<int64_t>(strnlen(name, NvmlNameSize)), TEXT_8BIT);
}

void nvml_rows_read() {
  if (RowCount == 0 || RowsEnded) return;
  if (!given_up()) {
    watch_enter(WatchedNvml);
    read_calls();
    watch_leave();
  }
  if (given_up()) return end_rows();
  for (int32_t i = 0; i < RowCount; ++i) {
    if (Read[i]) row_show_reading(FirstRow + i, Celsius[i]);
    else row_found_no_reading(FirstRow + i);
  }
}

bool nvml_rows_reading() { return RowCount > 0 && !RowsEnded && !given_up(); }

void nvml_rows_give_up() {
  InterlockedExchange(&GivenUp, 1);
  module_give_up(Module);
}

// A library that faulted or hung is only forgotten, never freed.
void nvml_rows_end() {
  end_session();
  if (Module) library_close(NvmlLibrary);
  Module = nullptr;
}
