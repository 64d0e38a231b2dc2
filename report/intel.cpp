#include <cmath>
#include <cstring>
#include <vector>

#include "backends/intel/ctl.h"
#include "facade/library.h"
#include "report/report.h"

// Intel's control library as the monitor meets it: a session (1.1, else 1.0), the devices and
// their properties (version 2, else 0), then for each discrete Intel GPU the power telemetry and
// every temperature sensor.

namespace {

constexpr ObjectNumber IntelLibrary = 1;
constexpr ctl_result_t CallNotMade = 0x4000FFFF;

struct SensorAnswer {
  uint32_t type;
  double value;
  bool read;
};

ControlLibrary Calls;
ctl_api_handle_t Api;
bool Crashed;

template <typename Function, typename... Arguments>
bool ctl_call(std::string& lines, ctl_result_t& result, const char* name, Subject subject,
              int32_t number, Function function, Arguments... arguments) {
  result = CallNotMade;
  if (Crashed) return false;
  call_begin(name, subject, number);
  const bool returned = guarded_call(library_module(IntelLibrary), result, function, arguments...);
  call_end();
  if (!returned) Crashed = call_crashed(lines, library_module(IntelLibrary));
  return returned;
}

void fail_line(std::string& lines, const char* name, ctl_result_t result, int32_t device = -1) {
  append(lines, "fail %s=0x%08X", name, result);
  if (device >= 0) append(lines, " intel=%d", device);
  lines += '\n';
}

template <typename Function>
Function find(std::string& lines, const char* name, bool required) {
  const std::wstring wide(name, name + std::strlen(name));
  const auto function = export_as<Function>(library_find(IntelLibrary, wide.c_str()));
  if (!function) {
    comment(lines, "%s: not exported%s", name, required ? ", so the monitor cannot use the library" : "");
    append(lines, "missing %s\n", name);
  }
  return function;
}

bool resolve(std::string& lines) {
  Calls = ControlLibrary{find<ctlInit_t>(lines, "ctlInit", true),
                         find<ctlClose_t>(lines, "ctlClose", true),
                         find<ctlEnumerateDevices_t>(lines, "ctlEnumerateDevices", true),
                         find<ctlGetDeviceProperties_t>(lines, "ctlGetDeviceProperties", true),
                         find<ctlPowerTelemetryGet_t>(lines, "ctlPowerTelemetryGet", true),
                         find<ctlEnumTemperatureSensors_t>(lines, "ctlEnumTemperatureSensors", false),
                         find<ctlTemperatureGetProperties_t>(lines, "ctlTemperatureGetProperties", false),
                         find<ctlTemperatureGetState_t>(lines, "ctlTemperatureGetState", false)};
  if (!Calls.enumerate_sensors || !Calls.sensor_properties || !Calls.sensor_state)
    Calls.enumerate_sensors = nullptr;
  return Calls.init && Calls.close && Calls.enumerate_devices && Calls.device_properties &&
         Calls.telemetry;
}

ctl_result_t start_session(std::string& lines, uint32_t app_version) {
  ctl_init_args_t args{};
  args.Size = sizeof(args);
  args.AppVersion = app_version;
  args.flags = CTL_INIT_FLAG_USE_LEVEL_ZERO;
  ctl_result_t result = CallNotMade;
  if (!ctl_call(lines, result, "ctlInit", Subject::None, 0, Calls.init, &args, &Api)) return result;
  comment(lines, "ctlInit %u.%u: 0x%08X, the library serves %u.%u", app_version >> 16,
          app_version & 0xFFFF, result, args.SupportedVersion >> 16, args.SupportedVersion & 0xFFFF);
  return result;
}

bool open_session(std::string& lines) {
  ctl_result_t result = start_session(lines, CTL_APP_VERSION_1_1);
  if (result == CTL_RESULT_ERROR_UNSUPPORTED_VERSION) {
    result = start_session(lines, CTL_APP_VERSION_1_0);
    if (result == CTL_RESULT_SUCCESS) append(lines, "ctl_version=0x%08X\n", CTL_APP_VERSION_1_0);
  }
  if (result == CTL_RESULT_SUCCESS && Api) return true;
  if (!Crashed) fail_line(lines, "ctlInit", result);
  Api = nullptr;
  return false;
}

// The two-call listing: the count for a null array, then the handles.
template <typename List, typename Owner, typename Handle>
std::vector<Handle> list_in_two_calls(std::string& lines, const char* name, Subject subject,
                                      int32_t number, List list, Owner owner, uint32_t most) {
  uint32_t count = 0;
  ctl_result_t result = CallNotMade;
  if (!ctl_call(lines, result, name, subject, number, list, owner, &count,
                static_cast<Handle*>(nullptr)))
    return {};
  comment(lines, "%s: 0x%08X, %u", name, result, count);
  if (result != CTL_RESULT_SUCCESS) fail_line(lines, name, result, subject == Subject::Intel ? number : -1);
  if (result != CTL_RESULT_SUCCESS || count == 0) return {};
  if (count > most) count = most;
  std::vector<Handle> handles(count);
  if (!ctl_call(lines, result, name, subject, number, list, owner, &count, handles.data()))
    return {};
  if (result != CTL_RESULT_SUCCESS) {
    comment(lines, "%s, the second call: 0x%08X", name, result);
    append(lines, "fail %s=0x%08X from=2", name, result);
    if (subject == Subject::Intel) append(lines, " intel=%d", number);
    lines += '\n';
    return {};
  }
  handles.resize(count < handles.size() ? count : handles.size());
  return handles;
}

ctl_result_t ask_properties(std::string& lines, int32_t i, ctl_device_adapter_handle_t device,
                            uint8_t version, ctl_device_adapter_properties_t& properties) {
  uint8_t identifier[CtlDeviceIdSize] = {};
  ctl_prepare_properties(properties, version, identifier);
  ctl_result_t result = CallNotMade;
  ctl_call(lines, result, "ctlGetDeviceProperties", Subject::Intel, i, Calls.device_properties,
           device, &properties);
  properties.pDeviceID = nullptr;
  return result;
}

bool PropertiesRefused;  // the library refused version 2 of the properties

bool read_properties(std::string& lines, int32_t i, ctl_device_adapter_handle_t device,
                     ctl_device_adapter_properties_t& properties, bool& has_location) {
  ctl_result_t result = ask_properties(lines, i, device, CTL_DEVICE_PROPERTIES_VERSION, properties);
  has_location = true;
  if (result == CTL_RESULT_ERROR_UNSUPPORTED_VERSION) {
    if (!PropertiesRefused) append(lines, "ctl_properties=0\n");
    PropertiesRefused = true;
    result = ask_properties(lines, i, device, 0, properties);
    has_location = false;
  }
  const ctl_adapter_bdf_t& at = properties.adapter_bdf;
  if (at.bus == CTL_BDF_NONE && at.device == CTL_BDF_NONE && at.function == CTL_BDF_NONE)
    has_location = false;
  if (Crashed) return false;
  comment(lines, "ctlGetDeviceProperties, Intel device %d: 0x%08X", i, result);
  if (result != CTL_RESULT_SUCCESS) fail_line(lines, "ctlGetDeviceProperties", result, i);
  return result == CTL_RESULT_SUCCESS;
}

bool is_discrete_intel_gpu(const ctl_device_adapter_properties_t& properties) {
  return properties.device_type == CTL_DEVICE_TYPE_GRAPHICS &&
         properties.pci_vendor_id == CTL_PCI_VENDOR_INTEL &&
         !(properties.graphics_adapter_properties & CTL_ADAPTER_PROPERTY_INTEGRATED);
}

bool plausible(double celsius) { return celsius >= 1.0 && celsius <= 255.0; }

// Degrees as the scenario writes them: exact for a plausible reading; any other value as 0, which
// the monitor refuses the same way.
std::string degrees(double value) {
  std::string text;
  append(text, "%.17g", plausible(value) ? value : 0.0);
  return text;
}

// The telemetry's GPU temperature as the scenario's `temps` item.
std::string telemetry_item(const ctl_oc_telemetry_item_t& item) {
  // Not supported is not a reading, whatever else the item holds.
  if (!item.bSupported) return "off";
  std::string text;
  if (item.units != CTL_UNITS_TEMPERATURE_CELSIUS) append(text, "units%u:", item.units);
  else if (item.type != CTL_DATA_TYPE_DOUBLE) append(text, "type%u:", item.type);
  return text + degrees(item.value);
}

bool reading_of(const ctl_oc_telemetry_item_t& item) {
  return item.bSupported && item.units == CTL_UNITS_TEMPERATURE_CELSIUS &&
         item.type == CTL_DATA_TYPE_DOUBLE && plausible(item.value);
}

const char* sensor_type(uint32_t type) {
  switch (type) {
    case CTL_TEMP_SENSORS_GLOBAL: return "global";
    case CTL_TEMP_SENSORS_GPU: return "gpu";
    case 2: return "memory";
    default: return nullptr;
  }
}

// Every temperature sensor of the device: its type and one reading.
std::vector<SensorAnswer> read_sensors(std::string& lines, int32_t i,
                                       ctl_device_adapter_handle_t device, bool& asleep) {
  std::vector<SensorAnswer> answers;
  const std::vector<ctl_temp_handle_t> sensors = list_in_two_calls<decltype(Calls.enumerate_sensors),
      ctl_device_adapter_handle_t, ctl_temp_handle_t>(lines, "ctlEnumTemperatureSensors",
      Subject::Intel, i, Calls.enumerate_sensors, device, CtlMaxSensors);
  for (size_t s = 0; s < sensors.size() && !Crashed; ++s) {
    ctl_temp_properties_t properties{};
    properties.Size = sizeof(properties);
    ctl_result_t result = CallNotMade;
    if (!ctl_call(lines, result, "ctlTemperatureGetProperties", Subject::Intel, i,
                  Calls.sensor_properties, sensors[s], &properties))
      break;
    if (result != CTL_RESULT_SUCCESS) {
      comment(lines, "ctlTemperatureGetProperties, sensor %u: 0x%08X",
              static_cast<unsigned>(s), result);
      fail_line(lines, "ctlTemperatureGetProperties", result, i);
      asleep = asleep || result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE;
      continue;
    }
    double value = 0;
    if (!ctl_call(lines, result, "ctlTemperatureGetState", Subject::Intel, i, Calls.sensor_state,
                  sensors[s], &value))
      break;
    comment(lines, "sensor %u: type %u, ctlTemperatureGetState 0x%08X, %.17g",
            static_cast<unsigned>(s),
            properties.type, result, value);
    if (result != CTL_RESULT_SUCCESS) fail_line(lines, "ctlTemperatureGetState", result, i);
    answers.push_back(SensorAnswer{properties.type, value, result == CTL_RESULT_SUCCESS});
  }
  return answers;
}

std::string sensors_item(const std::vector<SensorAnswer>& sensors) {
  std::string text;
  for (const SensorAnswer& sensor : sensors) {
    if (!text.empty()) text += ',';
    const char* type = sensor_type(sensor.type);
    if (type) text += type;
    else append(text, "%u", sensor.type);
    text += ':' + degrees(sensor.value);
  }
  return text;
}

// The monitor's choice among the sensors: the GPU's, else the global one.
bool sensor_reading(const std::vector<SensorAnswer>& sensors, double& celsius) {
  for (const uint32_t wanted : {CTL_TEMP_SENSORS_GPU, CTL_TEMP_SENSORS_GLOBAL})
    for (const SensorAnswer& sensor : sensors)
      if (sensor.type == wanted) {
        if (!sensor.read || !plausible(sensor.value)) return false;
        celsius = sensor.value;
        return true;
      }
  return false;
}

struct Device {
  ctl_device_adapter_properties_t properties;
  bool has_location;
  bool row;
};

// A row's pass, after the monitor's power check; its line's reading fields, and the row's text.
std::string read_row(std::string& lines, int32_t i, ctl_device_adapter_handle_t device,
                     const Device& about, std::string& fields) {
  const ctl_adapter_bdf_t& at = about.properties.adapter_bdf;
  if (power_check(lines, about.has_location, at.bus, at.device, at.function)) {
    comment(lines, "powered down (D3): not asked, since any call would wake it");
    return "Powered down";
  }
  ctl_power_telemetry_t telemetry{};
  telemetry.Size = sizeof(telemetry);
  telemetry.Version = CTL_POWER_TELEMETRY_VERSION;
  ctl_result_t result = CallNotMade;
  if (!ctl_call(lines, result, "ctlPowerTelemetryGet", Subject::Intel, i, Calls.telemetry, device,
                &telemetry))
    return "Please wait (no reading)";
  const ctl_oc_telemetry_item_t& item = telemetry.gpuCurrentTemperature;
  comment(lines, "ctlPowerTelemetryGet: 0x%08X, GPU temperature %s, units %u, type %u, %.17g",
          result, item.bSupported ? "supported" : "not supported", item.units, item.type,
          item.value);
  bool asleep = result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE;
  if (result != CTL_RESULT_SUCCESS) fail_line(lines, "ctlPowerTelemetryGet", result, i);
  else fields += " temps=" + telemetry_item(item);
  std::vector<SensorAnswer> sensors;
  if (Calls.enumerate_sensors && !asleep) sensors = read_sensors(lines, i, device, asleep);
  if (!sensors.empty()) fields += " sensors=" + sensors_item(sensors);
  double celsius = 0;
  if (result == CTL_RESULT_SUCCESS && reading_of(item))
    return label_text(static_cast<int32_t>(item.value));
  if (asleep) return "Powered down";
  if (sensor_reading(sensors, celsius)) return label_text(static_cast<int32_t>(celsius));
  return "Please wait (no reading)";
}

void describe_device(VendorReport& report, int32_t i, ctl_device_adapter_handle_t handle,
                     int32_t& rows) {
  std::string& lines = report.lines;
  Device device{};
  if (!read_properties(lines, i, handle, device.properties, device.has_location)) return;
  const ctl_device_adapter_properties_t& properties = device.properties;
  const size_t name = field_length(properties.name, sizeof(properties.name));
  const ctl_adapter_bdf_t& at = properties.adapter_bdf;
  device.row = is_discrete_intel_gpu(properties);
  comment(lines, "Intel device %d: %s, type %u, vendor 0x%04X, %s, PCI %u:%u.%u, driver %u.%u.%u.%u, %s",
          i, quoted(properties.name, name).c_str(), properties.device_type, properties.pci_vendor_id,
          properties.graphics_adapter_properties & CTL_ADAPTER_PROPERTY_INTEGRATED ? "integrated" : "discrete",
          at.bus, at.device, at.function,
          static_cast<unsigned>(properties.driver_version >> 48),
          static_cast<unsigned>((properties.driver_version >> 32) & 0xFFFFu),
          static_cast<unsigned>((properties.driver_version >> 16) & 0xFFFFu),
          static_cast<unsigned>(properties.driver_version & 0xFFFFu),
          device.row ? "shown" : "not shown (the monitor shows discrete Intel GPUs only)");
  std::string fields;
  std::string text;
  if (device.row) text = read_row(lines, i, handle, device, fields);
  append(lines, "intel name=%s type=%u vendor=0x%04X integrated=%d", quoted(properties.name, name).c_str(),
         properties.device_type, properties.pci_vendor_id,
         properties.graphics_adapter_properties & CTL_ADAPTER_PROPERTY_INTEGRATED ? 1 : 0);
  if (device.has_location) append(lines, " bus=%u device=%u function=%u", at.bus, at.device, at.function);
  else lines += " bus=none";
  if (name == sizeof(properties.name)) lines += " noterm";
  lines += fields + '\n';
  if (!device.row) return;
  row_line(report.rows, rows++, properties.name, name, text);
  // A row of ADL's finds it by the location the properties give, and reads it under the same rules.
  report.gpus.push_back(GpuAnswer{std::string(properties.name, name), device.has_location, at.bus,
                                  at.device, at.function, GpuVendor::Intel, text});
}

}  // namespace

