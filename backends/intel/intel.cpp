#include "backends/intel/intel.h"

#include <cstring>

#include "app/program.h"
#include "app/recovery.h"
#include "app/rows.h"
#include "backends/intel/ctl.h"
#include "facade/library.h"
#include "facade/objects.h"

namespace {

enum class SensorLookup : uint8_t { NotYet, Found, None };

struct IntelRow {
  ctl_device_adapter_handle_t device;  // null while the GPU is missing after a recovery
  TextVariable name;
  bool has_location;
  ctl_adapter_bdf_t location;
  SensorLookup lookup;
  ctl_temp_handle_t sensor;
  char name_as_listed[CTL_MAX_DEVICE_NAME_LEN];  // 8-bit, to find the GPU again by its name
};

// A GPU in a new listing of the devices, during a recovery.
struct Candidate {
  ctl_device_adapter_handle_t device;
  char name[CTL_MAX_DEVICE_NAME_LEN];
};

enum class Found { Reading, PoweredDown, NoReading, DriverAway };

// What a call that was not made, or faulted, answers: a failure unlike the two the monitor tells
// apart (an older version, a GPU unavailable).
constexpr ctl_result_t CallNotMade = 0x4000FFFF;

// The library's number: the vendor library where Intel's backend was chosen, another beside ADL.
ObjectNumber Library = VendorLibrary;
ControlLibrary Calls;
ctl_api_handle_t Api;  // null while no session is open
IntelRow* Rows;        // RowTotal records from set-up; the sensor fields are the worker's
int32_t RowTotal;
RecoverySchedule Recovery;
bool AwayInPass;  // the driver was away when the pass began: nothing is asked of it in this pass
// The worker's, during a recovery.
Candidate Candidates[CtlMaxDevices];
GpuPlace CandidatePlaces[CtlMaxDevices];

// Answers that mean the driver went away (device lost, reset, removed, updated), not that this
// reading failed.
bool driver_went_away(ctl_result_t result) {
  switch (result) {
    case CTL_RESULT_ERROR_DEVICE_LOST:
    case CTL_RESULT_ERROR_NOT_AVAILABLE:
    case CTL_RESULT_ERROR_UNINITIALIZED:
    case CTL_RESULT_ERROR_INVALID_API_HANDLE:
    case CTL_RESULT_ERROR_RESET_DEVICE_REQUIRED:
      return true;
    default:
      return false;
  }
}

template <typename Function>
Function find(const wchar_t* name) {
  return export_as<Function>(library_find(Library, name));
}

// Calls into the library under guard: a fault answers CallNotMade, and from then on nothing
// calls the library again.
template <typename Function, typename... Arguments>
ctl_result_t call(Function function, Arguments... arguments) {
  ctl_result_t result = CallNotMade;
  guarded_call(library_module(Library), result, function, arguments...);
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
  ctl_prepare_properties(properties, version, identifier);
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
  IntelRow& row = Rows[RowTotal++];
  row.device = device;
  row.has_location = has_location;
  row.location = properties.adapter_bdf;
  std::memcpy(row.name_as_listed, properties.name, sizeof(row.name_as_listed));
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
  RowTotal = 0;
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
  if (driver_went_away(result)) return Found::DriverAway;
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
  if (driver_went_away(result)) return Found::DriverAway;
  if (result != CTL_RESULT_SUCCESS) count = 0;
  ctl_temp_handle_t gpu = nullptr;
  ctl_temp_handle_t global = nullptr;
  for (uint32_t i = 0; i < count && !gpu; ++i) {
    ctl_temp_properties_t properties{};
    properties.Size = sizeof(properties);
    result = call(Calls.sensor_properties, sensors[i], &properties);
    if (result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE) return Found::PoweredDown;
    if (driver_went_away(result)) return Found::DriverAway;
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
    if (found == Found::PoweredDown || found == Found::DriverAway) return found;
  }
  if (row.lookup != SensorLookup::Found) return Found::NoReading;
  double value = 0;
  const ctl_result_t result = call(Calls.sensor_state, row.sensor, &value);
  if (result == CTL_RESULT_ERROR_DEVICE_UNAVAILABLE) return Found::PoweredDown;
  if (driver_went_away(result)) return Found::DriverAway;
  if (result != CTL_RESULT_SUCCESS || !plausible(value)) return Found::NoReading;
  celsius = value;
  return Found::Reading;
}

bool given_up() { return module_given_up(library_module(Library)); }

// The row's GPU: its telemetry, else a temperature sensor. Nothing is asked of a GPU that is
// missing, or of the driver while it is away.
Found read_device(int32_t index, ctl_power_telemetry_t& telemetry, double& celsius) {
  IntelRow& row = Rows[index];
  if (AwayInPass || !row.device) return Found::NoReading;
  Found found = read_telemetry(row, telemetry, celsius);
  if (found == Found::NoReading && Calls.enumerate_sensors) found = read_sensor(row, celsius);
  if (found == Found::DriverAway) recovery_driver_away(Recovery);
  if (found == Found::Reading) recovery_reading_came(Recovery);
  return found;
}

// A powered-down GPU is not asked at all: any call would wake it. False once a call into the
// library has faulted: it is never called again.
bool read_row(int32_t index, ctl_power_telemetry_t& telemetry) {
  if (row_asleep(index)) return true;
  double celsius = 0;
  const Found found = read_device(index, telemetry, celsius);
  if (given_up()) return false;
  // The rest of the pass goes on, as for any row without a reading.
  if (found == Found::Reading) row_show_reading(index, static_cast<int32_t>(celsius));
  else if (found == Found::PoweredDown) row_found_powered_down(index);
  else row_found_no_reading(index);
  return true;
}

// One pass over the rows; false once the library has faulted.
bool read_rows(ctl_power_telemetry_t& telemetry) {
  for (int32_t i = 0; i < RowTotal; ++i)
    if (!read_row(i, telemetry)) return false;
  return true;
}

void locate_rows() {
  if (!rows_watch(RowTotal)) return;
  for (int32_t i = 0; i < RowTotal; ++i)
    if (Rows[i].has_location)
      row_locate(i, Rows[i].location.bus, Rows[i].location.device, Rows[i].location.function);
}

GpuPlace place_of(bool has_location, const ctl_adapter_bdf_t& at, const char* name) {
  return GpuPlace{has_location, at.bus, at.device, at.function, name, CTL_MAX_DEVICE_NAME_LEN,
                  nullptr, 0};
}

// The discrete Intel GPUs the library lists now, as candidates for the rows; their count.
int32_t list_candidates() {
  ctl_device_adapter_handle_t devices[CtlMaxDevices] = {};
  const uint32_t count = list_devices(devices);
  int32_t found = 0;
  for (uint32_t i = 0; i < count; ++i) {
    ctl_device_adapter_properties_t properties;
    bool has_location = false;
    if (!read_properties(devices[i], properties, has_location) ||
        !is_discrete_intel_gpu(properties))
      continue;
    Candidate& candidate = Candidates[found];
    candidate.device = devices[i];
    std::memcpy(candidate.name, properties.name, sizeof(candidate.name));
    CandidatePlaces[found] = place_of(has_location, properties.adapter_bdf, candidate.name);
    ++found;
  }
  return found;
}

// Gives every row its GPU's handle in a new listing, or none; the sensors are looked up anew.
// Nothing changes when the library lists no GPU.
void bind_rows() {
  const int32_t found = list_candidates();
  if (found == 0) return;
  GpuPlace rows[CtlMaxDevices];
  int32_t match[CtlMaxDevices];
  for (int32_t i = 0; i < RowTotal; ++i)
    rows[i] = place_of(Rows[i].has_location, Rows[i].location, Rows[i].name_as_listed);
  recovery_match_rows(rows, RowTotal, CandidatePlaces, found, match);
  int32_t missing = 0;
  for (int32_t i = 0; i < RowTotal; ++i) {
    IntelRow& row = Rows[i];
    row.device = match[i] >= 0 ? Candidates[match[i]].device : nullptr;
    row.lookup = SensorLookup::NotYet;
    row.sensor = nullptr;
    if (!row.device) ++missing;
  }
  recovery_rows_bound(Recovery, missing);
}

// A new session in place of the old one, and the devices enumerated again.
void reinitialise() {
  close_session();
  if (!given_up() && open_session()) bind_rows();
}

// Loads the library under `number`, from the system folder only, and opens a session.
bool open_library(ObjectNumber number) {
  Library = number;
  if (library_open_system(number, L"ControlLib.dll") && resolve_calls() && open_session())
    return true;
  library_close(number);
  return false;
}

void take_recovery_step() {
  const RecoveryStep step = recovery_pass_begins(Recovery);
  if (step == RecoveryStep::Reinitialise) reinitialise();
  else if (step == RecoveryStep::LookForMissing) bind_rows();
  AwayInPass = recovery_driver_is_away(Recovery);
}

}  // namespace

