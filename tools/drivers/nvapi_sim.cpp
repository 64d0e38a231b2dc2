// Simulated NVIDIA driver library: its one export nvapi_QueryInterface hands out the NVAPI
// functions the monitor uses, answered from the scenario the way the driver answers them. Built
// as nvapi64.dll and nvapi.dll, and as a variant that does not export it (the build lists the
// exports in a .def file).
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "tools/drivers/simdrv.h"

namespace {

constexpr int32_t NVAPI_OK = 0;
constexpr int32_t NVAPI_API_NOT_INITIALIZED = -4;
constexpr int32_t NVAPI_INVALID_ARGUMENT = -5;
constexpr int32_t NVAPI_NVIDIA_DEVICE_NOT_FOUND = -6;
constexpr int32_t NVAPI_INCOMPATIBLE_STRUCT_VERSION = -9;
constexpr int32_t NVAPI_HANDLE_INVALIDATED = -10;
constexpr int32_t NVAPI_EXPECTED_PHYSICAL_GPU_HANDLE = -101;
constexpr int32_t NVAPI_DRIVER_NOTRUNNING = -156;
constexpr int32_t NVAPI_ERROR_DRIVER_RELOAD_IN_PROGRESS = -221;

constexpr uint32_t NVAPI_MAX_PHYSICAL_GPUS = 64;
constexpr size_t NVAPI_SHORT_STRING_MAX = 64;
constexpr uint32_t NVAPI_THERMAL_TARGET_ALL = 15;
constexpr int32_t NVAPI_THERMAL_CONTROLLER_GPU_INTERNAL = 1;
constexpr int32_t NVAPI_THERMAL_TARGET_GPU = 1;

struct NvThermalSensor {
  int32_t controller;
  uint32_t defaultMinTemp;
  uint32_t defaultMaxTemp;
  int32_t currentTemp;
  int32_t target;
};
struct NvGpuThermalSettings {
  uint32_t version;
  uint32_t count;
  NvThermalSensor sensor[3];
};
static_assert(sizeof(NvGpuThermalSettings) == 68);
static_assert(offsetof(NvGpuThermalSettings, sensor) == 8);

// Versions 1 and 2 share the 68-byte layout; version 2 only reads the limits as signed.
constexpr uint32_t THERMAL_SETTINGS_VER_1 = 68u | (1u << 16);
constexpr uint32_t THERMAL_SETTINGS_VER_2 = 68u | (2u << 16);

bool DriverInitialised = false;  // guarded by the simulation lock
uintptr_t HookContext = 0;       // what the pre-call hook hands the post-call hook, per call

bool refused() { return sim_scenario().init_check && !DriverInitialised; }

int32_t restart_status() { return sim_restart_status(NVAPI_HANDLE_INVALIDATED); }

// A restart answered with one of these statuses loses the whole session, not the handles alone:
// nothing works again before NvAPI_Initialize does.
bool session_lost() {
  const int32_t status = restart_status();
  return sim_session_lost() && (status == NVAPI_API_NOT_INITIALIZED ||
                                status == NVAPI_DRIVER_NOTRUNNING ||
                                status == NVAPI_ERROR_DRIVER_RELOAD_IN_PROGRESS);
}

// Handles are opaque to the caller; these are recognisable in the log and checkable here, and
// tell the driver's generation (0 before a restart).
void* handle_of(size_t position, int generation) {
  return reinterpret_cast<void*>(
      static_cast<uintptr_t>(0x10DE0000u + 0x1000u * generation + (position + 1) * 0x10u));
}

struct GpuHandle {
  int position = -1;  // -1: no handle this driver gave out
  int generation = 0;
};

GpuHandle gpu_of(const void* handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  for (int generation = 0; generation <= sim_generation(); ++generation) {
    const uintptr_t base = 0x10DE0000u + 0x1000u * generation;
    if (value <= base || (value - base) % 0x10u != 0) continue;
    const uintptr_t position = (value - base) / 0x10u - 1;
    if (position < sim_scenario().gpus.size() && !(generation > 0 && sim_dropped(position)))
      return {static_cast<int>(position), generation};
  }
  return {};
}

// The GPU position a handle stands for, whatever its generation, or -1.
int position_of(const void* handle) { return gpu_of(handle).position; }

int position_unlocked(const void* handle) {
  sim_lock();
  const int position = position_of(handle);
  sim_unlock();
  return position;
}

// The checks of a call about one GPU, in the driver's order; `position` receives the GPU's.
int32_t check_gpu(const void* handle, int* position) {
  if (session_lost()) return restart_status();
  if (refused()) return NVAPI_API_NOT_INITIALIZED;
  const GpuHandle gpu = gpu_of(handle);
  if (gpu.position < 0) return NVAPI_EXPECTED_PHYSICAL_GPU_HANDLE;
  if (gpu.generation < sim_generation()) return restart_status();
  *position = gpu.position;
  return NVAPI_OK;
}

int32_t Initialize() {
  sim_lock();
  sim_reload();
  sim_unlock();
  char args[8] = "";
  return sim_answer("NvAPI_Initialize", -1, args, sizeof(args), [](char*, size_t) {
    DriverInitialised = !sim_away();
    if (!DriverInitialised) return NVAPI_NVIDIA_DEVICE_NOT_FOUND;
    sim_open_session();
    return NVAPI_OK;
  });
}

int32_t Unload() {
  char args[8] = "";
  return sim_answer("NvAPI_Unload", -1, args, sizeof(args), [](char*, size_t) {
    if (!DriverInitialised) return NVAPI_API_NOT_INITIALIZED;
    DriverInitialised = false;
    return NVAPI_OK;
  });
}

int32_t EnumPhysicalGPUs(void** handles, uint32_t* count) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(handles), sim_address(count));
  return sim_answer("NvAPI_EnumPhysicalGPUs", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (session_lost()) return restart_status();
                      if (refused()) return NVAPI_API_NOT_INITIALIZED;
                      if (sim_away()) return NVAPI_NVIDIA_DEVICE_NOT_FOUND;
                      if (!handles || !count) return NVAPI_INVALID_ARGUMENT;
                      const SimScenario& scenario = sim_scenario();
                      const int generation = sim_generation();
                      const std::vector<size_t> order = sim_listed(scenario.gpus.size());
                      const long long reported = sim_reported(scenario.gpus);
                      long long written = reported < 0 ? 0 : reported;
                      if (written > NVAPI_MAX_PHYSICAL_GPUS) written = NVAPI_MAX_PHYSICAL_GPUS;
                      if (scenario.handles >= 0 && generation == 0) written = scenario.handles;
                      for (size_t i = 0; i < static_cast<size_t>(written); ++i)
                        handles[i] = handle_of(i < order.size() ? order[i] : i, generation);
                      *count = static_cast<uint32_t>(reported);
                      sim_append(details, size, " out=%u handles=%lld", *count, written);
                      return NVAPI_OK;
                    });
}

