// Simulated AMD Display Library: the ADL and ADL2 calls the monitor makes, answered from the
// scenario the way the driver answers them. Built as atiadlxx.dll and atiadlxy.dll, and as
// variants that lack one export each: an export table is fixed when the library is linked, so
// the build gives each variant its own list of exports (a .def file) from these same functions.
#include <cstdio>
#include <cstring>

#include "backends/amd/adl.h"
#include "tools/drivers/simdrv.h"

namespace {

constexpr int ADL_OK = 0;
constexpr int ADL_ERR = -1;
constexpr int ADL_ERR_NOT_INIT = -2;
constexpr int ADL_ERR_INVALID_PARAM_SIZE = -4;
constexpr int ADL_ERR_INVALID_ADL_IDX = -5;
constexpr int ADL_ERR_INVALID_CONTROLLER_IDX = -6;
constexpr int ADL_ERR_NOT_SUPPORTED = -8;
constexpr int ADL_ERR_NULL_POINTER = -9;
constexpr int ADL_ERR_INVALID_CALLBACK = -11;

using AdlAllocCallback = void*(__stdcall*)(int);

bool MainControlCreated = false;  // guarded by the simulation lock
// The ADL2 contexts handed out: each creation a record of its own, whose address is the handle,
// so that the log tells which context a later call was given; a record is reused only once
// destroyed, the oldest first. A restart makes those of the generation before stale. Guarded by
// the simulation lock.
struct Adl2Context {
  int generation;
  bool live;
};
constexpr int Adl2ContextCount = 64;
Adl2Context Adl2Contexts[Adl2ContextCount];
int Adl2ContextsMade = 0;

bool refused() { return sim_scenario().init_check && !MainControlCreated; }

// Never ADL_OK: a caller that passes this check goes on to use what it found.
int restart_status() {
  const int status = sim_restart_status(ADL_ERR);
  return status != ADL_OK ? status : ADL_ERR;
}

// The adapter index the driver answers now: the restarted driver numbers its adapters anew.
int index_now(const SimDevice& adapter) { return adapter.index + 100 * sim_generation(); }

void fill_adapter(AdapterInfo* info, const SimDevice& adapter, int position) {
  memset(info, 0, sizeof(*info));
  info->iSize = sizeof(AdapterInfo);
  info->iAdapterIndex = index_now(adapter);
  sim_fill_text(info->strUDID, sizeof(info->strUDID), adapter.udid, adapter.udid_noterm);
  info->iBusNumber = adapter.bus;
  info->iDeviceNumber = adapter.device;
  info->iFunctionNumber = adapter.function;
  info->iVendorID = adapter.vendor;
  sim_fill_text(info->strAdapterName, sizeof(info->strAdapterName), adapter.name,
                adapter.name_noterm);
  char text[64];
  snprintf(text, sizeof(text), "\\\\.\\DISPLAY%d", position + 1);
  sim_fill_text(info->strDisplayName, sizeof(info->strDisplayName), text, false);
  info->iPresent = 1;
  info->iExist = 1;
  snprintf(text, sizeof(text), "SimulatedDriver\\%04d", position);
  sim_fill_text(info->strDriverPath, sizeof(info->strDriverPath), text, false);
  sim_fill_text(info->strPNPString, sizeof(info->strPNPString), adapter.udid, false);
  info->iOSDisplayIndex = position;
}

SimDevice* adapter_with_index(int index) {
  std::vector<SimDevice>& adapters = sim_scenario().adapters;
  for (const size_t position : sim_listed(adapters.size()))
    if (index_now(adapters[position]) == index) return &adapters[position];
  return nullptr;
}

// The generation a live ADL2 context was handed out in, or -1 when it is none.
int context_generation(const void* context) {
  for (const Adl2Context& record : Adl2Contexts)
    if (record.live && context == &record) return record.generation;
  return -1;
}

// A record for a new context, or null when every one is live.
Adl2Context* new_context() {
  for (int tried = 0; tried < Adl2ContextCount; ++tried) {
    Adl2Context& record = Adl2Contexts[Adl2ContextsMade++ % Adl2ContextCount];
    if (!record.live) return &record;
  }
  return nullptr;
}

// What a driver checks before an ADL2 reading: the session, the context, the output, the
// adapter index.
int adl2_find_adapter(const void* context, const void* output, int index, SimDevice** adapter) {
  if (sim_session_lost()) return restart_status();
  const int generation = context_generation(context);
  if (generation < 0) return ADL_ERR_NOT_INIT;
  if (generation < sim_generation()) return restart_status();
  if (!output) return ADL_ERR_NULL_POINTER;
  *adapter = adapter_with_index(index);
  return *adapter ? ADL_OK : ADL_ERR_INVALID_ADL_IDX;
}

struct LogSensorSlot {
  int index;
  const char* name;
  SimLogSensor SimDevice::*sensor;
};
constexpr LogSensorSlot LogSensorSlots[] = {{PMLOG_TEMPERATURE_EDGE, "edge", &SimDevice::edge},
                                            {PMLOG_TEMPERATURE_GFX, "gfx", &SimDevice::gfx},
                                            {PMLOG_TEMPERATURE_SOC, "soc", &SimDevice::soc}};

ADLSingleSensorData log_sensor(SimLogSensor& sensor) {
  if (!sensor.supported) return {0, sensor.value_unsupported};
  return {1, sim_next_temperature(sensor.readings, false)};
}

void append_log_sensor(char* details, size_t size, const char* name,
                       const ADLSingleSensorData& data) {
  if (data.supported) sim_append(details, size, " %s=%d", name, data.value);
  else sim_append(details, size, " %s=off:%d", name, data.value);
}

}  // namespace

