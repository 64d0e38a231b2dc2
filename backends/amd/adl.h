// The few ADL records the AMD backend uses, declared from ADL's published Windows layout.
#pragma once

#include <cstddef>

constexpr int ADL_MAX_PATH = 256;

#pragma pack(push, 1)
struct AdapterInfo {
  int iSize;
  int iAdapterIndex;
  char strUDID[ADL_MAX_PATH];
  int iBusNumber;
  int iDeviceNumber;
  int iFunctionNumber;
  int iVendorID;
  char strAdapterName[ADL_MAX_PATH];
  char strDisplayName[ADL_MAX_PATH];
  int iPresent;
  int iExist;
  char strDriverPath[ADL_MAX_PATH];
  char strDriverPathExt[ADL_MAX_PATH];
  char strPNPString[ADL_MAX_PATH];
  int iOSDisplayIndex;
};

struct ADLTemperature {
  int iSize;
  int iTemperature;  // thousandths of a degree Celsius
};

// One sensor of the performance log of ADL2. A sensor the adapter lacks answers supported 0.
struct ADLSingleSensorData {
  int supported;
  int value;
};

constexpr int ADL_PMLOG_MAX_SENSORS = 256;

struct ADLPMLogDataOutput {
  int size;
  ADLSingleSensorData sensors[ADL_PMLOG_MAX_SENSORS];
};
#pragma pack(pop)

// Temperature sensors of the performance log, in whole degrees Celsius.
constexpr int PMLOG_TEMPERATURE_EDGE = 8;
constexpr int PMLOG_TEMPERATURE_GFX = 28;
constexpr int PMLOG_TEMPERATURE_SOC = 29;
// The edge sensor of ADL2_OverdriveN_Temperature_Get, in thousandths of a degree Celsius.
constexpr int ODN_TEMPERATURE_EDGE = 1;

static_assert(sizeof(AdapterInfo) == 1572);
static_assert(offsetof(AdapterInfo, strUDID) == 8);
static_assert(offsetof(AdapterInfo, iBusNumber) == 264);
static_assert(offsetof(AdapterInfo, iVendorID) == 276);
static_assert(offsetof(AdapterInfo, strAdapterName) == 280);
static_assert(offsetof(AdapterInfo, strDisplayName) == 536);
static_assert(offsetof(AdapterInfo, iPresent) == 792);
static_assert(offsetof(AdapterInfo, strDriverPath) == 800);
static_assert(offsetof(AdapterInfo, strDriverPathExt) == 1056);
static_assert(offsetof(AdapterInfo, strPNPString) == 1312);
static_assert(offsetof(AdapterInfo, iOSDisplayIndex) == 1568);
static_assert(sizeof(ADLTemperature) == 8);
static_assert(sizeof(ADLSingleSensorData) == 8);
static_assert(sizeof(ADLPMLogDataOutput) == 2052);
