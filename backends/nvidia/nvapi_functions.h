// The NVAPI functions offered through cached entry points, one line each:
//   NVAPI_FUNCTION(name, interface id, (parameter types))
// Included by nvapi.h with NVAPI_FUNCTION defined for what it builds from the list.
NVAPI_FUNCTION(NvAPI_EnumPhysicalGPUs, 0xE5AC921F, (NvPhysicalGpuHandle* handles, NvU32* count))
NVAPI_FUNCTION(NvAPI_GPU_GetFullName, 0xCEEE8E9F, (NvPhysicalGpuHandle gpu, char* name))
NVAPI_FUNCTION(NvAPI_GPU_GetThermalSettings, 0xE3640A56,
               (NvPhysicalGpuHandle gpu, NvU32 sensor_index, NV_GPU_THERMAL_SETTINGS* settings))
NVAPI_FUNCTION(NvAPI_GPU_GetBusId, 0x1BE0B8E5, (NvPhysicalGpuHandle gpu, NvU32* bus))
NVAPI_FUNCTION(NvAPI_GPU_GetBusSlotId, 0x2A0A350F, (NvPhysicalGpuHandle gpu, NvU32* slot))