int32_t GetFullName(void* handle, char* name) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(handle), sim_address(name));
  return sim_answer("NvAPI_GPU_GetFullName", position_unlocked(handle), args, sizeof(args),
                    [&](char* details, size_t size) {
                      int position = 0;
                      const int32_t checked = check_gpu(handle, &position);
                      if (checked != NVAPI_OK) return checked;
                      if (!name) return NVAPI_INVALID_ARGUMENT;
                      const SimDevice& gpu = sim_scenario().gpus[position];
                      sim_fill_text(name, NVAPI_SHORT_STRING_MAX, gpu.name, gpu.name_noterm);
                      sim_append(details, size, " out=%zu",
                                 strnlen(name, NVAPI_SHORT_STRING_MAX));
                      return NVAPI_OK;
                    });
}

int32_t GetThermalSettings(void* handle, uint32_t sensor_index, NvGpuThermalSettings* settings) {
  char args[256];
  snprintf(args, sizeof(args), "0x%llX,%u,0x%llX", sim_address(handle), sensor_index,
           sim_address(settings));
  if (settings)
    sim_append(args, sizeof(args), " version=0x%08X sensors=%u controller=%d target=%d",
               settings->version, settings->count, settings->sensor[0].controller,
               settings->sensor[0].target);
  sim_count_reading();
  return sim_answer(
      "NvAPI_GPU_GetThermalSettings", position_unlocked(handle), args, sizeof(args),
      [&](char* details, size_t size) {
        int position = 0;
        const int32_t checked = check_gpu(handle, &position);
        if (checked != NVAPI_OK) return checked;
        if (!settings) return NVAPI_INVALID_ARGUMENT;
        if (settings->version != THERMAL_SETTINGS_VER_1 &&
            settings->version != THERMAL_SETTINGS_VER_2)
          return NVAPI_INCOMPATIBLE_STRUCT_VERSION;
        // The simulated GPU has one sensor, its internal one.
        if (sensor_index != 0 && sensor_index != NVAPI_THERMAL_TARGET_ALL)
          return NVAPI_INVALID_ARGUMENT;
        NvThermalSensor& sensor = settings->sensor[0];
        settings->count = 1;
        sensor.controller = NVAPI_THERMAL_CONTROLLER_GPU_INTERNAL;
        sensor.defaultMinTemp = 0;
        sensor.defaultMaxTemp = 127;
        sensor.currentTemp = sim_next_temperature(sim_scenario().gpus[position].temps, false);
        sensor.target = NVAPI_THERMAL_TARGET_GPU;
        sim_append(details, size, " out=%d", sensor.currentTemp);
        return NVAPI_OK;
      });
}

// The PCI location of a GPU: its bus, and its slot, which is the device number.
int32_t answer_location(const char* function, void* handle, uint32_t* out, int SimDevice::*field) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(handle), sim_address(out));
  return sim_answer(function, position_unlocked(handle), args, sizeof(args),
                    [&](char* details, size_t size) {
                      int position = 0;
                      const int32_t checked = check_gpu(handle, &position);
                      if (checked != NVAPI_OK) return checked;
                      if (!out) return NVAPI_INVALID_ARGUMENT;
                      *out = static_cast<uint32_t>(sim_scenario().gpus[position].*field);
                      sim_append(details, size, " out=%u", *out);
                      return NVAPI_OK;
                    });
}

