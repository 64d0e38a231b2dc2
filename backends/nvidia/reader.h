// NVIDIA GPUs read through NVAPI, for the NVIDIA backend's own rows and for the rows of NVIDIA
// GPUs that ADL lists beside AMD's. The rows are the caller's: each is a GPU as it was found at
// start (a GpuPlace) and the handle it is read through now, null while it has none. The NVAPI
// session and its recovery after a driver restart are this unit's. The thread that calls NVAPI.
#pragma once

#include <cstdint>

#include "app/recovery.h"
#include "backends/nvidia/nvapi.h"

enum class NvidiaReading : uint8_t {
  Read,         // `celsius` holds sensor 0's temperature
  PoweredDown,  // the GPU is not powered; the driver did not wake it to answer
  NoReading,    // the driver or its handles went away: the next pass begins the recovery
  Failed,       // any other failing status
};

// The GPU's PCI location into `place` (NVAPI's function is always 0); untouched when either of the
// two calls fails.
void nvidia_locate(NvPhysicalGpuHandle gpu, GpuPlace& place);
// Initialises NVAPI and gives each of `count` rows, all located, the handle of the GPU NVAPI lists
// at its PCI location, or null; false, with every handle null, when NVAPI cannot be initialised.
bool nvidia_open_for(const GpuPlace* rows, int32_t count, NvPhysicalGpuHandle* handles);
// A pass begins. After the driver went away, on the recovery's schedule: the GPUs listed again,
// or where that lists none NVAPI unloaded and initialised again, and every row given its GPU's
// new handle or null; while a row's GPU is missing, a listing every ten passes. Nothing otherwise.
void nvidia_pass_begins(const GpuPlace* rows, int32_t count, NvPhysicalGpuHandle* handles);
// True while the driver is away: no call may be made on its old session.
bool nvidia_driver_away();
// Reads the GPU's sensor 0 through a version-1 record the caller owns, set up before the call.
NvidiaReading nvidia_read(NvPhysicalGpuHandle gpu, NV_GPU_THERMAL_SETTINGS& settings,
                          int32_t& celsius);
