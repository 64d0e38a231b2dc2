// Simulated Plug and Play layer: the four cfgmgr32.dll calls the monitor makes, over the display
// devices and compute accelerators of the scenario (`display` lines): their IDs, PCI locations and power states. Built as
// cfgmgr32.dll, and as a variant without the property call.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "facade/plug_and_play.h"
#include "tools/drivers/simdrv.h"

namespace {

// Device nodes are small numbers; these are recognisable in the log.
constexpr DWORD FirstNode = 0x1000;

// The devices a query with this filter lists: those of its class (display or compute
// accelerator), all of them without a class filter. Caller holds the lock.
std::wstring id_list(const wchar_t* filter, ULONG flags) {
  std::wstring list;
  const bool any = !(flags & CM_GETIDLIST_FILTER_CLASS);
  const bool display_class = filter && lstrcmpiW(filter, DisplayClass) == 0;
  const bool compute_class = filter && lstrcmpiW(filter, ComputeAcceleratorClass) == 0;
  for (const SimDisplay& display : sim_scenario().displays) {
    if (!any && !(display.compute ? compute_class : display_class)) continue;
    const std::string& id = display.id;
    list.append(id.begin(), id.end());
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  return list;
}

size_t id_count(const std::wstring& list) {
  size_t count = 0;
  for (size_t i = 0; i + 1 < list.size(); ++i)
    if (list[i] == L'\0') ++count;
  return count;
}

// The display position a node stands for, or -1. Caller holds the lock.
int position_of(DWORD node) {
  const size_t position = node - FirstNode;
  return node >= FirstNode && position < sim_scenario().displays.size() ? static_cast<int>(position)
                                                                          : -1;
}

int position_unlocked(DWORD node) {
  sim_lock();
  const int position = position_of(node);
  sim_unlock();
  return position;
}

const char* property_name(const DevicePropertyKey* key) {
  if (!key || !IsEqualGUID(key->fmtid, DeviceProperties)) return "other";
  switch (key->pid) {
    case BusNumberPid: return "BusNumber";
    case AddressPid: return "Address";
    case PowerDataPid: return "PowerData";
    default: return "other";
  }
}

ConfigResult answer_uint32(bool present, uint32_t value, ULONG* type, BYTE* buffer, ULONG* size,
                           char* details, size_t details_size) {
  if (!present) return CR_NO_SUCH_VALUE;
  if (*size < sizeof(value)) {
    *size = sizeof(value);
    return CR_BUFFER_SMALL;
  }
  *type = DEVPROP_TYPE_UINT32;
  *size = sizeof(value);
  memcpy(buffer, &value, sizeof(value));
  sim_append(details, details_size, " out=%u", value);
  return CR_SUCCESS;
}

ConfigResult answer_power(SimDisplay& display, ULONG* type, BYTE* buffer, ULONG* size,
                          char* details, size_t details_size) {
  if (*size < sizeof(CM_POWER_DATA)) {
    *size = sizeof(CM_POWER_DATA);
    return CR_BUFFER_SMALL;
  }
  CM_POWER_DATA power{};
  power.PD_Size = sizeof(power);
  power.PD_MostRecentPowerState = static_cast<DEVICE_POWER_STATE>(sim_next_power_state(display));
  power.PD_Capabilities = 0x1F;
  power.PD_D3Latency = 100;
  power.PD_PowerStateMapping[1] = PowerDeviceD0;
  power.PD_DeepestSystemWake = PowerSystemSleeping3;
  *type = DEVPROP_TYPE_BINARY;
  *size = sizeof(power);
  memcpy(buffer, &power, sizeof(power));
  const int state = power.PD_MostRecentPowerState;
  if (state >= 1 && state <= 4) sim_append(details, details_size, " out=D%d", state - 1);
  else sim_append(details, details_size, " out=%d", state);
  return CR_SUCCESS;
}

}  // namespace

extern "C" DWORD WINAPI CM_Get_Device_ID_List_SizeW(ULONG* length, const wchar_t* filter,
                                                    ULONG flags) {
  char args[256];
  snprintf(args, sizeof(args), "0x%llX,%s,0x%lX", sim_address(length),
           sim_ansi(filter).c_str(), flags);
  return sim_answer("CM_Get_Device_ID_List_SizeW", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (!length) return CR_INVALID_POINTER;
                      *length = static_cast<ULONG>(id_list(filter, flags).size());
                      sim_append(details, size, " out=%lu", *length);
                      return CR_SUCCESS;
                    });
}

