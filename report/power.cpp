#include <cwchar>
#include <vector>

#include "facade/guard.h"
#include "facade/library.h"
#include "backends/nvidia/nvml_rows.h"
#include "facade/plug_and_play.h"
#include "report/report.h"

namespace {

constexpr ULONG ListFlags = CM_GETIDLIST_FILTER_CLASS | CM_GETIDLIST_FILTER_PRESENT;

// The gathering thread's: the monitor lists the devices once before its readings, so each
// vendor's power checks begin with a listing of their own.
thread_local bool Listed;

HMODULE plug_and_play() {
  static const HMODULE module = library_load_system(L"cfgmgr32.dll");
  return module;
}

bool resolve(HMODULE module, PlugAndPlay& calls) {
  const auto find = [module](const char* name) { return GetProcAddress(module, name); };
  calls = PlugAndPlay{export_as<DeviceListSize>(find("CM_Get_Device_ID_List_SizeW")),
                      export_as<DeviceList>(find("CM_Get_Device_ID_ListW")),
                      export_as<LocateNode>(find("CM_Locate_DevNodeW")),
                      export_as<NodeProperty>(find("CM_Get_DevNode_PropertyW"))};
  return calls.list_size && calls.list && calls.locate && calls.property;
}

const char* state_name(DEVICE_POWER_STATE state) {
  switch (state) {
    case PowerDeviceD0: return "D0";
    case PowerDeviceD1: return "D1";
    case PowerDeviceD2: return "D2";
    case PowerDeviceD3: return "D3";
    default: return nullptr;
  }
}

// One property of a device; the call's result, or 0xFFFFFFFF when it crashed.
ConfigResult read_property(const PlugAndPlay& calls, DWORD node, const DevicePropertyKey& key,
                           const char* function, int32_t display, BYTE* buffer, ULONG& size,
                           ULONG& type) {
  ConfigResult result = 0xFFFFFFFF;
  call_begin(function, Subject::Display, display);
  guarded_call(plug_and_play(), result, calls.property, node, &key, &type, buffer, &size, 0UL);
  call_end();
  return result;
}

// A location property as the scenario writes it: the number, `none` when the device has none.
bool describe_location(std::string& lines, const PlugAndPlay& calls, DWORD node, int32_t display,
                       const DevicePropertyKey& key, const char* function, const char* word,
                       std::string& failure) {
  uint32_t value = 0;
  ULONG size = sizeof(value);
  ULONG type = 0;
  const ConfigResult result = read_property(calls, node, key, function, display,
                                            reinterpret_cast<BYTE*>(&value), size, type);
  if (call_crashed(lines, plug_and_play())) return false;
  if (result == CR_NO_SUCH_VALUE) append(lines, " %s=none", word);
  else if (result != CR_SUCCESS) append(failure, "fail %s=%lu display=%d\n", function, result, display);
  else append(lines, " %s=%u", word, value);
  return true;
}

bool describe_power(std::string& lines, const PlugAndPlay& calls, DWORD node, int32_t display,
                    std::string& failure) {
  CM_POWER_DATA power{};
  ULONG size = sizeof(power);
  ULONG type = 0;
  const char* function = "CM_Get_DevNode_PropertyW.PowerData";
  const ConfigResult result = read_property(calls, node, PowerDataKey, function, display,
                                            reinterpret_cast<BYTE*>(&power), size, type);
  if (call_crashed(lines, plug_and_play())) return false;
  if (result != CR_SUCCESS) {
    append(failure, "fail %s=%lu display=%d\n", function, result, display);
    return true;
  }
  const char* state = state_name(power.PD_MostRecentPowerState);
  if (state) append(lines, " power=%s", state);
  else append(lines, " power=%d", static_cast<int>(power.PD_MostRecentPowerState));
  return true;
}

// One `display` line: its instance ID, bus, address and power state (a compute accelerator's
// power the monitor never asks); false after a crash.
bool describe_device(std::string& lines, const PlugAndPlay& calls, const wchar_t* id,
                     int32_t display, bool compute) {
  const int size = WideCharToMultiByte(CP_ACP, 0, id, -1, nullptr, 0, nullptr, nullptr);
  std::string id8(size > 0 ? static_cast<size_t>(size) : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, id, -1, id8.data(), size, nullptr, nullptr);
  DWORD node = 0;
  ConfigResult located = 0xFFFFFFFF;
  call_begin("CM_Locate_DevNodeW", Subject::Display, display);
  guarded_call(plug_and_play(), located, calls.locate, &node, id, CM_LOCATE_DEVNODE_NORMAL);
  call_end();
  if (call_crashed(lines, plug_and_play())) return false;
  append(lines, "display id=%s", quoted(id8.c_str(), field_length(id8.c_str(), id8.size())).c_str());
  if (compute) lines += " class=compute";
  if (located != CR_SUCCESS) {
    append(lines, "\nfail CM_Locate_DevNodeW=%lu\n", located);
    return true;
  }
  std::string failure;
  const bool described =
      describe_location(lines, calls, node, display, BusNumberKey,
                        "CM_Get_DevNode_PropertyW.BusNumber", "bus", failure) &&
      describe_location(lines, calls, node, display, AddressKey, "CM_Get_DevNode_PropertyW.Address",
                        "address", failure) &&
      (compute || describe_power(lines, calls, node, display, failure));
  // After a fault the line was ended by the comment naming it.
  if (described) lines += '\n';
  lines += failure;
  return described;
}

// A list call's failure: a `fail` line for the display class; for the compute accelerators a
// comment only, since the scenario's line would fail the display class's list too.
void note_list_failure(std::string& lines, bool compute, const char* function,
                       ConfigResult result) {
  if (!compute) append(lines, "fail %s=%lu\n", function, result);
  else comment(lines, "%s, compute accelerators: %lu", function, result);
}

// The present devices' IDs of the class, or empty when the list cannot be had.
std::vector<wchar_t> list_ids(std::string& lines, const PlugAndPlay& calls, bool compute) {
  const wchar_t* device_class = compute ? ComputeAcceleratorClass : DisplayClass;
  ULONG length = 0;
  ConfigResult result = 0xFFFFFFFF;
  call_begin("CM_Get_Device_ID_List_SizeW");
  guarded_call(plug_and_play(), result, calls.list_size, &length, device_class, ListFlags);
  call_end();
  if (call_crashed(lines, plug_and_play())) return {};
  if (result != CR_SUCCESS)
    note_list_failure(lines, compute, "CM_Get_Device_ID_List_SizeW", result);
  if (result != CR_SUCCESS || length == 0) return {};
  std::vector<wchar_t> ids(static_cast<size_t>(length) + 2, L'\0');
  call_begin("CM_Get_Device_ID_ListW");
  guarded_call(plug_and_play(), result, calls.list, device_class, ids.data(), length, ListFlags);
  call_end();
  if (call_crashed(lines, plug_and_play())) return {};
  if (result == CR_SUCCESS) return ids;
  note_list_failure(lines, compute, "CM_Get_Device_ID_ListW", result);
  return {};
}

// Each device of the class (display, or compute accelerators) as a `display` line, numbered on
// from `display`; false after a crash.
bool describe_class(std::string& lines, const PlugAndPlay& calls, bool compute,
                    int32_t& display) {
  const std::vector<wchar_t> ids = list_ids(lines, calls, compute);
  if (module_given_up(plug_and_play())) return false;
  for (const wchar_t* id = ids.data(); !ids.empty() && *id; id += wcslen(id) + 1)
    if (!describe_device(lines, calls, id, display++, compute)) return false;
  return true;
}

// The facade's own listing, which the power check reads, made the way the monitor makes it.
void list_for_checks(std::string& lines) {
  if (Listed) return;
  Listed = true;
  bool listed = false;
  call_begin("CM_Get_Device_ID_ListW");
  auto list = [&listed] { listed = display_devices_list(); };
  guard_run(plug_and_play(), run_guarded_call<decltype(list)>, &list);
  call_end();
  call_crashed(lines, plug_and_play());
  if (!listed) comment(lines, "no display device is known at a single PCI location: every GPU is read");
}

}  // namespace

