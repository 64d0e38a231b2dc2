#include "backends/nvidia/nvidia.h"

#include <cstring>

#include "app/program.h"
#include "app/recovery.h"
#include "app/rows.h"
#include "backends/nvidia/nvapi.h"

namespace {

constexpr int32_t NameBufferSpaces = NVAPI_SHORT_STRING_MAX;

// A GPU's name as the driver wrote it into the space-filled buffer, and where the GPU sits.
struct GpuIdentity {
  char name[NVAPI_SHORT_STRING_MAX];
  GpuPlace place;
};

// What each row's GPU was when the readings began: how to find it again after the driver
// restarted and handed out new handles, in another order.
GpuIdentity RowGpus[NVAPI_MAX_PHYSICAL_GPUS];

// The GPUs the driver lists now, during a recovery; the worker's. One handle more than NVAPI's
// limit, as in the set-up's table.
struct Listing {
  NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS + 1];
  NvU32 count;
  char names[NVAPI_MAX_PHYSICAL_GPUS][NVAPI_SHORT_STRING_MAX];
  GpuPlace places[NVAPI_MAX_PHYSICAL_GPUS];
};
Listing NewListing;

// Null while the row's GPU is missing after the driver listed its GPUs anew.
NvPhysicalGpuHandle gpu(int32_t index) {
  return static_cast<NvPhysicalGpuHandle>(State.GpuHandleTable[index]);
}

GpuPlace unlocated(const char* name) {
  return GpuPlace{false, 0, 0, 0, name, NVAPI_SHORT_STRING_MAX, nullptr, 0};
}

// The PCI location NVAPI gives for a GPU (its function is always 0): two calls.
void locate(NvPhysicalGpuHandle handle, GpuPlace& place) {
  NvU32 bus = 0;
  NvU32 slot = 0;
  if (NvAPI_GPU_GetBusId(handle, &bus) == NVAPI_OK &&
      NvAPI_GPU_GetBusSlotId(handle, &slot) == NVAPI_OK) {
    place.located = true;
    place.bus = bus;
    place.device = slot;
  }
}

// The driver fills the space-filled scratch text with an 8-bit name. The name is copied out
// before conversion, because converting appends to the area, which may move it, and it is read
// no further than the driver's 64 bytes, terminated or not.
void read_name(int32_t index, size_t scratch) {
  text_set_position(scratch);
  text_space(NameBufferSpaces);
  char* buffer = reinterpret_cast<char*>(text_at(scratch));
  NvAPI_GPU_GetFullName(gpu(index), buffer);
  char name[NVAPI_SHORT_STRING_MAX + 1] = {};
  std::memcpy(name, buffer, NVAPI_SHORT_STRING_MAX);
  if (index < NVAPI_MAX_PHYSICAL_GPUS)
    std::memcpy(RowGpus[index].name, buffer, NVAPI_SHORT_STRING_MAX);
  const size_t name_start = text_position();
  text_from_8bit(name, -1, TEXT_8BIT);
  text_assign(&State.GpuNameTable[index], name_start);
}

// NVAPI knows at most 64 physical GPUs; a larger or negative count is not trusted.
void clamp_gpu_count() {
  if (State.GpuCount > NVAPI_MAX_PHYSICAL_GPUS) State.GpuCount = NVAPI_MAX_PHYSICAL_GPUS;
  if (State.GpuCount < 0) State.GpuCount = 0;
}

void prepare(NV_GPU_THERMAL_SETTINGS& settings) {
  settings.version = NV_GPU_THERMAL_SETTINGS_VER_1;
  settings.count = 0;
  settings.sensor[0].controller = -1;
  settings.sensor[0].target = 1;
}

// Each row's PCI location, once per GPU for the whole run: it finds the row's GPU again should
// the driver restart, and its device, where the Plug and Play layer lists display devices.
void locate_gpus() {
  const bool watching = rows_watch(State.GpuCount);
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    GpuPlace& place = RowGpus[i].place;
    place = unlocated(RowGpus[i].name);
    locate(gpu(i), place);
    if (watching && place.located) row_locate(i, place.bus, place.device, 0);
  }
}

// Answers that mean the driver, or the handles it gave out, went away (an update, a reset after
// a hang, a re-configuration), not that this reading failed.
bool driver_went_away(NvAPI_Status status) {
  switch (status) {
    case NVAPI_API_NOT_INITIALIZED:
    case NVAPI_NVIDIA_DEVICE_NOT_FOUND:
    case NVAPI_INVALID_HANDLE:
    case NVAPI_HANDLE_INVALIDATED:
    case NVAPI_EXPECTED_PHYSICAL_GPU_HANDLE:
    case NVAPI_DRIVER_NOTRUNNING:
    case NVAPI_ERROR_DRIVER_RELOAD_IN_PROGRESS:
      return true;
    default:
      return false;
  }
}

bool list_gpus(Listing& listing) {
  listing.count = 0;
  const NvAPI_Status status = NvAPI_EnumPhysicalGPUs(listing.handles, &listing.count);
  if (listing.count > NVAPI_MAX_PHYSICAL_GPUS) listing.count = NVAPI_MAX_PHYSICAL_GPUS;
  return status == NVAPI_OK && listing.count > 0;
}

