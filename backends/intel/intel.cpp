#include "backends/intel/intel.h"

#include <cstring>

#include "app/program.h"
#include "app/rows.h"
#include "backends/intel/ctl.h"
#include "facade/library.h"
#include "facade/objects.h"

namespace {

// Each export given its type once, when the library is set up; sensors are optional.
struct ControlLibrary {
  ctlInit_t init;
  ctlClose_t close;
  ctlEnumerateDevices_t enumerate_devices;
  ctlGetDeviceProperties_t device_properties;
  ctlPowerTelemetryGet_t telemetry;
  ctlEnumTemperatureSensors_t enumerate_sensors;
  ctlTemperatureGetProperties_t sensor_properties;
  ctlTemperatureGetState_t sensor_state;
};

enum class SensorLookup : uint8_t { NotYet, Found, None };

struct IntelRow {
  ctl_device_adapter_handle_t device;
  TextVariable name;
  bool has_location;
  ctl_adapter_bdf_t location;
  SensorLookup lookup;
  ctl_temp_handle_t sensor;
};

enum class Found { Reading, PoweredDown, NoReading };

// What a call that was not made, or faulted, answers: a failure unlike the two the monitor tells
// apart (an older version, a GPU unavailable).
constexpr ctl_result_t CallNotMade = 0x4000FFFF;

ControlLibrary Calls;
ctl_api_handle_t Api;  // null while no session is open
IntelRow* Rows;        // GpuCount records from set-up; the sensor fields are the worker's

template <typename Function>
Function find(const wchar_t* name) {
  return export_as<Function>(library_find(VendorLibrary, name));
}

// Calls into the library under guard: a fault answers CallNotMade, and from then on nothing
// calls the library again.
template <typename Function, typename... Arguments>
ctl_result_t call(Function function, Arguments... arguments) {
  ctl_result_t result = CallNotMade;
  guarded_call(library_module(VendorLibrary), result, function, arguments...);
  return result;
}

bool resolve_calls() {
  Calls = ControlLibrary{find<ctlInit_t>(L"ctlInit"),
                         find<ctlClose_t>(L"ctlClose"),
                         find<ctlEnumerateDevices_t>(L"ctlEnumerateDevices"),
                         find<ctlGetDeviceProperties_t>(L"ctlGetDeviceProperties"),
                         find<ctlPowerTelemetryGet_t>(L"ctlPowerTelemetryGet"),
                         find<ctlEnumTemperatureSensors_t>(L"ctlEnumTemperatureSensors"),
                         find<ctlTemperatureGetProperties_t>(L"ctlTemperatureGetProperties"),
                         find<ctlTemperatureGetState_t>(L"ctlTemperatureGetState")};
  // The sensors serve only as a set: without any one of the three calls, none is made.
  if (!Calls.enumerate_sensors || !Calls.sensor_properties || !Calls.sensor_state)
    Calls.enumerate_sensors = nullptr;
  return Calls.init && Calls.close && Calls.enumerate_devices && Calls.device_properties &&
         Calls.telemetry;
}

ctl_result_t start_session(uint32_t app_version) {
  ctl_init_args_t args{};
  args.Size = sizeof(args);
  args.AppVersion = app_version;
  args.flags = CTL_INIT_FLAG_USE_LEVEL_ZERO;
  return call(Calls.init, &args, &Api);
}

// Older drivers know only the first version of the interface.
bool open_session() {
  ctl_result_t result = start_session(CTL_APP_VERSION_1_1);
  if (result == CTL_RESULT_ERROR_UNSUPPORTED_VERSION) result = start_session(CTL_APP_VERSION_1_0);
  if (result == CTL_RESULT_SUCCESS && Api) return true;
  Api = nullptr;
  return false;
}

void close_session() {
  if (Api) call(Calls.close, Api);
  Api = nullptr;
}

ctl_result_t ask_properties(ctl_device_adapter_handle_t device, uint8_t version,
                            ctl_device_adapter_properties_t& properties) {
  uint8_t identifier[CtlDeviceIdSize] = {};
  properties = ctl_device_adapter_properties_t{};
  properties.Size = sizeof(properties);
  properties.Version = version;
  properties.pDeviceID = identifier;
  properties.device_id_size = sizeof(identifier);
  const ctl_result_t result = call(Calls.device_properties, device, &properties);
  properties.pDeviceID = nullptr;
  return result;
}

// Version 2 brings the PCI location; drivers that refuse it answer the rest with version 0.
bool read_properties(ctl_device_adapter_handle_t device,
                     ctl_device_adapter_properties_t& properties, bool& has_location) {
  ctl_result_t result = ask_properties(device, CTL_DEVICE_PROPERTIES_VERSION, properties);
  has_location = true;
  if (result == CTL_RESULT_ERROR_UNSUPPORTED_VERSION) {
    result = ask_properties(device, 0, properties);
    has_location = false;
  }
  const ctl_adapter_bdf_t& at = properties.adapter_bdf;
  if (at.bus == CTL_BDF_NONE && at.device == CTL_BDF_NONE && at.function == CTL_BDF_NONE)
    has_location = false;
  return result == CTL_RESULT_SUCCESS;
}

// Integrated Intel graphics report no temperature: only discrete Intel GPUs are rows.
bool is_discrete_intel_gpu(const ctl_device_adapter_properties_t& properties) {
  return properties.device_type == CTL_DEVICE_TYPE_GRAPHICS &&
         properties.pci_vendor_id == CTL_PCI_VENDOR_INTEL &&
         !(properties.graphics_adapter_properties & CTL_ADAPTER_PROPERTY_INTEGRATED);
}

void add_row(ctl_device_adapter_handle_t device, const ctl_device_adapter_properties_t& properties,
             bool has_location) {
  IntelRow& row = Rows[State.GpuCount++];
  row.device = device;
  row.has_location = has_location;
  row.location = properties.adapter_bdf;
  const size_t start = text_position();
  // The name field need not end in a zero: read no further than the field.
  text_from_8bit(properties.name,
                 static_cast<int64_t>(strnlen(properties.name, CTL_MAX_DEVICE_NAME_LEN)),
                 TEXT_8BIT);
  text_assign(&row.name, start);
}

// The library lists in two calls: the count for a null array, then at most `most` handles into
// `handles`, `count` saying how many. Answers the failing call's result, else the second's.
template <typename List, typename Owner, typename Handle>
ctl_result_t list_in_two_calls(List list, Owner owner, Handle* handles, uint32_t most,
                               uint32_t& count) {
  count = 0;
  const ctl_result_t result = call(list, owner, &count, static_cast<Handle*>(nullptr));
  if (result != CTL_RESULT_SUCCESS || count == 0) return result;
  if (count > most) count = most;
  const ctl_result_t listed = call(list, owner, &count, handles);
  if (count > most) count = most;
  return listed;
}

// The devices' handles, at most CtlMaxDevices; 0 when the library lists none or fails.
uint32_t list_devices(ctl_device_adapter_handle_t* devices) {
  uint32_t count = 0;
  const ctl_result_t result =
      list_in_two_calls(Calls.enumerate_devices, Api, devices, CtlMaxDevices, count);
  return result == CTL_RESULT_SUCCESS ? count : 0;
}

void find_rows() {
  ctl_device_adapter_handle_t devices[CtlMaxDevices] = {};
  State.GpuCount = 0;
  const uint32_t count = list_devices(devices);
  if (count == 0) return;
  Rows = static_cast<IntelRow*>(heap_alloc(sizeof(IntelRow) * count));
  if (!Rows) return;
  for (uint32_t i = 0; i < count; ++i) {
    ctl_device_adapter_properties_t properties;
    bool has_location = false;
    if (read_properties(devices[i], properties, has_location) && is_discrete_intel_gpu(properties))
      add_row(devices[i], properties, has_location);
  }
}

// A GPU temperature in °C that is a reading: drivers answer success with zeros on some
// machines, and a value that is not a number fails both tests.
bool plausible(double celsius) { return celsius >= 1.0 && celsius <= 255.0; }

Found read_telemetry(const IntelRow& row, ctl_power_telemetry_t& telemetry, double& celsius) {
  std::memset(&telemetry, 0, sizeof(telemetry));
  telemetry.Size = sizeof(telemetry);
  telemetry.Version = CTL_POWER_TELEMETRY_VERSION;
  const ctl_result_t result = call(Calls.telemetry, row.device, &telemetry);
  if (result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE) return Found::PoweredDown;
  const ctl_oc_telemetry_item_t& item = telemetry.gpuCurrentTemperature;
  if (result != CTL_RESULT_SUCCESS || !item.bSupported ||
      item.units != CTL_UNITS_TEMPERATURE_CELSIUS || item.type != CTL_DATA_TYPE_DOUBLE ||
      !plausible(item.value))
    return Found::NoReading;
  celsius = item.value;
  return Found::Reading;
}

// The row's GPU sensor, else its global one, chosen once for the whole run. A device that is
// unavailable now is asked again in a later pass.
Found look_up_sensor(IntelRow& row) {
  ctl_temp_handle_t sensors[CtlMaxSensors] = {};
  uint32_t count = 0;
  ctl_result_t result =
      list_in_two_calls(Calls.enumerate_sensors, row.device, sensors, CtlMaxSensors, count);
  if (result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE) return Found::PoweredDown;
  if (result != CTL_RESULT_SUCCESS) count = 0;
  ctl_temp_handle_t gpu = nullptr;
  ctl_temp_handle_t global = nullptr;
  for (uint32_t i = 0; i < count && !gpu; ++i) {
    ctl_temp_properties_t properties{};
    properties.Size = sizeof(properties);
    result = call(Calls.sensor_properties, sensors[i], &properties);
    if (result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE) return Found::PoweredDown;
    if (result != CTL_RESULT_SUCCESS) continue;
    if (properties.type == CTL_TEMP_SENSORS_GPU) gpu = sensors[i];
    else if (properties.type == CTL_TEMP_SENSORS_GLOBAL && !global) global = sensors[i];
  }
  row.sensor = gpu ? gpu : global;
  row.lookup = row.sensor ? SensorLookup::Found : SensorLookup::None;
  return Found::NoReading;
}

Found read_sensor(IntelRow& row, double& celsius) {
  if (row.lookup == SensorLookup::NotYet) {
    const Found found = look_up_sensor(row);
    if (found == Found::PoweredDown) return found;
  }
  if (row.lookup != SensorLookup::Found) return Found::NoReading;
  double value = 0;
  const ctl_result_t result = call(Calls.sensor_state, row.sensor, &value);
  if (result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE) return Found::PoweredDown;
  if (result != CTL_RESULT_SUCCESS || !plausible(value)) return Found::NoReading;
  celsius = value;
  return Found::Reading;
}

// A powered-down GPU is not asked at all: any call would wake it. False once a call into the
// library has faulted: the library is never called again.
bool read_row(int32_t index, ctl_power_telemetry_t& telemetry) {
  if (row_asleep(index)) return true;
  IntelRow& row = Rows[index];
  double celsius = 0;
  Found found = read_telemetry(row, telemetry, celsius);
  if (found == Found::NoReading && Calls.enumerate_sensors) found = read_sensor(row, celsius);
  if (vendor_library_given_up()) return false;
  if (found == Found::Reading) row_show_reading(index, static_cast<int32_t>(celsius));
  else if (found == Found::PoweredDown) row_found_powered_down(index);
  else row_found_no_reading(index);
  return true;
}

void locate_rows() {
  if (!rows_watch(State.GpuCount)) return;
  for (int32_t i = 0; i < State.GpuCount; ++i)
    if (Rows[i].has_location)
      row_locate(i, Rows[i].location.bus, Rows[i].location.device, Rows[i].location.function);
}

}  // namespace

bool intel_setup() {
  if (!library_open_system(VendorLibrary, L"ControlLib.dll") || !resolve_calls() ||
      !open_session()) {
    library_close(VendorLibrary);
    return false;
  }
  find_rows();
  if (State.GpuCount == 0) {
    close_session();
    library_close(VendorLibrary);
    return false;
  }
  State.DisplayedGpuCount = State.GpuCount;
  return true;
}

DWORD WINAPI intel_reading_cycle(void*) {
  ctl_power_telemetry_t telemetry;
  locate_rows();
  for (;;) {
    for (int32_t i = 0; i < State.GpuCount; ++i) {
      if (!read_row(i, telemetry)) {
        rows_end_readings();
        return 0;
      }
    }
    rows_pass_ended();
    delay_ms(1000);
  }
}

void intel_shutdown() { close_session(); }

void intel_append_name(int32_t row) {
  if (row >= 0 && row < State.GpuCount) text_append(Rows[row].name);
}
