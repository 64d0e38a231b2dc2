#include <cwchar>

#include "facade/library.h"
#include "facade/objects.h"
#include "facade/plug_and_play.h"

namespace {

struct DisplayDevice {
  DWORD node;
  uint32_t bus;
  uint32_t address;
};

bool Loaded;
PlugAndPlay Calls;  // all four set, or all null
DisplayDevice* Devices;
int32_t DeviceCount;

// From the system folder only: a cfgmgr32.dll beside the program or in the working directory is
// never loaded. Kept for the rest of the run and never freed, so that no code of it runs at a
// shutdown that had to cut the worker off, wherever the worker stood.
bool load_calls() {
  if (Loaded) return Calls.property != nullptr;
  Loaded = true;
  const HMODULE module = library_load_system(L"cfgmgr32.dll");
  if (!module) return false;
  const auto find = [module](const char* name) { return GetProcAddress(module, name); };
  const PlugAndPlay calls{export_as<DeviceListSize>(find("CM_Get_Device_ID_List_SizeW")),
                          export_as<DeviceList>(find("CM_Get_Device_ID_ListW")),
                          export_as<LocateNode>(find("CM_Locate_DevNodeW")),
                          export_as<NodeProperty>(find("CM_Get_DevNode_PropertyW"))};
  if (calls.list_size && calls.list && calls.locate && calls.property) Calls = calls;
  return Calls.property != nullptr;
}

bool read_uint32(DWORD node, const DevicePropertyKey& key, uint32_t& value) {
  ULONG type = 0;
  ULONG size = sizeof(value);
  return Calls.property(node, &key, &type, reinterpret_cast<BYTE*>(&value), &size, 0) ==
             CR_SUCCESS &&
         type == DEVPROP_TYPE_UINT32 && size == sizeof(value);
}

bool read_device(const wchar_t* id, DisplayDevice& device) {
  return Calls.locate(&device.node, id, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS &&
         read_uint32(device.node, BusNumberKey, device.bus) &&
         read_uint32(device.node, AddressKey, device.address);
}

int32_t count_ids(const wchar_t* ids) {
  int32_t count = 0;
  for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) ++count;
  return count;
}

// Every listed device with its location, or false: a device whose location cannot be read
// could be the second device at a row's location, so one failure leaves the table empty.
bool read_devices(const wchar_t* ids) {
  const int32_t count = count_ids(ids);
  auto* devices = static_cast<DisplayDevice*>(heap_alloc(sizeof(DisplayDevice) * (count + 1)));
  if (!devices) return false;
  int32_t read = 0;
  for (const wchar_t* id = ids; *id && read_device(id, devices[read]); id += wcslen(id) + 1)
    ++read;
  if (read != count) {
    heap_release(devices);
    return false;
  }
  Devices = devices;
  DeviceCount = count;
  return true;
}

bool list_devices() {
  constexpr ULONG flags = CM_GETIDLIST_FILTER_CLASS | CM_GETIDLIST_FILTER_PRESENT;
  ULONG length = 0;
  if (Calls.list_size(&length, DisplayClass, flags) != CR_SUCCESS || length == 0) return false;
  // Two zeroed characters beyond what the list may fill: it ends in two zeros whatever it holds.
  const size_t bytes = (static_cast<size_t>(length) + 2) * sizeof(wchar_t);
  auto* ids = static_cast<wchar_t*>(heap_alloc(bytes));
  if (!ids) return false;
  const bool listed =
      Calls.list(DisplayClass, ids, length, flags) == CR_SUCCESS && read_devices(ids);
  heap_release(ids);
  return listed;
}

void forget_devices() {
  heap_release(Devices);
  Devices = nullptr;
  DeviceCount = 0;
}

}  // namespace

bool display_devices_list() {
  forget_devices();
  return load_calls() && list_devices() && DeviceCount > 0;
}

bool display_device_at(uint32_t bus, uint32_t device, uint32_t function, uint32_t& node) {
  const uint32_t address = (device << 16) | function;
  int32_t matches = 0;
  for (int32_t i = 0; i < DeviceCount; ++i) {
    if (Devices[i].bus != bus || Devices[i].address != address) continue;
    node = Devices[i].node;
    ++matches;
  }
  return matches == 1;
}

bool display_device_powered_down(uint32_t node) {
  if (!Calls.property) return false;
  CM_POWER_DATA power{};
  ULONG type = 0;
  ULONG size = sizeof(power);
  return Calls.property(node, &PowerDataKey, &type, reinterpret_cast<BYTE*>(&power), &size, 0) ==
             CR_SUCCESS &&
         type == DEVPROP_TYPE_BINARY && size >= offsetof(CM_POWER_DATA, PD_Capabilities) &&
         power.PD_MostRecentPowerState == PowerDeviceD3;
}
