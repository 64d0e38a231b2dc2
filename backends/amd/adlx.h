// The few declarations of AMD's ADLX library ("amdadlx64.dll") that the AMD backend uses, from
// ADLX's published C interface. ADLX hands out objects whose first field points to a table of
// methods; every method takes the object first. Only the slots named here are ever called.
#pragma once

#include <windows.h>

#include <cstdint>

using ADLX_RESULT = int32_t;

constexpr ADLX_RESULT ADLX_OK = 0;
constexpr ADLX_RESULT ADLX_ALREADY_ENABLED = 1;
constexpr ADLX_RESULT ADLX_ALREADY_INITIALIZED = 2;
constexpr ADLX_RESULT ADLX_FAIL = 3;
constexpr ADLX_RESULT ADLX_INVALID_ARGS = 4;
constexpr ADLX_RESULT ADLX_BAD_VER = 5;
constexpr ADLX_RESULT ADLX_UNKNOWN_INTERFACE = 6;
constexpr ADLX_RESULT ADLX_TERMINATED = 7;
constexpr ADLX_RESULT ADLX_ADL_INIT_ERROR = 8;
constexpr ADLX_RESULT ADLX_NOT_FOUND = 9;
constexpr ADLX_RESULT ADLX_INVALID_OBJECT = 10;
constexpr ADLX_RESULT ADLX_ORPHAN_OBJECTS = 11;
constexpr ADLX_RESULT ADLX_NOT_SUPPORTED = 12;
constexpr ADLX_RESULT ADLX_PENDING_OPERATION = 13;
constexpr ADLX_RESULT ADLX_GPU_INACTIVE = 14;
constexpr ADLX_RESULT ADLX_GPU_IN_USE = 15;
constexpr ADLX_RESULT ADLX_TIMEOUT_OPERATION = 16;
constexpr ADLX_RESULT ADLX_NOT_ACTIVE = 17;

// OK, ALREADY_ENABLED and ALREADY_INITIALIZED are successes; everything else is a failure.
constexpr bool adlx_succeeded(ADLX_RESULT result) { return result >= ADLX_OK && result <= 2; }

// (major << 48) | (minor << 32) | (release << 16) | build.
constexpr uint64_t adlx_version(uint64_t major, uint64_t minor, uint64_t release = 0,
                                uint64_t build = 0) {
  return (major << 48) | (minor << 32) | (release << 16) | build;
}
// The first release; every slot below has been where it is since.
constexpr uint64_t ADLX_VERSION_1_0 = adlx_version(1, 0);

enum ADLX_GPU_TYPE : int32_t { GPUTYPE_UNDEFINED = 0, GPUTYPE_INTEGRATED = 1, GPUTYPE_DISCRETE = 2 };

// Every ADLX object: a pointer to its table of methods, then the library's own fields.
using AdlxMethod = void (*)();
struct AdlxObject {
  const AdlxMethod* methods;
};

// The slots of the methods used, counted from 0 in each interface's table.
namespace adlx_slot {
// Every interface derived from IADLXInterface (all but the system and the mapping).
constexpr int Acquire = 0;
constexpr int Release = 1;
constexpr int QueryInterface = 2;
// IADLXSystem
constexpr int SystemGetGPUs = 1;
constexpr int SystemGetPerformanceMonitoringServices = 9;
// IADLXGPUList
constexpr int ListSize = 3;
constexpr int ListBegin = 5;
constexpr int ListEnd = 6;
constexpr int ListAt = 11;
// IADLXGPU
constexpr int GpuVendorId = 3;
constexpr int GpuType = 5;
constexpr int GpuName = 7;
constexpr int GpuDeviceId = 14;
// IADLXPerformanceMonitoringServices
constexpr int ServicesGetCurrentGPUMetrics = 18;
constexpr int ServicesGetSupportedGPUMetrics = 21;
// IADLXGPUMetricsSupport
constexpr int SupportIsSupportedGPUTemperature = 6;
constexpr int SupportIsSupportedGPUHotspotTemperature = 7;
// IADLXGPUMetrics
constexpr int MetricsGPUTemperature = 7;
constexpr int MetricsGPUHotspotTemperature = 8;
// IADLMapping
constexpr int MappingGetADLXGPUFromBdf = 0;
constexpr int MappingGetADLXGPUFromAdlAdapterIndex = 1;
constexpr int MappingBdfFromADLXGPU = 2;
constexpr int MappingAdlAdapterIndexFromADLXGPU = 3;
}  // namespace adlx_slot

