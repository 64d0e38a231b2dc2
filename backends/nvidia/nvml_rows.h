// NVIDIA's compute GPUs that NVAPI leaves out, and ADL too: data-centre cards that the driver runs
// in TCC or, since driver 560, in MCDM mode. Each gets a row of its own after the backend's rows,
// read through NVIDIA's management library (nvml.dll), the one library that lists them. A GPU in
// WDDM mode is never read here: it is NVAPI's or ADL's, and NVML would wake it from sleep. NVML is
// loaded only where Plug and Play lists an NVIDIA device at a PCI location that none of the
// backend's GPUs has; elsewhere nothing of this runs. Its calls are guarded and watched as other
// vendors' libraries are (backends/amd/worker_watch.h): a crash or a hang costs these rows alone.
#pragma once

#include <cstdint>

#include "app/recovery.h"
#include "backends/nvidia/nvml.h"
#include "facade/facade.h"

// Where Plug and Play lists an NVIDIA device at none of the `known` locations (bus and device; an
// NVIDIA GPU is function 0, whatever ADL says), loads nvml.dll from the system folder, initialises
// it and keeps each GPU it lists in TCC or MCDM mode at none of them: answers how many rows they
// make, the first of them window row `first_row`. Without any, NVML is shut down and unloaded. Main
// thread, at set-up, before the worker starts.
int32_t nvml_rows_find(const PciLocation* known, int32_t known_count, int32_t first_row);
// How many rows nvml_rows_find made. Any thread.
int32_t nvml_rows_count();
// Appends the name NVML gave row `index` (0 is the first of these rows) to the text area. Main.
void nvml_rows_append_name(int32_t index);
// One pass: every row read through sensor 0, after the recovery's step once the driver restarted
// (every row answering GPU lost, driver not loaded or uninitialised). A failed read shows no box.
// Allocates nothing. Worker thread; a worker the main thread gave up for stuck ends here instead.
void nvml_rows_read();
// True while the rows may still be read. Worker thread.
bool nvml_rows_reading();
// Main thread: the worker was found stuck in NVML. It is given up for good: its rows end, and the
// process will end without its detach routine.
void nvml_rows_give_up();
// Shuts an initialised NVML down and unloads it; nothing once it faulted or hung. Main thread, at
// shutdown, once the worker stopped.
void nvml_rows_end();

// ---- which of NVML's GPUs get rows; the report program asks the same ----
// True where Plug and Play lists an NVIDIA device (a display device or a compute accelerator) at
// none of the `known` locations, bus and device: only then may NVML have a GPU for a row, and is
// it loaded. False where the layer cannot tell. Lists the compute accelerators each time. Main
// thread at set-up, or any one thread while no other uses the display devices' list.
bool nvml_may_have_compute_gpu(const PciLocation* known, int32_t known_count);
// The GPU's PCI location as NVML's record gives it, the function read from its text. Any thread,
// as are the two below.
GpuPlace nvml_place_of(const nvmlPciInfo_t& pci);
// True for a located GPU at none of the `known` locations (bus and device).
bool nvml_place_unknown(const GpuPlace& place, const PciLocation* known, int32_t known_count);
// True for the driver models of a compute GPU, whose row NVML reads: TCC (WDM) and MCDM.
bool nvml_compute_model(nvmlDriverModel_t current);
