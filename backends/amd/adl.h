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
#pragma pack(pop)

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
