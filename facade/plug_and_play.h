// The few records, constants and calls of Windows' Plug and Play layer (cfgmgr32.dll) that the
// display-devices service uses; shared with the simulated layer of the tests.
#pragma once

#include <windows.h>

#include <cstddef>

struct DevicePropertyKey {
  GUID fmtid;
  ULONG pid;
};

using ConfigResult = DWORD;
using DeviceListSize = ConfigResult(WINAPI*)(ULONG* length, const wchar_t* filter, ULONG flags);
using DeviceList = ConfigResult(WINAPI*)(const wchar_t* filter, wchar_t* buffer, ULONG length,
                                         ULONG flags);
using LocateNode = ConfigResult(WINAPI*)(DWORD* node, const wchar_t* device_id, ULONG flags);
using NodeProperty = ConfigResult(WINAPI*)(DWORD node, const DevicePropertyKey* key, ULONG* type,
                                           BYTE* buffer, ULONG* size, ULONG flags);

// The four calls, each given its type once.
struct PlugAndPlay {
  DeviceListSize list_size;
  DeviceList list;
  LocateNode locate;
  NodeProperty property;
};

constexpr ConfigResult CR_SUCCESS = 0x00;
constexpr ConfigResult CR_INVALID_POINTER = 0x03;
constexpr ConfigResult CR_INVALID_DEVNODE = 0x05;
constexpr ConfigResult CR_NO_SUCH_DEVNODE = 0x0D;
constexpr ConfigResult CR_BUFFER_SMALL = 0x1A;
constexpr ConfigResult CR_NO_SUCH_VALUE = 0x25;
constexpr ULONG CM_GETIDLIST_FILTER_PRESENT = 0x100;
constexpr ULONG CM_GETIDLIST_FILTER_CLASS = 0x200;
constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0;
constexpr ULONG DEVPROP_TYPE_UINT32 = 0x7;
constexpr ULONG DEVPROP_TYPE_BINARY = 0x1003;

// The display adapters' device class, as the list call takes it for a filter.
constexpr wchar_t DisplayClass[] = L"{4d36e968-e325-11ce-bfc1-08002be10318}";
// Compute accelerators, NVIDIA's compute GPUs in MCDM mode among them.
constexpr wchar_t ComputeAcceleratorClass[] = L"{f01a9d53-3ff6-48d2-9f97-c8a7004be10c}";
constexpr GUID DeviceProperties = {
    0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};
constexpr ULONG BusNumberPid = 23;
constexpr ULONG AddressPid = 30;  // (device << 16) | function
constexpr ULONG PowerDataPid = 32;
constexpr DevicePropertyKey BusNumberKey{DeviceProperties, BusNumberPid};
constexpr DevicePropertyKey AddressKey{DeviceProperties, AddressPid};
constexpr DevicePropertyKey PowerDataKey{DeviceProperties, PowerDataPid};

// CM_POWER_DATA and the device power states come with <windows.h>.
static_assert(sizeof(CM_POWER_DATA) == 56);
static_assert(offsetof(CM_POWER_DATA, PD_MostRecentPowerState) == 4);