extern "C" DWORD WINAPI CM_Get_Device_ID_ListW(const wchar_t* filter, wchar_t* buffer,
                                               ULONG length, ULONG flags) {
  char args[256];
  snprintf(args, sizeof(args), "%s,0x%llX,%lu,0x%lX", sim_ansi(filter).c_str(),
           sim_address(buffer), length, flags);
  return sim_answer("CM_Get_Device_ID_ListW", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (!buffer) return CR_INVALID_POINTER;
                      const std::wstring list = id_list(filter, flags);
                      if (length < list.size()) return CR_BUFFER_SMALL;
                      // Every character, the terminating ones of the list included.
                      list.copy(buffer, list.size());
                      sim_append(details, size, " out=%zu", id_count(list));
                      return CR_SUCCESS;
                    });
}

extern "C" DWORD WINAPI CM_Locate_DevNodeW(DWORD* node, const wchar_t* device_id, ULONG flags) {
  char args[512];
  snprintf(args, sizeof(args), "0x%llX,%s,%lu", sim_address(node), sim_ansi(device_id).c_str(),
           flags);
  return sim_answer("CM_Locate_DevNodeW", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (!node || !device_id) return CR_INVALID_POINTER;
                      const std::vector<SimDisplay>& displays = sim_scenario().displays;
                      for (size_t i = 0; i < displays.size(); ++i) {
                        const std::wstring id(displays[i].id.begin(), displays[i].id.end());
                        if (lstrcmpiW(id.c_str(), device_id) != 0) continue;
                        *node = FirstNode + static_cast<DWORD>(i);
                        sim_append(details, size, " out=0x%lX", *node);
                        return CR_SUCCESS;
                      }
                      return CR_NO_SUCH_DEVNODE;
                    });
}

// Logged and failed under the property's own name (CM_Get_DevNode_PropertyW.PowerData, say), so
// that a scenario can fail the power query alone.
extern "C" DWORD WINAPI CM_Get_DevNode_PropertyW(DWORD node, const DevicePropertyKey* key,
                                                 ULONG* type, BYTE* buffer, ULONG* size,
                                                 ULONG flags) {
  char function[64];
  snprintf(function, sizeof(function), "CM_Get_DevNode_PropertyW.%s", property_name(key));
  char args[256];
  snprintf(args, sizeof(args), "0x%lX,0x%llX,0x%llX,%lu,%lu", node, sim_address(type),
           sim_address(buffer), size ? *size : 0, flags);
  return sim_answer(function, position_unlocked(node), args, sizeof(args),
                    [&](char* details, size_t details_size) {
                      const int position = position_of(node);
                      if (position < 0) return CR_INVALID_DEVNODE;
                      if (!key || !type || !size || (!buffer && *size)) return CR_INVALID_POINTER;
                      SimDisplay& display = sim_scenario().displays[position];
                      const std::string name = property_name(key);
                      if (name == "BusNumber")
                        return answer_uint32(display.has_bus, display.bus, type, buffer, size,
                                             details, details_size);
                      if (name == "Address")
                        return answer_uint32(display.has_address, display.address, type, buffer,
                                             size, details, details_size);
                      if (name == "PowerData")
                        return answer_power(display, type, buffer, size, details, details_size);
                      return CR_NO_SUCH_VALUE;
                    });
}