extern "C" int ADL_Main_Control_Create(AdlAllocCallback callback,
                                          int iEnumConnectedAdapters) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,%d", sim_address(reinterpret_cast<void*>(callback)),
           iEnumConnectedAdapters);
  sim_lock();
  sim_reload();
  sim_unlock();
  return sim_answer("ADL_Main_Control_Create", -1, args, sizeof(args), [&](char*, size_t) {
    if (sim_away()) return restart_status();
    const int size = sim_scenario().alloc_size;
    if (size > 0) {
      // ADL hands its caller memory through this callback; calling it once at creation shows
      // whether the caller passed a real allocator.
      if (!callback) return ADL_ERR_INVALID_CALLBACK;
      char callback_args[32];
      snprintf(callback_args, sizeof(callback_args), "%d", size);
      char result[32];
      snprintf(result, sizeof(result), "0x%llX", sim_address(callback(size)));
      sim_log_call("alloc_callback", callback_args, result);
    }
    MainControlCreated = true;
    sim_open_session();
    return ADL_OK;
  });
}

extern "C" int ADL_Main_Control_Destroy() {
  char args[8] = "";
  return sim_answer("ADL_Main_Control_Destroy", -1, args, sizeof(args), [](char*, size_t) {
    MainControlCreated = false;
    return ADL_OK;
  });
}

// The driver's version texts, from the scenario's `driver`; not supported where it names none.
extern "C" int ADL_Graphics_Versions_Get(char* lpVersionsInfo) {
  char args[64];
  snprintf(args, sizeof(args), "0x%llX", sim_address(lpVersionsInfo));
  return sim_answer("ADL_Graphics_Versions_Get", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (sim_session_lost()) return restart_status();
                      if (refused()) return ADL_ERR_NOT_INIT;
                      if (!lpVersionsInfo) return ADL_ERR_NULL_POINTER;
                      const std::string& driver = sim_scenario().driver;
                      if (driver.empty()) return ADL_ERR_NOT_SUPPORTED;
                      // Three 256-byte texts: the driver's version, the Catalyst version, a link.
                      sim_fill_text(lpVersionsInfo, 256, driver, false);
                      sim_fill_text(lpVersionsInfo + 256, 256, driver, false);
                      sim_fill_text(lpVersionsInfo + 512, 256, "", false);
                      sim_append(details, size, " out=%s", driver.c_str());
                      return ADL_OK;
                    });
}

extern "C" int ADL_Adapter_NumberOfAdapters_Get(int* lpNumAdapters) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX", sim_address(lpNumAdapters));
  return sim_answer("ADL_Adapter_NumberOfAdapters_Get", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (sim_session_lost()) return restart_status();
                      if (refused()) return ADL_ERR_NOT_INIT;
                      if (!lpNumAdapters) return ADL_ERR_NULL_POINTER;
                      *lpNumAdapters = static_cast<int>(sim_reported(sim_scenario().adapters));
                      sim_append(details, size, " out=%d", *lpNumAdapters);
                      return ADL_OK;
                    });
}

extern "C" int ADL_Adapter_AdapterInfo_Get(AdapterInfo* lpInfo, int iInputSize) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,%d", sim_address(lpInfo), iInputSize);
  return sim_answer("ADL_Adapter_AdapterInfo_Get", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (sim_session_lost()) return restart_status();
                      if (refused()) return ADL_ERR_NOT_INIT;
                      if (!lpInfo) return ADL_ERR_NULL_POINTER;
                      if (iInputSize < static_cast<int>(sizeof(AdapterInfo)))
                        return ADL_ERR_INVALID_PARAM_SIZE;
                      // Whole records only, and never past the size the caller gave.
                      const std::vector<SimDevice>& adapters = sim_scenario().adapters;
                      const std::vector<size_t> order = sim_listed(adapters.size());
                      size_t records = static_cast<size_t>(iInputSize) / sizeof(AdapterInfo);
                      if (records > order.size()) records = order.size();
                      for (size_t i = 0; i < records; ++i)
                        fill_adapter(lpInfo + i, adapters[order[i]], static_cast<int>(i));
                      sim_append(details, size, " out=%zu", records);
                      return ADL_OK;
                    });
}