void power_gather(VendorReport& report) {
  std::string& lines = report.lines;
  comment(lines, "---- display devices (Windows' Plug and Play manager, cfgmgr32.dll)");
  PlugAndPlay calls{};
  if (!plug_and_play() || !resolve(plug_and_play(), calls)) {
    comment(lines, "cfgmgr32.dll cannot be used: every GPU is read, powered down or not");
    return;
  }
  report.loaded = true;
  int32_t display = 0;
  if (!describe_class(lines, calls, false, display)) return;
  if (display == 0) comment(lines, "no display device listed");
  // NVIDIA's compute GPUs in MCDM mode are listed here, not among the display devices.
  const int32_t displays = display;
  if (!describe_class(lines, calls, true, display)) return;
  comment(lines, "compute accelerators: %d", display - displays);
}

bool power_nvidia_device_unknown(std::string& lines, const std::vector<PciLocation>& known) {
  if (!plug_and_play() || module_given_up(plug_and_play())) return false;
  bool unknown = false;
  call_begin("CM_Get_Device_ID_ListW");
  auto look = [&] {
    unknown = nvml_may_have_compute_gpu(known.data(), static_cast<int32_t>(known.size()));
  };
  guard_run(plug_and_play(), run_guarded_call<decltype(look)>, &look);
  call_end();
  if (call_crashed(lines, plug_and_play())) return false;
  return unknown;
}

bool power_check(std::string& lines, bool located, uint32_t bus, uint32_t device,
                 uint32_t function) {
  if (!located || !plug_and_play() || module_given_up(plug_and_play())) return false;
  list_for_checks(lines);
  bool asleep = false;
  uint32_t node = 0;
  auto check = [&] {
    asleep = display_device_at(bus, device, function, node) && display_device_powered_down(node);
  };
  call_begin("CM_Get_DevNode_PropertyW.PowerData");
  guard_run(plug_and_play(), run_guarded_call<decltype(check)>, &check);
  call_end();
  if (call_crashed(lines, plug_and_play())) return false;
  return asleep;
}
