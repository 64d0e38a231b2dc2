#include <cwchar>

#include "facade/library.h"
#include "facade/objects.h"
#include "facade/plug_and_play.h"

namespace {

struct DisplayDevice {
  DWORD node;
  uint32_t bus;
  uint32_t address;
  bool nvidia;
};

constexpr wchar_t NvidiaPrefix[] = L"PCI\\VEN_10DE";

bool Loaded;
bool Listed;
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

// Instance IDs begin with the bus and the PCI vendor, in upper or lower case.
bool is_nvidia(const wchar_t* id) {
  for (size_t i = 0; NvidiaPrefix[i]; ++i)
    if ((id[i] >= L'a' && id[i] <= L'z' ? id[i] - (L'a' - L'A') : id[i]) != NvidiaPrefix[i])
      return false;
  return true;
}

int32_t count_ids(const wchar_t* ids) {
  int32_t count = 0;
  for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) ++count;
  return count;
}

// Every listed device (only NVIDIA's, with `nvidia_only`) with its location into a new table;
// the number, or -1: a device whose location cannot be read could be the second device at a row's
// location, so one failure leaves no table.
int32_t read_devices(const wchar_t* ids, bool nvidia_only, DisplayDevice*& table) {
  auto* devices =
      static_cast<DisplayDevice*>(heap_alloc(sizeof(DisplayDevice) * (count_ids(ids) + 1)));
  if (!devices) return -1;
  int32_t read = 0;
  for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) {
    const bool nvidia = is_nvidia(id);
    if (nvidia_only && !nvidia) continue;
    if (!read_device(id, devices[read])) {
      heap_release(devices);
      return -1;
    }
    devices[read++].nvidia = nvidia;
  }
  table = devices;
  return read;
}

// The present devices of the class with their locations; the number, or -1.
int32_t list_devices(const wchar_t* device_class, bool nvidia_only, DisplayDevice*& table) {
  constexpr ULONG flags = CM_GETIDLIST_FILTER_CLASS | CM_GETIDLIST_FILTER_PRESENT;
  ULONG length = 0;
  if (Calls.list_size(&length, device_class, flags) != CR_SUCCESS || length == 0) return -1;
  // Two zeroed characters beyond what the list may fill: it ends in two zeros whatever it holds.
  const size_t bytes = (static_cast<size_t>(length) + 2) * sizeof(wchar_t);
  auto* ids = static_cast<wchar_t*>(heap_alloc(bytes));
  if (!ids) return -1;
  const int32_t count = Calls.list(device_class, ids, length, flags) == CR_SUCCESS
                            ? read_devices(ids, nvidia_only, table)
                            : -1;
  heap_release(ids);
  return count;
}

PciLocation location_of(const DisplayDevice& device) {
  return PciLocation{device.bus, device.address >> 16, device.address & 0xFFFF};
}

}  // namespace

bool display_devices_list() {
  if (!Listed && load_calls()) {
    const int32_t count = list_devices(DisplayClass, false, Devices);
    DeviceCount = count > 0 ? count : 0;
  }
  Listed = true;
  return DeviceCount > 0;
}

int32_t nvidia_devices_list(PciLocation* found, int32_t most) {
  display_devices_list();
  int32_t count = 0;
  for (int32_t i = 0; i < DeviceCount && count < most; ++i)
    if (Devices[i].nvidia) found[count++] = location_of(Devices[i]);
  DisplayDevice* accelerators = nullptr;
  const int32_t listed = Calls.property ? list_devices(ComputeAcceleratorClass, true, accelerators)
                                        : 0;
  for (int32_t i = 0; i < listed && count < most; ++i) found[count++] = location_of(accelerators[i]);
  heap_release(accelerators);
  return count;
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
