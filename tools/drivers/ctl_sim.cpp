// Simulated Intel control library: the eight ControlLib.dll calls the monitor makes, over the
// devices of the scenario (`intel` lines): their properties, the GPU temperature of their power
// telemetry and their temperature sensors. Built as ControlLib.dll, and as variants without the
// sensor calls and without the telemetry call.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "backends/intel/ctl.h"
#include "tools/drivers/simdrv.h"

namespace {

// Results the monitor does not tell apart, so they live here rather than in ctl.h.
constexpr ctl_result_t CTL_RESULT_ERROR_NOT_INITIALIZED = 0x40000001;
constexpr ctl_result_t CTL_RESULT_ERROR_INVALID_ARGUMENT = 0x40000004;
constexpr ctl_result_t CTL_RESULT_ERROR_NULL_POINTER = 0x40000018;
constexpr ctl_result_t CTL_RESULT_ERROR_INVALID_HANDLE = 0x4000001D;

// Handles are opaque to the caller; these are recognisable in the log and checkable here. Those
// of devices and sensors also tell the driver's generation (0 before a restart).
constexpr uintptr_t ApiHandle = 0xC7100001u;
constexpr uintptr_t FirstDevice = 0x80860010u;  // device i: + 0x10 * i
constexpr uintptr_t SensorBase = 0x80870000u;   // sensor j of device i: + 0x100 * i + 0x10 * (j+1)
constexpr uintptr_t DeviceGeneration = 0x1000u;  // added once per generation
constexpr uintptr_t SensorGeneration = 0x100000u;

// ctlInit calls not yet closed; every one hands out the same handle. Guarded by the lock.
int OpenApis = 0;

template <typename Handle>
Handle handle_from(uintptr_t value) {
  return reinterpret_cast<Handle>(value);
}

// Never success: a caller that passes this check goes on to use what it was handed.
ctl_result_t restart_status() {
  const auto status = static_cast<ctl_result_t>(sim_restart_status(CTL_RESULT_ERROR_DEVICE_LOST));
  return status != CTL_RESULT_SUCCESS ? status : CTL_RESULT_ERROR_DEVICE_LOST;
}

// Caller holds the lock, as for every use of the generation below.
ctl_device_adapter_handle_t device_handle(size_t position) {
  return handle_from<ctl_device_adapter_handle_t>(FirstDevice + 0x10u * position +
                                                  DeviceGeneration * sim_generation());
}

ctl_temp_handle_t sensor_handle(size_t device, size_t sensor) {
  return handle_from<ctl_temp_handle_t>(SensorBase + 0x100u * device + 0x10u * (sensor + 1) +
                                        SensorGeneration * sim_generation());
}

struct DeviceAt {
  int position = -1;  // -1: this library did not hand the handle out
  int generation = 0;
};

// True when the device at `position` was listed in `generation`.
bool listed_in(int generation, uintptr_t position) {
  return position < sim_scenario().intel.size() && !(generation > 0 && sim_dropped(position));
}

DeviceAt device_at(const void* handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  for (int generation = 0; generation <= sim_generation(); ++generation) {
    const uintptr_t first = FirstDevice + DeviceGeneration * generation;
    if (value < first || (value - first) % 0x10u != 0) continue;
    const uintptr_t position = (value - first) / 0x10u;
    if (listed_in(generation, position)) return {static_cast<int>(position), generation};
  }
  return {};
}

// The device position a handle stands for, whatever its generation, or -1.
int device_of(const void* handle) { return device_at(handle).position; }

struct SensorAt {
  int device = -1;  // -1: not a sensor handle of this library
  int sensor = -1;
  int generation = 0;
};

SensorAt sensor_of(const void* handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  for (int generation = 0; generation <= sim_generation(); ++generation) {
    const uintptr_t base = SensorBase + SensorGeneration * generation;
    if (value <= base) continue;
    const uintptr_t device = (value - base) / 0x100u;
    const uintptr_t slot = (value - base) % 0x100u;
    if (slot == 0 || slot % 0x10u != 0 || !listed_in(generation, device) ||
        slot / 0x10u > sim_scenario().intel[device].sensors.size())
      continue;
    return {static_cast<int>(device), static_cast<int>(slot / 0x10u - 1), generation};
  }
  return {};
}

// The device a call is about, for the faults' `intel=`.
int device_unlocked(const void* handle) {
  sim_lock();
  const int position = device_of(handle);
  sim_unlock();
  return position;
}

int sensor_device_unlocked(const void* handle) {
  sim_lock();
  const int position = sensor_of(handle).device;
  sim_unlock();
  return position;
}

template <typename Value>
const Value& next_in_turn(const std::vector<Value>& values, size_t* next) {
  const Value& value = values[*next % values.size()];
  *next = (*next + 1) % values.size();
  return value;
}

// The checks every call on a device makes, in the library's order. Caller holds the lock.
ctl_result_t check_device(const void* device, const void* output) {
  if (sim_session_lost()) return restart_status();
  if (OpenApis == 0) return CTL_RESULT_ERROR_NOT_INITIALIZED;
  const DeviceAt at = device_at(device);
  if (at.position < 0) return CTL_RESULT_ERROR_INVALID_HANDLE;
  if (at.generation < sim_generation()) return restart_status();
  return output ? CTL_RESULT_SUCCESS : CTL_RESULT_ERROR_NULL_POINTER;
}

// The same for a sensor, but for its output, which each caller checks where it writes it.
ctl_result_t check_sensor(const void* sensor) {
  if (sim_session_lost()) return restart_status();
  if (OpenApis == 0) return CTL_RESULT_ERROR_NOT_INITIALIZED;
  const SensorAt at = sensor_of(sensor);
  if (at.device < 0) return CTL_RESULT_ERROR_INVALID_HANDLE;
  if (at.generation < sim_generation()) return restart_status();
  return CTL_RESULT_SUCCESS;
}

// Writes the handles of the two-call enumerations: the count alone for a null array, else as
// many handles as both sides hold, and that number.
template <typename Handle, typename HandleOf>
void enumerate(size_t available, uint32_t* count, Handle* handles, HandleOf handle_of,
               char* details, size_t size) {
  if (handles) {
    const size_t written = *count < available ? *count : available;
    for (size_t i = 0; i < written; ++i) handles[i] = handle_of(i);
    *count = static_cast<uint32_t>(written);
  } else {
    *count = static_cast<uint32_t>(available);
  }
  sim_append(details, size, " out=%u", *count);
}

// The name as far as the log shows it: its first 20 bytes, up to a zero, without spaces.
void append_name(char* details, size_t size, const char* name) {
  char shown[21] = "";
  for (size_t i = 0; i < 20 && name[i]; ++i) shown[i] = name[i] == ' ' ? '_' : name[i];
  sim_append(details, size, " name=%s", shown);
}

void fill_properties(const SimIntelDevice& device, size_t position,
                     ctl_device_adapter_properties_t* properties) {
  properties->device_type = device.type;
  properties->pci_vendor_id = device.vendor;
  sim_fill_text(properties->name, sizeof(properties->name), device.name, device.name_noterm);
  properties->graphics_adapter_properties =
      device.integrated ? CTL_ADAPTER_PROPERTY_INTEGRATED : 0u;
  // The driver's version as Windows shows it, four 16-bit numbers: 31.0.101.5122.
  uint64_t version = 0;
  for (const uint32_t part : sim_version_parts(sim_scenario().driver))
    version = (version << 16) | (part & 0xFFFFu);
  properties->driver_version = version;
  // The identifier is an adapter LUID on Windows; any 8 distinct bytes do here.
  const uint64_t identifier = 0x0000000100000000ull + position;
  if (properties->pDeviceID) {
    const size_t length = properties->device_id_size < sizeof(identifier)
                              ? properties->device_id_size
                              : sizeof(identifier);
    memcpy(properties->pDeviceID, &identifier, length);
  }
  if (properties->Version < CTL_DEVICE_PROPERTIES_VERSION) return;
  properties->adapter_bdf = {device.bus, device.device, device.function};
}

ctl_result_t answer_properties(ctl_device_adapter_handle_t device,
                               ctl_device_adapter_properties_t* properties, char* details,
                               size_t size) {
  const ctl_result_t checked = check_device(device, properties);
  if (checked != CTL_RESULT_SUCCESS) return checked;
  if (properties->Size != sizeof(*properties)) return CTL_RESULT_ERROR_INVALID_ARGUMENT;
  // Only versions 0 and 2 exist; an older driver does not know the newer one at all.
  if (properties->Version > sim_scenario().ctl_properties)
    return CTL_RESULT_ERROR_UNSUPPORTED_VERSION;
  if (properties->Version != 0 && properties->Version != CTL_DEVICE_PROPERTIES_VERSION)
    return CTL_RESULT_ERROR_INVALID_ARGUMENT;
  const int position = device_of(device);
  fill_properties(sim_scenario().intel[position], static_cast<size_t>(position), properties);
  append_name(details, size, properties->name);
  return CTL_RESULT_SUCCESS;
}

// `out=` with the degrees answered, a value that is not a number as `nan` whatever the C
// library's printf writes for one.
void log_degrees(double degrees, char* details, size_t size) {
  if (std::isnan(degrees)) sim_append(details, size, " out=nan");
  else sim_append(details, size, " out=%g", degrees);
}

void log_reading(const ctl_oc_telemetry_item_t& item, char* details, size_t size) {
  if (!item.bSupported) {
    sim_append(details, size, " out=off");
    return;
  }
  log_degrees(item.value, details, size);
  if (item.units != CTL_UNITS_TEMPERATURE_CELSIUS)
    sim_append(details, size, " units=%u", item.units);
  if (item.type != CTL_DATA_TYPE_DOUBLE) sim_append(details, size, " type=%u", item.type);
}

ctl_result_t answer_telemetry(ctl_device_adapter_handle_t device, ctl_power_telemetry_t* telemetry,
                              char* details, size_t size) {
  const ctl_result_t checked = check_device(device, telemetry);
  if (checked != CTL_RESULT_SUCCESS) return checked;
  if (telemetry->Size != sizeof(*telemetry) || telemetry->Version != CTL_POWER_TELEMETRY_VERSION)
    return CTL_RESULT_ERROR_INVALID_ARGUMENT;
  SimIntelDevice& simulated = sim_scenario().intel[device_of(device)];
  const SimTelemetryReading& reading = next_in_turn(simulated.temps, &simulated.next_temp);
  ctl_oc_telemetry_item_t& item = telemetry->gpuCurrentTemperature;
  memset(&item, 0, sizeof(item));  // its padding too, as a driver's zeroed record would have
  item.bSupported = reading.supported;
  item.units = reading.units;
  item.type = reading.type;
  item.value = reading.value;
  log_reading(item, details, size);
  return CTL_RESULT_SUCCESS;
}

// The arguments of a call that hands the library a record: the handle, the record's address,
// and the size and version it was given.
template <typename Record>
void record_call_args(char* args, size_t size, const void* handle, const Record* record) {
  snprintf(args, size, "0x%llX,0x%llX", sim_address(handle), sim_address(record));
  if (record)
    sim_append(args, size, " size=%u version=%u", record->Size,
               static_cast<unsigned>(record->Version));
}

}  // namespace