int32_t GetBusId(void* handle, uint32_t* bus) {
  return answer_location("NvAPI_GPU_GetBusId", handle, bus, &SimDevice::bus);
}

int32_t GetBusSlotId(void* handle, uint32_t* slot) {
  return answer_location("NvAPI_GPU_GetBusSlotId", handle, slot, &SimDevice::device);
}

// The driver's version in hundredths (566.14 is 56614) and its branch, from the scenario's `driver`.
int32_t GetDriverAndBranchVersion(uint32_t* version, char* branch) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(version), sim_address(branch));
  return sim_answer("NvAPI_SYS_GetDriverAndBranchVersion", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (refused()) return NVAPI_API_NOT_INITIALIZED;
                      if (!version || !branch) return NVAPI_INVALID_ARGUMENT;
                      const std::vector<uint32_t> parts = sim_version_parts(sim_scenario().driver);
                      *version = (parts.empty() ? 0 : parts[0] * 100) + (parts.size() > 1 ? parts[1] : 0);
                      snprintf(branch, 64, "r%u_00", parts.empty() ? 0 : parts[0]);
                      sim_append(details, size, " out=%u", *version);
                      return NVAPI_OK;
                    });
}

// The pre-call hook leaves a fresh context value that the post-call hook must get back.
int32_t PreCallHook(uint32_t id, void** context) {
  char args[160];
  snprintf(args, sizeof(args), "0x%08X,0x%llX", id, sim_address(context));
  if (context) sim_append(args, sizeof(args), " context=0x%llX", sim_address(*context));
  return sim_answer("PreCallHook", -1, args, sizeof(args), [&](char* details, size_t size) {
    if (!context) return NVAPI_INVALID_ARGUMENT;
    *context = reinterpret_cast<void*>(0xC0DE0000u + (++HookContext & 0xFFFFu));
    sim_append(details, size, " out=0x%llX", sim_address(*context));
    return NVAPI_OK;
  });
}

int32_t PostCallHook(uint32_t id, void* context, int32_t status) {
  char args[160];
  snprintf(args, sizeof(args), "0x%08X,0x%llX,%d", id, sim_address(context), status);
  return sim_answer("PostCallHook", -1, args, sizeof(args), [](char*, size_t) { return NVAPI_OK; });
}

struct NvFunction {
  uint32_t id;
  const char* name;
  void* address;
};

template <typename Function>
void* address_of(Function* function) noexcept {
  return reinterpret_cast<void*>(function);
}

const NvFunction Functions[] = {
    {0x0150E828u, "NvAPI_Initialize", address_of(&Initialize)},
    {0xD22BDD7Eu, "NvAPI_Unload", address_of(&Unload)},
    {0xE5AC921Fu, "NvAPI_EnumPhysicalGPUs", address_of(&EnumPhysicalGPUs)},
    {0xCEEE8E9Fu, "NvAPI_GPU_GetFullName", address_of(&GetFullName)},
    {0xE3640A56u, "NvAPI_GPU_GetThermalSettings", address_of(&GetThermalSettings)},
    {0x1BE0B8E5u, "NvAPI_GPU_GetBusId", address_of(&GetBusId)},
    {0x2A0A350Fu, "NvAPI_GPU_GetBusSlotId", address_of(&GetBusSlotId)},
    {0x2926AAADu, "NvAPI_SYS_GetDriverAndBranchVersion", address_of(&GetDriverAndBranchVersion)},
    {0x33C7358Cu, "PreCallHook", address_of(&PreCallHook)},
    {0x593E8644u, "PostCallHook", address_of(&PostCallHook)},
};

// What the driver answers for `id`: null for an unknown id, a missing function, or a hook the
// scenario leaves out. Caller holds the lock.
bool offered(const NvFunction& function) {
  const SimScenario& scenario = sim_scenario();
  if (sim_missing(function.name)) return false;
  if (function.id == 0x33C7358Cu) return scenario.hook_pre;
  if (function.id == 0x593E8644u) return scenario.hook_post;
  // Only a scenario that names the driver's version offers the call that tells it.
  if (function.id == 0x2926AAADu) return !scenario.driver.empty();
  return true;
}

}  // namespace

extern "C" void* nvapi_QueryInterface(unsigned int id) {
  sim_lock();
  // Asking for the initialise function starts a session: a changed scenario applies from here.
  if (id == 0x0150E828u) sim_reload();
  void* address = nullptr;
  for (const NvFunction& function : Functions)
    if (function.id == id && offered(function)) address = function.address;
  sim_unlock();
  char args[32];
  snprintf(args, sizeof(args), "0x%08X", id);
  char status[32];
  snprintf(status, sizeof(status), "0x%llX", sim_address(address));
  sim_log_call("nvapi_QueryInterface", args, status);
  return address;
}
