// Intel's control library, ControlLib.dll, as far as the monitor uses it: the records it is
// handed, byte for byte, and the functions' types. Every function is exported under its own
// name, __cdecl, and answers a 32-bit result, 0 for success. Shared with the simulated library.
#pragma once

#include <cstddef>
#include <cstdint>

using ctl_result_t = uint32_t;
struct ctl_api_opaque;
struct ctl_device_adapter_opaque;
struct ctl_temp_opaque;
using ctl_api_handle_t = ctl_api_opaque*;
using ctl_device_adapter_handle_t = ctl_device_adapter_opaque*;
using ctl_temp_handle_t = ctl_temp_opaque*;

constexpr ctl_result_t CTL_RESULT_SUCCESS = 0;
// The library does not serve the version asked for: older drivers refuse the newer versions.
constexpr ctl_result_t CTL_RESULT_ERROR_UNSUPPORTED_VERSION = 0x40000009;
// The driver or the session went away: lost, not available, not initialised, an API handle no
// longer valid, a reset required. The monitor starts a new session.
constexpr ctl_result_t CTL_RESULT_ERROR_DEVICE_LOST = 0x40000003;
constexpr ctl_result_t CTL_RESULT_ERROR_NOT_AVAILABLE = 0x40000007;
constexpr ctl_result_t CTL_RESULT_ERROR_UNINITIALIZED = 0x40000008;
constexpr ctl_result_t CTL_RESULT_ERROR_INVALID_API_HANDLE = 0x4000000C;
constexpr ctl_result_t CTL_RESULT_ERROR_RESET_DEVICE_REQUIRED = 0x40000024;
// The GPU cannot answer now: powered down (D3), loading or recovering.
constexpr ctl_result_t CTL_RESULT_ERROR_DEVICE_UNAVAILABLE = 0x40000027;

constexpr uint32_t CTL_APP_VERSION_1_1 = 0x00010001;
constexpr uint32_t CTL_APP_VERSION_1_0 = 0x00010000;
constexpr uint32_t CTL_INIT_FLAG_USE_LEVEL_ZERO = 1;  // telemetry needs it
constexpr uint32_t CTL_DEVICE_TYPE_GRAPHICS = 1;
constexpr uint32_t CTL_ADAPTER_PROPERTY_INTEGRATED = 1;  // bit of graphics_adapter_properties
constexpr uint32_t CTL_PCI_VENDOR_INTEL = 0x8086;
constexpr uint32_t CTL_UNITS_TEMPERATURE_CELSIUS = 5;
constexpr uint32_t CTL_DATA_TYPE_DOUBLE = 9;
constexpr uint32_t CTL_TEMP_SENSORS_GLOBAL = 0;
constexpr uint32_t CTL_TEMP_SENSORS_GPU = 1;
constexpr uint8_t CTL_BDF_NONE = 0xFF;  // all three bytes: the device has no PCI location
constexpr uint32_t CTL_MAX_DEVICE_NAME_LEN = 100;
// The monitor asks for at most this many devices and sensors of a device.
constexpr uint32_t CtlMaxDevices = 64;
constexpr uint32_t CtlMaxSensors = 16;

struct ctl_init_args_t {
  uint32_t Size;  // 36
  uint8_t Version;
  uint32_t AppVersion;
  uint32_t flags;
  uint32_t SupportedVersion;  // written by the library
  uint8_t ApplicationUID[16];
};
static_assert(sizeof(ctl_init_args_t) == 36);
static_assert(offsetof(ctl_init_args_t, AppVersion) == 8);
static_assert(offsetof(ctl_init_args_t, SupportedVersion) == 16);
static_assert(offsetof(ctl_init_args_t, ApplicationUID) == 20);

struct ctl_adapter_bdf_t {
  uint8_t bus;
  uint8_t device;
  uint8_t function;
};

