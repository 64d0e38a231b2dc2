// The program's own NVAPI entry points: "nvapi64.dll" is loaded at run time and each function is
// resolved once through its one export, nvapi_QueryInterface. Every call into the driver is
// guarded: once one faults, the driver is never called again and never unloaded. Nothing here
// takes a lock: NVAPI is entered from one thread at a time (the main thread during set-up, then
// the reading cycle's worker alone), and initialise and unload never run during a call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "facade/guard.h"

using NvAPI_Status = int32_t;
using NvU32 = uint32_t;
struct NvPhysicalGpuOpaque;
using NvPhysicalGpuHandle = NvPhysicalGpuOpaque*;

constexpr NvAPI_Status NVAPI_OK = 0;
constexpr NvAPI_Status NVAPI_ERROR = -1;
constexpr NvAPI_Status NVAPI_LIBRARY_NOT_FOUND = -2;
constexpr NvAPI_Status NVAPI_NO_IMPLEMENTATION = -3;
constexpr NvAPI_Status NVAPI_API_NOT_INITIALIZED = -4;
constexpr NvAPI_Status NVAPI_NVIDIA_DEVICE_NOT_FOUND = -6;
constexpr NvAPI_Status NVAPI_INVALID_HANDLE = -8;
// The handle is no longer valid, likely after a GPU or display re-configuration: enumerate again.
constexpr NvAPI_Status NVAPI_HANDLE_INVALIDATED = -10;
constexpr NvAPI_Status NVAPI_EXPECTED_PHYSICAL_GPU_HANDLE = -101;
constexpr NvAPI_Status NVAPI_DRIVER_NOTRUNNING = -156;
// The GPU is powered down; the driver did not wake it to answer.
constexpr NvAPI_Status NVAPI_GPU_NOT_POWERED = -220;
constexpr NvAPI_Status NVAPI_ERROR_DRIVER_RELOAD_IN_PROGRESS = -221;

constexpr int NVAPI_MAX_PHYSICAL_GPUS = 64;
constexpr int NVAPI_SHORT_STRING_MAX = 64;
constexpr int NVAPI_MAX_THERMAL_SENSORS_PER_GPU = 3;

constexpr uint32_t NvapiInitializeId = 0x0150E828;
constexpr uint32_t NvapiUnloadId = 0xD22BDD7E;
constexpr uint32_t NvapiPreCallHookId = 0x33C7358C;
constexpr uint32_t NvapiPostCallHookId = 0x593E8644;

// Version 1 of the thermal-settings record, 68 bytes.
struct NV_GPU_THERMAL_SETTINGS {
  NvU32 version;  // size in the low 16 bits, version in the high 16 bits
  NvU32 count;
  struct {
    int32_t controller;
    NvU32 defaultMinTemp;
    NvU32 defaultMaxTemp;
    int32_t currentTemp;
    int32_t target;
  } sensor[NVAPI_MAX_THERMAL_SENSORS_PER_GPU];
};
static_assert(sizeof(NV_GPU_THERMAL_SETTINGS) == 68);
static_assert(offsetof(NV_GPU_THERMAL_SETTINGS, sensor) == 8);
constexpr NvU32 NV_GPU_THERMAL_SETTINGS_VER_1 = sizeof(NV_GPU_THERMAL_SETTINGS) | (1u << 16);

// Loads "nvapi64.dll" (once) and initialises the driver: NVAPI_OK, NVAPI_LIBRARY_NOT_FOUND, or
// NVAPI_ERROR after releasing the library. The thread that calls NVAPI.
NvAPI_Status NvAPI_Initialize();
// Unloads the driver and forgets every resolved entry point: NVAPI_OK,
// NVAPI_API_NOT_INITIALIZED, NVAPI_NO_IMPLEMENTATION or NVAPI_ERROR. The thread that calls NVAPI.
NvAPI_Status NvAPI_Unload();

// ---- cached entry points, built from nvapi_functions.h ----

enum NvapiEntryIndex : size_t {
#define NVAPI_FUNCTION(name, id, parameters) name##_Entry,
#include "backends/nvidia/nvapi_functions.h"
#undef NVAPI_FUNCTION
  NvapiEntryCount
};

// The driver's function for an entry, asked for at most once per load; null when the driver
// has none or NVAPI is not initialised.
void* nvapi_entry_point(NvapiEntryIndex entry);
// The loaded driver library, or 0.
HMODULE nvapi_library();
// True once a call into the driver has faulted, also after it was unloaded and loaded again:
// nothing calls it again. Any thread.
bool nvapi_given_up();
// The driver's hooks around a call; they run only when the driver offers both.
void nvapi_before_call(NvapiEntryIndex entry, void** context);
void nvapi_after_call(NvapiEntryIndex entry, void* context, NvAPI_Status status);

// Forwards a call to the driver's function for `Entry`, between the hooks; the function's
// status, NVAPI_NO_IMPLEMENTATION without calling anything when it is not available, or
// NVAPI_ERROR when the driver has faulted.
template <NvapiEntryIndex Entry, typename... Parameters>
NvAPI_Status nvapi_forward(Parameters... parameters) {
  using Function = NvAPI_Status(__cdecl*)(Parameters...);
  void* const address = nvapi_entry_point(Entry);
  if (!address) return NVAPI_NO_IMPLEMENTATION;
  void* context = nullptr;
  nvapi_before_call(Entry, &context);
  NvAPI_Status status = NVAPI_ERROR;
  guarded_call(nvapi_library(), status, reinterpret_cast<Function>(address), parameters...);
  nvapi_after_call(Entry, context, status);
  return status;
}

template <NvapiEntryIndex Entry, typename... Parameters>
constexpr auto nvapi_stub_for(NvAPI_Status (*)(Parameters...)) {
  return &nvapi_forward<Entry, Parameters...>;
}

// Each stub is a constant function pointer with the NVAPI function's own name and parameters.
#define NVAPI_FUNCTION(name, id, parameters) \
  inline constexpr auto name =               \
      nvapi_stub_for<name##_Entry>(static_cast<NvAPI_Status(*) parameters>(nullptr));
#include "backends/nvidia/nvapi_functions.h"
#undef NVAPI_FUNCTION