// ---- the methods' types (the system calling convention, the object first) ----
using AdlxAcquireOrRelease = long(WINAPI*)(AdlxObject* self);  // the new count
using AdlxQueryInterface = ADLX_RESULT(WINAPI*)(AdlxObject* self, const wchar_t* iid,
                                                void** interface_out);
using AdlxGetObject = ADLX_RESULT(WINAPI*)(AdlxObject* self, AdlxObject** out);
using AdlxListCount = uint32_t(WINAPI*)(AdlxObject* self);
using AdlxListAt = ADLX_RESULT(WINAPI*)(AdlxObject* self, uint32_t location, AdlxObject** gpu);
using AdlxGpuText = ADLX_RESULT(WINAPI*)(AdlxObject* self, const char** text);
using AdlxGpuType = ADLX_RESULT(WINAPI*)(AdlxObject* self, ADLX_GPU_TYPE* type);
using AdlxGpuObject = ADLX_RESULT(WINAPI*)(AdlxObject* self, AdlxObject* gpu, AdlxObject** out);
using AdlxIsSupported = ADLX_RESULT(WINAPI*)(AdlxObject* self, bool* supported);
using AdlxMetricValue = ADLX_RESULT(WINAPI*)(AdlxObject* self, double* value);
using AdlxGpuFromBdf = ADLX_RESULT(WINAPI*)(AdlxObject* self, int bus, int device, int function,
                                            AdlxObject** gpu);
using AdlxGpuFromAdapterIndex = ADLX_RESULT(WINAPI*)(AdlxObject* self, int adapter_index,
                                                     AdlxObject** gpu);
using AdlxBdfFromGpu = ADLX_RESULT(WINAPI*)(AdlxObject* self, AdlxObject* gpu, int* bus,
                                            int* device, int* function);
using AdlxAdapterIndexFromGpu = ADLX_RESULT(WINAPI*)(AdlxObject* self, AdlxObject* gpu,
                                                     int* adapter_index);

// ---- the library's exports (the C calling convention) ----
// Frees memory that ADL allocated through the caller's allocation routine.
using ADLX_ADL_Main_Memory_Free = void(WINAPI*)(void** buffer);
using ADLXQueryFullVersion_Fn = ADLX_RESULT (*)(uint64_t* version);
using ADLXQueryVersion_Fn = ADLX_RESULT (*)(const char** version);
using ADLXInitialize_Fn = ADLX_RESULT (*)(uint64_t version, AdlxObject** system);
using ADLXInitializeWithCallerAdl_Fn = ADLX_RESULT (*)(uint64_t version, AdlxObject** system,
                                                       AdlxObject** mapping, void* adl_context,
                                                       ADLX_ADL_Main_Memory_Free free_memory);
using ADLXTerminate_Fn = ADLX_RESULT (*)();

// A metric's degrees as the whole degrees shown, truncated toward zero as ADL's thousandths are;
// false for a value that is not a number or that no GPU can have (outside -273 to 255).
inline bool adlx_whole_degrees(double value, int32_t& celsius) {
  if (!(value > -274.0 && value < 256.0)) return false;  // also false for NaN
  celsius = static_cast<int32_t>(value);
  return true;
}

// The method in `slot` of `object`'s table, as its exact type. Reads the driver's memory: call it
// where a fault is caught.
template <typename Method>
Method adlx_method(const AdlxObject* object, int slot) {
  return reinterpret_cast<Method>(object->methods[slot]);
}
