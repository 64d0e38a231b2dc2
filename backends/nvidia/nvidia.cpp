#include "backends/nvidia/nvidia.h"

#include <cstring>

#include "app/program.h"
#include "app/recovery.h"
#include "app/rows.h"
#include "backends/amd/worker_watch.h"
#include "backends/nvidia/nvapi.h"
#include "backends/nvidia/nvml_rows.h"
#include "backends/nvidia/reader.h"

namespace {

constexpr int32_t NameBufferSpaces = NVAPI_SHORT_STRING_MAX;

// A GPU's name as the driver wrote it into the space-filled buffer.
char RowNames[NVAPI_MAX_PHYSICAL_GPUS][NVAPI_SHORT_STRING_MAX];
// What each row's GPU was when the readings began: how to find it again after the driver
// restarted and handed out new handles, in another order.
GpuPlace RowPlaces[NVAPI_MAX_PHYSICAL_GPUS];
// The worker's, from the start of its cycle; a worker that takes the cycle over from one stuck in
// NVML goes on with them.
bool CycleBegun;
NV_GPU_THERMAL_SETTINGS Settings;

// Null while the row's GPU is missing after the driver listed its GPUs anew.
NvPhysicalGpuHandle gpu(int32_t index) {
  return static_cast<NvPhysicalGpuHandle>(State.GpuHandleTable[index]);
}

NvPhysicalGpuHandle* handles() {
  return reinterpret_cast<NvPhysicalGpuHandle*>(State.GpuHandleTable);
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
  if (index < NVAPI_MAX_PHYSICAL_GPUS) std::memcpy(RowNames[index], buffer, NVAPI_SHORT_STRING_MAX);
  const size_t name_start = text_position();
  text_from_8bit(name, -1, TEXT_8BIT);
  text_assign(&State.GpuNameTable[index], name_start);
}

// NVAPI knows at most 64 physical GPUs; a larger or negative count is not trusted.
void clamp_gpu_count() {
  if (State.GpuCount > NVAPI_MAX_PHYSICAL_GPUS) State.GpuCount = NVAPI_MAX_PHYSICAL_GPUS;
  if (State.GpuCount < 0) State.GpuCount = 0;
}

// Each row's PCI location, once per GPU for the whole run: it finds the row's GPU again should
// the driver restart, it tells NVML's compute GPUs from NVAPI's, and it finds the row's device,
// where the Plug and Play layer lists display devices.
void locate_gpus() {
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    RowPlaces[i] = GpuPlace{false, 0, 0, 0, RowNames[i], NVAPI_SHORT_STRING_MAX, nullptr, 0};
    nvidia_locate(gpu(i), RowPlaces[i]);
  }
}

// The rows NVML adds after NVAPI's `gpus`: compute GPUs at none of their locations.
int32_t find_nvml_rows(int32_t gpus) {
  PciLocation known[NVAPI_MAX_PHYSICAL_GPUS];
  int32_t count = 0;
  for (int32_t i = 0; i < gpus; ++i)
    if (RowPlaces[i].located) known[count++] = PciLocation{RowPlaces[i].bus, RowPlaces[i].device, 0};
  return nvml_rows_find(known, count, gpus);
}

void begin_cycle() {
  Settings = NV_GPU_THERMAL_SETTINGS{};
  const bool watching = rows_watch(State.GpuCount + nvml_rows_count());
  for (int32_t i = 0; watching && i < State.GpuCount; ++i)
    if (RowPlaces[i].located) row_locate(i, RowPlaces[i].bus, RowPlaces[i].device, 0);
  CycleBegun = true;
}

// One pass over the rows; false once the readings end for good: after the driver faulted, or a
// thermal read failed for another reason than the driver going away (then with a box).
bool read_gpus(NV_GPU_THERMAL_SETTINGS& settings) {
  // While the driver is away, nothing is asked of its old session.
  const bool away = nvidia_driver_away();
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    // Not even the thermal call for a powered-down GPU: it would wake it.
    if (row_asleep(i)) continue;
    if (away || !gpu(i)) {
      row_found_no_reading(i);
      continue;
    }
    int32_t celsius = 0;
    const NvidiaReading reading = nvidia_read(gpu(i), settings, celsius);
    // A driver that faulted is never called again; there is nothing to tell the user but that.
    if (nvapi_given_up()) return false;
    if (reading == NvidiaReading::Failed) {
      message_box(L"error", L"Unable to get thermal settings");
      return false;
    }
    // The rest of the pass goes on: a GPU that was only re-configured leaves the others readable.
    if (reading == NvidiaReading::PoweredDown) row_found_powered_down(i);
    else if (reading == NvidiaReading::NoReading) row_found_no_reading(i);
    else row_show_reading(i, celsius);
  }
  return true;
}

}  // namespace

bool nvidia_setup() {
  watch_reset();
  CycleBegun = false;
  const NvAPI_Status initialised = NvAPI_Initialize();
  NvAPI_Status status = initialised;
  if (status == NVAPI_OK) {
    status = NvAPI_EnumPhysicalGPUs(handles(), reinterpret_cast<NvU32*>(&State.GpuCount));
    clamp_gpu_count();
  }
  if (status == NVAPI_OK) {
    const size_t scratch = text_position();
    for (int32_t i = 0; i < State.GpuCount; ++i) read_name(i, scratch);
    text_set_position(scratch);
    locate_gpus();
  }
  // A machine whose only NVIDIA GPUs are compute cards: NVAPI finds none (its driver refuses to
  // initialise, or lists none), NVML's rows are the window's, and nothing failed.
  const bool none_found = initialised == NVAPI_ERROR || status == NVAPI_NVIDIA_DEVICE_NOT_FOUND;
  const int32_t nvml_rows =
      status == NVAPI_OK || none_found ? find_nvml_rows(none_found ? 0 : State.GpuCount) : 0;
  if (none_found && nvml_rows > 0) State.GpuCount = 0;
  else if (status != NVAPI_OK) {
    message_box(L"error", initialised != NVAPI_OK ? L"Unable to Initialize NVAPI."
                                                  : L"Unable to take number of physical gpus.");
    return false;
  }
  State.DisplayedGpuCount = State.GpuCount + nvml_rows;
  return true;
}

DWORD WINAPI nvidia_reading_cycle(void*) {
  if (!CycleBegun) begin_cycle();
  for (;;) {
    nvidia_pass_begins(RowPlaces, State.GpuCount, handles());
    if (nvapi_given_up() || !read_gpus(Settings)) break;
    nvml_rows_read();
    rows_pass_ended();
    delay_ms(1000);
  }
  // Nothing reads these rows again: their last numbers would pass for readings of now.
  rows_end_readings();
  return 0;
}

bool nvidia_worker_stuck() {
  WatchedLibrary library = WatchedNvml;
  if (!watch_worker_stuck(library)) return false;
  nvml_rows_give_up();
  return true;
}