bool intel_setup() {
  if (!open_library(VendorLibrary)) return false;
  find_rows();
  State.GpuCount = RowTotal;
  if (RowTotal == 0) {
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
    take_recovery_step();
    if (given_up() || !read_rows(telemetry)) break;
    rows_pass_ended();
    delay_ms(1000);
  }
  rows_end_readings();
  return 0;
}

void intel_shutdown() { close_session(); }

void intel_append_name(int32_t row) {
  if (row >= 0 && row < RowTotal) text_append(Rows[row].name);
}

bool intel_open_for(ObjectNumber library, const GpuPlace* places, int32_t count) {
  if (count <= 0 || !open_library(library)) return false;
  Rows = static_cast<IntelRow*>(heap_alloc(sizeof(IntelRow) * static_cast<size_t>(count)));
  if (!Rows) {
    intel_shutdown();
    library_close(library);
    return false;
  }
  RowTotal = count;
  for (int32_t i = 0; i < count; ++i) {
    IntelRow& row = Rows[i];
    row.has_location = places[i].located;
    row.location = ctl_adapter_bdf_t{static_cast<uint8_t>(places[i].bus),
                                     static_cast<uint8_t>(places[i].device),
                                     static_cast<uint8_t>(places[i].function)};
    const size_t name_size = places[i].name_size < sizeof(row.name_as_listed)
                                 ? places[i].name_size
                                 : sizeof(row.name_as_listed);
    std::memcpy(row.name_as_listed, places[i].name, name_size);
  }
  bind_rows();
  return true;
}

void intel_pass_begins() { take_recovery_step(); }

IntelReading intel_read(int32_t index, ctl_power_telemetry_t& telemetry, int32_t& celsius) {
  if (index < 0 || index >= RowTotal) return IntelReading::NoReading;
  double value = 0;
  const Found found = read_device(index, telemetry, value);
  if (found == Found::Reading) {
    celsius = static_cast<int32_t>(value);
    return IntelReading::Read;
  }
  return found == Found::PoweredDown ? IntelReading::PoweredDown : IntelReading::NoReading;
}

bool intel_given_up() { return given_up(); }