void intel_gather(VendorReport& report) {
  std::string& lines = report.lines;
  comment(lines, "---- Intel: control library (read by the monitor where neither ADL nor NVAPI "
                 "loads, and for the Intel GPUs that ADL lists)");
  call_begin("LoadLibrary");
  const bool loaded = library_open_system(IntelLibrary, L"ControlLib.dll") != nullptr;
  call_end();
  if (!loaded) {
    comment(lines, "ControlLib.dll does not load from the system folder");
    return;
  }
  report.loaded = true;
  comment(lines, "library: ControlLib.dll");
  if (!resolve(lines) || !open_session(lines)) return;
  report.session = true;
  const std::vector<ctl_device_adapter_handle_t> devices = list_in_two_calls<
      ctlEnumerateDevices_t, ctl_api_handle_t, ctl_device_adapter_handle_t>(
      lines, "ctlEnumerateDevices", Subject::None, 0, Calls.enumerate_devices, Api, CtlMaxDevices);
  int32_t rows = 0;
  for (size_t i = 0; i < devices.size() && !Crashed; ++i)
    describe_device(report, static_cast<int32_t>(i), devices[i], rows);
  report.has_rows = rows > 0;
  ctl_result_t result = CallNotMade;
  if (Api) ctl_call(lines, result, "ctlClose", Subject::None, 0, Calls.close, Api);
  if (!Crashed) library_close(IntelLibrary);
}