extern "C" int ADL_Overdrive5_Temperature_Get(int iAdapterIndex, int iThermalControllerIndex,
                                                 ADLTemperature* lpTemperature) {
  char args[160];
  snprintf(args, sizeof(args), "%d,%d,0x%llX", iAdapterIndex, iThermalControllerIndex,
           sim_address(lpTemperature));
  if (lpTemperature) sim_append(args, sizeof(args), " iSize=%d", lpTemperature->iSize);
  sim_count_reading();
  return sim_answer("ADL_Overdrive5_Temperature_Get", iAdapterIndex, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (sim_session_lost()) return restart_status();
                      if (refused()) return ADL_ERR_NOT_INIT;
                      if (!lpTemperature) return ADL_ERR_NULL_POINTER;
                      SimDevice* adapter = adapter_with_index(iAdapterIndex);
                      if (!adapter) return ADL_ERR_INVALID_ADL_IDX;
                      if (iThermalControllerIndex != 0) return ADL_ERR_INVALID_CONTROLLER_IDX;
                      lpTemperature->iTemperature = sim_next_temperature(adapter->temps, true);
                      sim_append(details, size, " out=%d", lpTemperature->iTemperature);
                      return ADL_OK;
                    });
}

extern "C" int ADL2_Main_Control_Create(AdlAllocCallback callback, int iEnumConnectedAdapters,
                                        void** context) {
  char args[160];
  snprintf(args, sizeof(args), "0x%llX,%d,0x%llX", sim_address(reinterpret_cast<void*>(callback)),
           iEnumConnectedAdapters, sim_address(context));
  return sim_answer("ADL2_Main_Control_Create", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (!context) return ADL_ERR_NULL_POINTER;
                      // Like the main control, a context cannot be made while the driver is away.
                      if (sim_away()) return restart_status();
                      Adl2Context* record = new_context();
                      if (!record) return ADL_ERR;
                      *record = Adl2Context{sim_generation(), true};
                      *context = record;
                      sim_append(details, size, " out=0x%llX", sim_address(*context));
                      return ADL_OK;
                    });
}

extern "C" int ADL2_Main_Control_Destroy(void* context) {
  char args[64];
  snprintf(args, sizeof(args), "0x%llX", sim_address(context));
  return sim_answer("ADL2_Main_Control_Destroy", -1, args, sizeof(args), [&](char*, size_t) {
    if (context_generation(context) < 0) return ADL_ERR_NOT_INIT;
    static_cast<Adl2Context*>(context)->live = false;
    return ADL_OK;
  });
}

// Answers the adapter's edge, GFX and SOC sensors; every other sensor is not supported.
extern "C" int ADL2_New_QueryPMLogData_Get(void* context, int iAdapterIndex,
                                           ADLPMLogDataOutput* lpDataOutput) {
  char args[256];
  snprintf(args, sizeof(args), "0x%llX,%d,0x%llX", sim_address(context), iAdapterIndex,
           sim_address(lpDataOutput));
  if (lpDataOutput) sim_append(args, sizeof(args), " size=%d", lpDataOutput->size);
  return sim_answer("ADL2_New_QueryPMLogData_Get", iAdapterIndex, args, sizeof(args),
                    [&](char* details, size_t size) {
                      SimDevice* adapter = nullptr;
                      const int status =
                          adl2_find_adapter(context, lpDataOutput, iAdapterIndex, &adapter);
                      if (status != ADL_OK) return status;
                      if (!adapter->has_log) return ADL_ERR_NOT_SUPPORTED;
                      memset(lpDataOutput->sensors, 0, sizeof(lpDataOutput->sensors));
                      for (const LogSensorSlot& slot : LogSensorSlots) {
                        ADLSingleSensorData& data = lpDataOutput->sensors[slot.index];
                        data = log_sensor(adapter->*slot.sensor);
                        append_log_sensor(details, size, slot.name, data);
                      }
                      return ADL_OK;
                    });
}

extern "C" int ADL2_OverdriveN_Temperature_Get(void* context, int iAdapterIndex,
                                               int iTemperatureType, int* iTemperature) {
  char args[160];
  snprintf(args, sizeof(args), "0x%llX,%d,%d,0x%llX", sim_address(context), iAdapterIndex,
           iTemperatureType, sim_address(iTemperature));
  return sim_answer("ADL2_OverdriveN_Temperature_Get", iAdapterIndex, args, sizeof(args),
                    [&](char* details, size_t size) {
                      SimDevice* adapter = nullptr;
                      const int status =
                          adl2_find_adapter(context, iTemperature, iAdapterIndex, &adapter);
                      if (status != ADL_OK) return status;
                      // Only the edge sensor is simulated.
                      if (!adapter->has_overdrive_n || iTemperatureType != ODN_TEMPERATURE_EDGE)
                        return ADL_ERR_NOT_SUPPORTED;
                      *iTemperature = sim_next_temperature(adapter->overdrive_n, true);
                      sim_append(details, size, " out=%d", *iTemperature);
                      return ADL_OK;
                    });
}