// Version 2 of the adapter properties, 320 bytes; version 0 ends before adapter_bdf.
struct ctl_device_adapter_properties_t {
  uint32_t Size;  // 320
  uint8_t Version;
  void* pDeviceID;          // the caller's buffer for the device's identifier
  uint32_t device_id_size;  // its size, 8
  uint32_t device_type;
  uint32_t supported_subfunction_flags;
  uint64_t driver_version;  // what Windows shows as the driver's version; read by the report only
  uint8_t firmware_version[24];
  uint32_t pci_vendor_id;
  uint8_t reserved_68[20];
  char name[CTL_MAX_DEVICE_NAME_LEN];  // 8-bit, not always terminated
  uint32_t graphics_adapter_properties;
  uint8_t reserved_192[8];
  ctl_adapter_bdf_t adapter_bdf;
  uint8_t reserved_203[117];
};
static_assert(sizeof(ctl_device_adapter_properties_t) == 320);
static_assert(offsetof(ctl_device_adapter_properties_t, pDeviceID) == 8);
static_assert(offsetof(ctl_device_adapter_properties_t, device_id_size) == 16);
static_assert(offsetof(ctl_device_adapter_properties_t, device_type) == 20);
static_assert(offsetof(ctl_device_adapter_properties_t, driver_version) == 32);
static_assert(offsetof(ctl_device_adapter_properties_t, pci_vendor_id) == 64);
static_assert(offsetof(ctl_device_adapter_properties_t, name) == 88);
static_assert(offsetof(ctl_device_adapter_properties_t, graphics_adapter_properties) == 188);
static_assert(offsetof(ctl_device_adapter_properties_t, adapter_bdf) == 200);
constexpr uint8_t CTL_DEVICE_PROPERTIES_VERSION = 2;
constexpr uint32_t CtlDeviceIdSize = 8;

// Readies `properties` for ctlGetDeviceProperties at `version`, the device ID written into
// `identifier`, which must outlive the call; the caller clears pDeviceID after it.
inline void ctl_prepare_properties(ctl_device_adapter_properties_t& properties, uint8_t version,
                                   uint8_t (&identifier)[CtlDeviceIdSize]) {
  properties = ctl_device_adapter_properties_t{};
  properties.Size = sizeof(properties);
  properties.Version = version;
  properties.pDeviceID = identifier;
  properties.device_id_size = sizeof(identifier);
}

struct ctl_oc_telemetry_item_t {
  bool bSupported;
  uint32_t units;
  uint32_t type;
  double value;  // of the type answered; the monitor takes only doubles
};
static_assert(sizeof(ctl_oc_telemetry_item_t) == 24);
static_assert(offsetof(ctl_oc_telemetry_item_t, value) == 16);

// Version 1 of the power telemetry, 1024 bytes, of which the monitor reads the GPU temperature.
struct ctl_power_telemetry_t {
  uint32_t Size;  // 1024
  uint8_t Version;
  uint8_t reserved_5[99];
  ctl_oc_telemetry_item_t gpuCurrentTemperature;
  uint8_t reserved_128[896];
};
static_assert(sizeof(ctl_power_telemetry_t) == 1024);
static_assert(offsetof(ctl_power_telemetry_t, gpuCurrentTemperature) == 104);
constexpr uint8_t CTL_POWER_TELEMETRY_VERSION = 1;

struct ctl_temp_properties_t {
  uint32_t Size;  // 24
  uint8_t Version;
  uint32_t type;  // CTL_TEMP_SENSORS_GPU, CTL_TEMP_SENSORS_GLOBAL, ...
  uint8_t reserved_12[12];
};
static_assert(sizeof(ctl_temp_properties_t) == 24);
static_assert(offsetof(ctl_temp_properties_t, type) == 8);

using ctlInit_t = ctl_result_t(__cdecl*)(ctl_init_args_t* args, ctl_api_handle_t* api);
using ctlClose_t = ctl_result_t(__cdecl*)(ctl_api_handle_t api);
using ctlEnumerateDevices_t = ctl_result_t(__cdecl*)(ctl_api_handle_t api, uint32_t* count,
                                                     ctl_device_adapter_handle_t* devices);
using ctlGetDeviceProperties_t = ctl_result_t(__cdecl*)(
    ctl_device_adapter_handle_t device, ctl_device_adapter_properties_t* properties);
using ctlPowerTelemetryGet_t = ctl_result_t(__cdecl*)(ctl_device_adapter_handle_t device,
                                                      ctl_power_telemetry_t* telemetry);
using ctlEnumTemperatureSensors_t = ctl_result_t(__cdecl*)(ctl_device_adapter_handle_t device,
                                                           uint32_t* count,
                                                           ctl_temp_handle_t* sensors);
using ctlTemperatureGetProperties_t = ctl_result_t(__cdecl*)(ctl_temp_handle_t sensor,
                                                             ctl_temp_properties_t* properties);
using ctlTemperatureGetState_t = ctl_result_t(__cdecl*)(ctl_temp_handle_t sensor, double* celsius);

// Each export given its type once, when the library is set up; the three sensor calls are
// optional and serve only as a set.
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
