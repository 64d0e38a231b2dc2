#include "backends/nvidia/nvidia.h"

#include <cstring>

#include "app/program.h"
#include "app/rows.h"
#include "backends/nvidia/nvapi.h"

namespace {

constexpr int32_t NameBufferSpaces = NVAPI_SHORT_STRING_MAX;

NvPhysicalGpuHandle gpu(int32_t index) {
  return static_cast<NvPhysicalGpuHandle>(State.GpuHandleTable[index]);
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

// Each GPU's device, found by the PCI location NVAPI gives for it (its function is always 0).
// The bus calls are made only where a device could be found, once per GPU for the whole run.
void locate_gpus() {
  if (!rows_watch(State.GpuCount)) return;
  for (int32_t i = 0; i < State.GpuCount; ++i) {
    NvU32 bus = 0;
    NvU32 slot = 0;
    if (NvAPI_GPU_GetBusId(gpu(i), &bus) == NVAPI_OK &&
        NvAPI_GPU_GetBusSlotId(gpu(i), &slot) == NVAPI_OK)
      row_locate(i, bus, slot, 0);
  }
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
    for (int32_t i = 0; i < State.GpuCount; ++i) {
      // Not even the thermal call for a powered-down GPU: it would wake it.
      if (row_asleep(i)) continue;
      prepare(settings);
      const NvAPI_Status status = NvAPI_GPU_GetThermalSettings(gpu(i), 0, &settings);
      // A driver that faulted is never called again; there is nothing to tell the user but that.
      if (nvapi_given_up()) {
        rows_end_readings();
        return 0;
      }
      // A GPU asleep is a normal state, not a failure that ends every reading.
      if (status == NVAPI_GPU_NOT_POWERED) {
        row_found_powered_down(i);
        continue;
      }
      if (status != NVAPI_OK) {
        message_box(L"error", L"Unable to get thermal settings");
        // Nothing reads these rows again: their last numbers would pass for readings of now.
        rows_end_readings();
        return 0;
      }
      row_show_reading(i, settings.sensor[0].currentTemp);
    }
    rows_pass_ended();
    delay_ms(1000);
  }
}