extern "C" ctl_result_t __cdecl ctlInit(ctl_init_args_t* args, ctl_api_handle_t* api) {
  sim_lock();
  sim_reload();
  sim_unlock();
  char args_text[256];
  snprintf(args_text, sizeof(args_text), "0x%llX,0x%llX", sim_address(args), sim_address(api));
  if (args)
    sim_append(args_text, sizeof(args_text), " size=%u version=%u app=0x%08X flags=%u", args->Size,
               static_cast<unsigned>(args->Version), args->AppVersion, args->flags);
  return sim_answer(
      "ctlInit", -1, args_text, sizeof(args_text),
      [&](char* details, size_t size) {
        if (!args || !api) return CTL_RESULT_ERROR_NULL_POINTER;
        if (args->Size != sizeof(*args)) return CTL_RESULT_ERROR_INVALID_ARGUMENT;
        const uint32_t highest = sim_scenario().ctl_version;
        if (args->AppVersion < CTL_APP_VERSION_1_0 || args->AppVersion > highest)
          return CTL_RESULT_ERROR_UNSUPPORTED_VERSION;
        if (sim_away()) return CTL_RESULT_ERROR_NOT_AVAILABLE;
        ++OpenApis;
        sim_open_session();
        *api = handle_from<ctl_api_handle_t>(ApiHandle);
        args->SupportedVersion = highest;
        sim_append(details, size, " out=0x%llX supported=0x%08X", sim_address(*api), highest);
        return CTL_RESULT_SUCCESS;
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlClose(ctl_api_handle_t api) {
  char args[64];
  snprintf(args, sizeof(args), "0x%llX", sim_address(api));
  return sim_answer(
      "ctlClose", -1, args, sizeof(args),
      [&](char*, size_t) {
        if (OpenApis == 0) return CTL_RESULT_ERROR_NOT_INITIALIZED;
        if (api != handle_from<ctl_api_handle_t>(ApiHandle)) return CTL_RESULT_ERROR_INVALID_HANDLE;
        --OpenApis;
        return CTL_RESULT_SUCCESS;
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlEnumerateDevices(ctl_api_handle_t api, uint32_t* count,
                                                    ctl_device_adapter_handle_t* devices) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,0x%llX", sim_address(api), sim_address(count),
           sim_address(devices));
  if (count) sim_append(args, sizeof(args), " count=%u", *count);
  return sim_answer(
      "ctlEnumerateDevices", -1, args, sizeof(args),
      [&](char* details, size_t size) {
        if (sim_session_lost()) return restart_status();
        if (OpenApis == 0) return CTL_RESULT_ERROR_NOT_INITIALIZED;
        if (api != handle_from<ctl_api_handle_t>(ApiHandle)) return CTL_RESULT_ERROR_INVALID_HANDLE;
        if (!count) return CTL_RESULT_ERROR_NULL_POINTER;
        const std::vector<size_t> order = sim_listed(sim_scenario().intel.size());
        enumerate(
            order.size(), count, devices, [&](size_t i) { return device_handle(order[i]); },
            details, size);
        return CTL_RESULT_SUCCESS;
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlGetDeviceProperties(
    ctl_device_adapter_handle_t device, ctl_device_adapter_properties_t* properties) {
  char args[128];
  record_call_args(args, sizeof(args), device, properties);
  return sim_answer(
      "ctlGetDeviceProperties", device_unlocked(device), args, sizeof(args),
      [&](char* details, size_t size) {
        return answer_properties(device, properties, details, size);
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlPowerTelemetryGet(ctl_device_adapter_handle_t device,
                                                     ctl_power_telemetry_t* telemetry) {
  char args[128];
  record_call_args(args, sizeof(args), device, telemetry);
  sim_count_reading();
  return sim_answer(
      "ctlPowerTelemetryGet", device_unlocked(device), args, sizeof(args),
      [&](char* details, size_t size) {
        return answer_telemetry(device, telemetry, details, size);
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlEnumTemperatureSensors(ctl_device_adapter_handle_t device,
                                                          uint32_t* count,
                                                          ctl_temp_handle_t* sensors) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,0x%llX", sim_address(device), sim_address(count),
           sim_address(sensors));
  if (count) sim_append(args, sizeof(args), " count=%u", *count);
  return sim_answer(
      "ctlEnumTemperatureSensors", device_unlocked(device), args, sizeof(args),
      [&](char* details, size_t size) {
        const ctl_result_t checked = check_device(device, count);
        if (checked != CTL_RESULT_SUCCESS) return checked;
        const size_t position = static_cast<size_t>(device_of(device));
        enumerate(
            sim_scenario().intel[position].sensors.size(), count, sensors,
            [&](size_t i) { return sensor_handle(position, i); }, details, size);
        return CTL_RESULT_SUCCESS;
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlTemperatureGetProperties(ctl_temp_handle_t sensor,
                                                            ctl_temp_properties_t* properties) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(sensor), sim_address(properties));
  if (properties) sim_append(args, sizeof(args), " size=%u", properties->Size);
  return sim_answer(
      "ctlTemperatureGetProperties", sensor_device_unlocked(sensor), args, sizeof(args),
      [&](char* details, size_t size) {
        const ctl_result_t checked = check_sensor(sensor);
        if (checked != CTL_RESULT_SUCCESS) return checked;
        if (!properties) return CTL_RESULT_ERROR_NULL_POINTER;
        if (properties->Size != sizeof(*properties) || properties->Version != 0)
          return CTL_RESULT_ERROR_INVALID_ARGUMENT;
        const SensorAt at = sensor_of(sensor);
        properties->type = sim_scenario().intel[at.device].sensors[at.sensor].type;
        sim_append(details, size, " out=%u", properties->type);
        return CTL_RESULT_SUCCESS;
      },
      SIM_STATUS_HEX);
}

extern "C" ctl_result_t __cdecl ctlTemperatureGetState(ctl_temp_handle_t sensor, double* celsius) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(sensor), sim_address(celsius));
  return sim_answer(
      "ctlTemperatureGetState", sensor_device_unlocked(sensor), args, sizeof(args),
      [&](char* details, size_t size) {
        const ctl_result_t checked = check_sensor(sensor);
        if (checked != CTL_RESULT_SUCCESS) return checked;
        if (!celsius) return CTL_RESULT_ERROR_NULL_POINTER;
        const SensorAt at = sensor_of(sensor);
        SimIntelSensor& simulated = sim_scenario().intel[at.device].sensors[at.sensor];
        *celsius = next_in_turn(simulated.readings, &simulated.next);
        log_degrees(*celsius, details, size);
        return CTL_RESULT_SUCCESS;
      },
      SIM_STATUS_HEX);
}

// The exports have exactly the types the monitor calls them through.
static_assert(std::is_same_v<decltype(&ctlInit), ctlInit_t>);
static_assert(std::is_same_v<decltype(&ctlClose), ctlClose_t>);
static_assert(std::is_same_v<decltype(&ctlEnumerateDevices), ctlEnumerateDevices_t>);
static_assert(std::is_same_v<decltype(&ctlGetDeviceProperties), ctlGetDeviceProperties_t>);
static_assert(std::is_same_v<decltype(&ctlPowerTelemetryGet), ctlPowerTelemetryGet_t>);
static_assert(std::is_same_v<decltype(&ctlEnumTemperatureSensors), ctlEnumTemperatureSensors_t>);
static_assert(
    std::is_same_v<decltype(&ctlTemperatureGetProperties), ctlTemperatureGetProperties_t>);
static_assert(std::is_same_v<decltype(&ctlTemperatureGetState), ctlTemperatureGetState_t>);