// The name the way set-up read it: a failed call leaves the same spaces, read as " ".
void read_name_into(NvPhysicalGpuHandle handle, char (&name)[NVAPI_SHORT_STRING_MAX]) {
  for (size_t i = 0; i < sizeof(name); ++i) name[i] = i % 2 == 0 ? ' ' : '\0';
  NvAPI_GPU_GetFullName(handle, name);
}

bool every_row_located() {
  for (int32_t i = 0; i < State.GpuCount; ++i)
    if (!RowGpus[i].place.located) return false;
  return true;
}

// Gives every row the handle of its GPU in the new listing, or none; answers how many found none.
// Names are asked for only when a row can be found by nothing else.
int32_t bind_rows(Listing& listing) {
  const bool names_needed = !every_row_located();
  const auto found = static_cast<int32_t>(listing.count);
  for (int32_t f = 0; f < found; ++f) {
    char(&name)[NVAPI_SHORT_STRING_MAX] = listing.names[f];
    std::memset(name, 0, sizeof(name));
    if (names_needed) read_name_into(listing.handles[f], name);
    listing.places[f] = unlocated(name);
    locate(listing.handles[f], listing.places[f]);
  }
  GpuPlace rows[NVAPI_MAX_PHYSICAL_GPUS];
  for (int32_t i = 0; i < State.GpuCount; ++i) rows[i] = RowGpus[i].place;
  int32_t match[NVAPI_MAX_PHYSICAL_GPUS];
  recovery_match_rows(rows, State.GpuCount, listing.places, found, match);
  int32_t missing = 0;
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    State.GpuHandleTable[i] = match[i] >= 0 ? listing.handles[match[i]] : nullptr;
    if (match[i] < 0) ++missing;
  }
  return missing;
}

// New handles first; where the driver lists none, NVAPI itself is unloaded and initialised
// again, which loads the driver library anew from the system folder.
void reinitialise() {
  if (!list_gpus(NewListing)) {
    if (nvapi_given_up()) return;
    NvAPI_Unload();
    if (nvapi_given_up() || NvAPI_Initialize() != NVAPI_OK || !list_gpus(NewListing)) return;
  }
  recovery_rows_bound(bind_rows(NewListing));
}

void take_recovery_step() {
  const RecoveryStep step = recovery_pass_begins();
  if (step == RecoveryStep::Reinitialise) reinitialise();
  else if (step == RecoveryStep::LookForMissing && list_gpus(NewListing))
    recovery_rows_bound(bind_rows(NewListing));
}

enum class Outcome { Read, PoweredDown, NoReading, Failed };

Outcome read_gpu(int32_t i, NV_GPU_THERMAL_SETTINGS& settings) {
  prepare(settings);
  const NvAPI_Status status = NvAPI_GPU_GetThermalSettings(gpu(i), 0, &settings);
  if (status == NVAPI_OK) return Outcome::Read;
  // A GPU asleep is a normal state, not a failure that ends every reading.
  if (status == NVAPI_GPU_NOT_POWERED) return Outcome::PoweredDown;
  if (!driver_went_away(status)) return Outcome::Failed;
  // The rest of the pass goes on: a GPU that was only re-configured leaves the others readable.
  recovery_driver_away();
  return Outcome::NoReading;
}

// One pass over the rows; false once the readings end for good: after the driver faulted, or a
// thermal read failed for another reason than those above (then with a box).
bool read_gpus(NV_GPU_THERMAL_SETTINGS& settings) {
  // While the driver is away, nothing is asked of its old session.
  const bool away = recovery_driver_is_away();
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    // Not even the thermal call for a powered-down GPU: it would wake it.
    if (row_asleep(i)) continue;
    if (away || !gpu(i)) {
      row_found_no_reading(i);
      continue;
    }
    const Outcome outcome = read_gpu(i, settings);
    // A driver that faulted is never called again; there is nothing to tell the user but that.
    if (nvapi_given_up()) return false;
    if (outcome == Outcome::Failed) {
      message_box(L"error", L"Unable to get thermal settings");
      return false;
    }
    if (outcome == Outcome::PoweredDown) row_found_powered_down(i);
    else if (outcome == Outcome::NoReading) row_found_no_reading(i);
    else {
      row_show_reading(i, settings.sensor[0].currentTemp);
      recovery_reading_came();
    }
  }
  return true;
}

}  // namespace

bool nvidia_setup() {
  if (NvAPI_Initialize() != NVAPI_OK) {
    message_box(L"error", L"Unable to Initialize NVAPI.");
    return false;
  }
  const NvAPI_Status status = NvAPI_EnumPhysicalGPUs(
      reinterpret_cast<NvPhysicalGpuHandle*>(State.GpuHandleTable),
      reinterpret_cast<NvU32*>(&State.GpuCount));
  clamp_gpu_count();
  if (status != NVAPI_OK) {
    message_box(L"error", L"Unable to take number of physical gpus.");
    return false;
  }
  const size_t scratch = text_position();
  for (int32_t i = 0; i < State.GpuCount; ++i) read_name(i, scratch);
  State.DisplayedGpuCount = State.GpuCount;
  text_set_position(scratch);
  return true;
}

DWORD WINAPI nvidia_reading_cycle(void*) {
  NV_GPU_THERMAL_SETTINGS settings{};
  locate_gpus();
  for (;;) {
    take_recovery_step();
    if (nvapi_given_up() || !read_gpus(settings)) break;
    rows_pass_ended();
    delay_ms(1000);
  }
  // Nothing reads these rows again: their last numbers would pass for readings of now.
  rows_end_readings();
  return 0;
}
