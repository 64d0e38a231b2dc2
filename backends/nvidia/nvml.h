// The few types, records and calls of NVIDIA's management library (nvml.dll, which the driver
// installs in the system folder) that the monitor uses for compute GPUs NVAPI does not list. Plain
// C calls, each taking at most three integer or pointer arguments; every one answers an
// nvmlReturn_t.
#pragma once

#include <cstddef>
#include <cstdint>

using nvmlReturn_t = int32_t;
struct nvmlDeviceOpaque;
using nvmlDevice_t = nvmlDeviceOpaque*;
using nvmlDriverModel_t = int32_t;
using nvmlTemperatureSensors_t = int32_t;

constexpr nvmlReturn_t NVML_SUCCESS = 0;
constexpr nvmlReturn_t NVML_ERROR_UNINITIALIZED = 1;
constexpr nvmlReturn_t NVML_ERROR_DRIVER_NOT_LOADED = 9;
constexpr nvmlReturn_t NVML_ERROR_GPU_IS_LOST = 15;

constexpr nvmlDriverModel_t NVML_DRIVER_WDDM = 0;
constexpr nvmlDriverModel_t NVML_DRIVER_WDM = 1;  // TCC: compute only, no display
constexpr nvmlDriverModel_t NVML_DRIVER_MCDM = 2;
constexpr nvmlTemperatureSensors_t NVML_TEMPERATURE_GPU = 0;

constexpr unsigned NvmlNameSize = 96;

// nvmlPciInfo_t as nvmlDeviceGetPciInfo_v3 fills it, 68 bytes.
struct nvmlPciInfo_t {
  char busIdLegacy[16];
  unsigned domain;
  unsigned bus;
  unsigned device;
  unsigned pciDeviceId;      // device id << 16 | vendor id
  unsigned pciSubSystemId;
  char busId[32];            // "domain:bus:device.function" in hexadecimal
};
static_assert(sizeof(nvmlPciInfo_t) == 68);
static_assert(offsetof(nvmlPciInfo_t, bus) == 20);
static_assert(offsetof(nvmlPciInfo_t, busId) == 36);

// The functions used, each by its export name in NvmlExports; their parameters, from NVML's
// reference:
enum NvmlFunction : uint8_t {
  NvmlInit,               // nvmlInit_v2(void)
  NvmlShutdown,           // nvmlShutdown(void): one for each successful initialise
  NvmlDeviceCount,        // nvmlDeviceGetCount_v2(unsigned* count)
  NvmlDeviceHandle,       // nvmlDeviceGetHandleByIndex_v2(unsigned index, nvmlDevice_t* device)
  NvmlDevicePciInfo,      // nvmlDeviceGetPciInfo_v3(nvmlDevice_t, nvmlPciInfo_t*)
  NvmlDeviceName,         // nvmlDeviceGetName(nvmlDevice_t, char* name, unsigned length)
  NvmlDeviceDriverModel,  // nvmlDeviceGetDriverModel(nvmlDevice_t, nvmlDriverModel_t* current,
                          //                          nvmlDriverModel_t* pending): Windows only
  NvmlDeviceTemperature,  // nvmlDeviceGetTemperature(nvmlDevice_t, nvmlTemperatureSensors_t,
                          //                          unsigned* temperature): whole degrees
  NvmlFunctionCount
};

inline constexpr const char* NvmlExports[NvmlFunctionCount] = {
    "nvmlInit_v2",
    "nvmlShutdown",
    "nvmlDeviceGetCount_v2",
    "nvmlDeviceGetHandleByIndex_v2",
    "nvmlDeviceGetPciInfo_v3",
    "nvmlDeviceGetName",
    "nvmlDeviceGetDriverModel",
    "nvmlDeviceGetTemperature",
};
