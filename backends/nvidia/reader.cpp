#include "backends/nvidia/reader.h"

#include <cstring>

namespace {

// The GPUs the driver lists now, during a recovery. One handle more than NVAPI's limit, as in
// the set-up's table.
struct Listing {
  NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS + 1];
  NvU32 count;
  char names[NVAPI_MAX_PHYSICAL_GPUS][NVAPI_SHORT_STRING_MAX];
  GpuPlace places[NVAPI_MAX_PHYSICAL_GPUS];
};

Listing NewListing;
RecoverySchedule Recovery;

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

bool every_row_located(const GpuPlace* rows, int32_t count) {
  for (int32_t i = 0; i < count; ++i)
    if (!rows[i].located) return false;
  return true;
}

// Gives every row the handle of its GPU in the listing, or none; answers how many found none.
// Names are asked for only when a row can be found by nothing else.
int32_t bind_rows(Listing& listing, const GpuPlace* rows, int32_t count,
                  NvPhysicalGpuHandle* handles) {
  const bool names_needed = !every_row_located(rows, count);
  const auto found = static_cast<int32_t>(listing.count);
  for (int32_t f = 0; f < found; ++f) {
    char(&name)[NVAPI_SHORT_STRING_MAX] = listing.names[f];
    std::memset(name, 0, sizeof(name));
    if (names_needed) read_name_into(listing.handles[f], name);
    listing.places[f] = GpuPlace{false, 0, 0, 0, name, NVAPI_SHORT_STRING_MAX, nullptr, 0};
    nvidia_locate(listing.handles[f], listing.places[f]);
  }
  int32_t match[NVAPI_MAX_PHYSICAL_GPUS];
  recovery_match_rows(rows, count, listing.places, found, match);
  int32_t missing = 0;
  for (int32_t i = 0; i < count; ++i) {
    handles[i] = match[i] >= 0 ? listing.handles[match[i]] : nullptr;
    if (match[i] < 0) ++missing;
  }
  return missing;
}

// New handles first; where the driver lists none, NVAPI itself is unloaded and initialised
// again, which loads the driver library anew from the system folder.
void reinitialise(const GpuPlace* rows, int32_t count, NvPhysicalGpuHandle* handles) {
  if (!list_gpus(NewListing)) {
    if (nvapi_given_up()) return;
    NvAPI_Unload();
    if (nvapi_given_up() || NvAPI_Initialize() != NVAPI_OK || !list_gpus(NewListing)) return;
  }
  recovery_rows_bound(Recovery, bind_rows(NewListing, rows, count, handles));
}

void prepare(NV_GPU_THERMAL_SETTINGS& settings) {
  settings.version = NV_GPU_THERMAL_SETTINGS_VER_1;
  settings.count = 0;
  settings.sensor[0].controller = -1;
  settings.sensor[0].target = 1;
}

}  // namespace

void nvidia_locate(NvPhysicalGpuHandle gpu, GpuPlace& place) {
  NvU32 bus = 0;
  NvU32 slot = 0;
  if (NvAPI_GPU_GetBusId(gpu, &bus) == NVAPI_OK && NvAPI_GPU_GetBusSlotId(gpu, &slot) == NVAPI_OK) {
    place.located = true;
    place.bus = bus;
    place.device = slot;
  }
}

bool nvidia_open_for(const GpuPlace* rows, int32_t count, NvPhysicalGpuHandle* handles) {
  for (int32_t i = 0; i < count; ++i) handles[i] = nullptr;
  if (NvAPI_Initialize() != NVAPI_OK) return false;
  // A listing that fails leaves every row missing: it is asked again every ten passes.
  const int32_t missing =
      list_gpus(NewListing) ? bind_rows(NewListing, rows, count, handles) : count;
  recovery_rows_bound(Recovery, missing);
  return true;
}

void nvidia_pass_begins(const GpuPlace* rows, int32_t count, NvPhysicalGpuHandle* handles) {
  const RecoveryStep step = recovery_pass_begins(Recovery);
  if (step == RecoveryStep::Reinitialise) reinitialise(rows, count, handles);
  else if (step == RecoveryStep::LookForMissing && list_gpus(NewListing))
    recovery_rows_bound(Recovery, bind_rows(NewListing, rows, count, handles));
}

bool nvidia_driver_away() { return recovery_driver_is_away(Recovery); }

NvidiaReading nvidia_read(NvPhysicalGpuHandle gpu, NV_GPU_THERMAL_SETTINGS& settings,
                          int32_t& celsius) {
  prepare(settings);
  const NvAPI_Status status = NvAPI_GPU_GetThermalSettings(gpu, 0, &settings);
  if (status == NVAPI_OK) {
    celsius = settings.sensor[0].currentTemp;
    recovery_reading_came(Recovery);
    return NvidiaReading::Read;
  }
  // A GPU asleep is a normal state, not a failure.
  if (status == NVAPI_GPU_NOT_POWERED) return NvidiaReading::PoweredDown;
  if (!driver_went_away(status)) return NvidiaReading::Failed;
  recovery_driver_away(Recovery);
  return NvidiaReading::NoReading;
}
