// Simulated NVIDIA management library (nvml.dll): the eight calls the monitor makes, over the
// scenario's `nvml` GPUs, answered the way NVML answers them: initialisation counted, one
// shutdown for each; GPUs with their PCI locations, names, driver models and temperatures; and a
// driver restart after which every call about an old device answers GPU lost.
#include <cstdio>
#include <cstring>

#include "tools/drivers/simdrv.h"

namespace {

constexpr int32_t NVML_SUCCESS = 0;
constexpr int32_t NVML_ERROR_UNINITIALIZED = 1;
constexpr int32_t NVML_ERROR_INVALID_ARGUMENT = 2;
constexpr int32_t NVML_ERROR_INSUFFICIENT_SIZE = 7;
constexpr int32_t NVML_ERROR_DRIVER_NOT_LOADED = 9;
constexpr int32_t NVML_ERROR_GPU_IS_LOST = 15;

struct PciInfo {
  char busIdLegacy[16];
  unsigned domain;
  unsigned bus;
  unsigned device;
  unsigned pciDeviceId;
  unsigned pciSubSystemId;
  char busId[32];
};
static_assert(sizeof(PciInfo) == 68);

int Initialised = 0;  // initialisations not yet shut down; guarded by the simulation lock

// Device handles are recognisable in the log and tell the driver's generation.
void* handle_of(size_t position, int generation) {
  return reinterpret_cast<void*>(
      static_cast<uintptr_t>(0x4E560000u + 0x1000u * generation + (position + 1) * 0x10u));
}

struct Gpu {
  int position = -1;
  int generation = 0;
};

Gpu gpu_of(const void* handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  for (int generation = 0; generation <= sim_generation(); ++generation) {
    const uintptr_t base = 0x4E560000u + 0x1000u * generation;
    if (value <= base || (value - base) % 0x10u != 0) continue;
    const uintptr_t position = (value - base) / 0x10u - 1;
    if (position < sim_scenario().nvml.size()) return {static_cast<int>(position), generation};
  }
  return {};
}

int position_unlocked(const void* handle) {
  sim_lock();
  const int position = gpu_of(handle).position;
  sim_unlock();
  return position;
}

// After a restart, until a new initialise: GPU lost, as NVML answers for a driver gone.
int32_t restart_status() { return sim_restart_status(NVML_ERROR_GPU_IS_LOST); }

int32_t check_session() {
  if (sim_session_lost()) return restart_status();
  return Initialised > 0 ? NVML_SUCCESS : NVML_ERROR_UNINITIALIZED;
}

// The checks of a call about one GPU: the scenario's GPU, or null with the failing `status`.
SimDevice* check_gpu(const void* handle, int32_t& status) {
  status = check_session();
  if (status != NVML_SUCCESS) return nullptr;
  const Gpu found = gpu_of(handle);
  status = NVML_ERROR_INVALID_ARGUMENT;
  if (found.position < 0) return nullptr;
  status = restart_status();
  if (found.generation < sim_generation() || sim_dropped(found.position)) return nullptr;
  status = NVML_SUCCESS;
  return &sim_scenario().nvml[found.position];
}

}  // namespace

extern "C" int32_t nvmlInit_v2() {
  sim_lock();
  sim_reload();
  sim_unlock();
  char args[64] = "";
  return sim_answer("nvmlInit_v2", -1, args, sizeof(args), [](char* details, size_t size) {
    if (sim_away()) return NVML_ERROR_DRIVER_NOT_LOADED;
    sim_open_session();
    ++Initialised;
    sim_append(details, size, " count=%d", Initialised);
    return NVML_SUCCESS;
  });
}

extern "C" int32_t nvmlShutdown() {
  char args[64] = "";
  return sim_answer("nvmlShutdown", -1, args, sizeof(args), [](char* details, size_t size) {
    if (Initialised == 0) return NVML_ERROR_UNINITIALIZED;
    --Initialised;
    sim_append(details, size, " count=%d", Initialised);
    return NVML_SUCCESS;
  });
}

extern "C" int32_t nvmlDeviceGetCount_v2(unsigned* count) {
  char args[64];
  snprintf(args, sizeof(args), "0x%llX", sim_address(count));
  return sim_answer("nvmlDeviceGetCount_v2", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      const int32_t session = check_session();
                      if (session != NVML_SUCCESS) return session;
                      if (!count) return NVML_ERROR_INVALID_ARGUMENT;
                      *count = static_cast<unsigned>(sim_listed(sim_scenario().nvml.size()).size());
                      sim_append(details, size, " out=%u", *count);
                      return NVML_SUCCESS;
                    });
}

extern "C" int32_t nvmlDeviceGetHandleByIndex_v2(unsigned index, void** device) {
  char args[64];
  snprintf(args, sizeof(args), "%u,0x%llX", index, sim_address(device));
  return sim_answer("nvmlDeviceGetHandleByIndex_v2", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      const int32_t session = check_session();
                      if (session != NVML_SUCCESS) return session;
                      const std::vector<size_t> order = sim_listed(sim_scenario().nvml.size());
                      if (!device || index >= order.size()) return NVML_ERROR_INVALID_ARGUMENT;
                      *device = handle_of(order[index], sim_generation());
                      sim_append(details, size, " out=0x%llX gpu=%zu", sim_address(*device),
                                 order[index]);
                      return NVML_SUCCESS;
                    });
}

extern "C" int32_t nvmlDeviceGetPciInfo_v3(void* device, PciInfo* pci) {
  char args[64];
  snprintf(args, sizeof(args), "0x%llX,0x%llX", sim_address(device), sim_address(pci));
  return sim_answer("nvmlDeviceGetPciInfo_v3", position_unlocked(device), args, sizeof(args),
                    [&](char* details, size_t size) {
                      int32_t checked = NVML_SUCCESS;
                      SimDevice* gpu = check_gpu(device, checked);
                      if (!gpu) return checked;
                      if (!pci) return NVML_ERROR_INVALID_ARGUMENT;
                      *pci = PciInfo{};
                      pci->bus = static_cast<unsigned>(gpu->bus);
                      pci->device = static_cast<unsigned>(gpu->device);
                      pci->pciDeviceId = 0x1B3810DEu;
                      snprintf(pci->busIdLegacy, sizeof(pci->busIdLegacy), "0000:%02X:%02X.%X",
                               gpu->bus, gpu->device, gpu->function);
                      snprintf(pci->busId, sizeof(pci->busId), "00000000:%02X:%02X.%X", gpu->bus,
                               gpu->device, gpu->function);
                      sim_append(details, size, " out=%s", pci->busId);
                      return NVML_SUCCESS;
                    });
}

extern "C" int32_t nvmlDeviceGetName(void* device, char* name, unsigned length) {
  char args[64];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,%u", sim_address(device), sim_address(name), length);
  return sim_answer("nvmlDeviceGetName", position_unlocked(device), args, sizeof(args),
                    [&](char*, size_t) {
                      int32_t checked = NVML_SUCCESS;
                      SimDevice* gpu = check_gpu(device, checked);
                      if (!gpu) return checked;
                      if (!name) return NVML_ERROR_INVALID_ARGUMENT;
                      if (length <= gpu->name.size()) return NVML_ERROR_INSUFFICIENT_SIZE;
                      sim_fill_text(name, length, gpu->name, false);
                      return NVML_SUCCESS;
                    });
}

extern "C" int32_t nvmlDeviceGetDriverModel(void* device, int32_t* current, int32_t* pending) {
  char args[96];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,0x%llX", sim_address(device), sim_address(current),
           sim_address(pending));
  return sim_answer("nvmlDeviceGetDriverModel", position_unlocked(device), args, sizeof(args),
                    [&](char* details, size_t size) {
                      int32_t checked = NVML_SUCCESS;
                      SimDevice* gpu = check_gpu(device, checked);
                      if (!gpu) return checked;
                      if (!current && !pending) return NVML_ERROR_INVALID_ARGUMENT;
                      if (current) *current = gpu->driver_model;
                      if (pending) *pending = gpu->driver_model;
                      sim_append(details, size, " out=%d", gpu->driver_model);
                      return NVML_SUCCESS;
                    });
}

extern "C" int32_t nvmlDeviceGetTemperature(void* device, int32_t sensor, unsigned* temperature) {
  char args[96];
  snprintf(args, sizeof(args), "0x%llX,%d,0x%llX", sim_address(device), sensor,
           sim_address(temperature));
  sim_count_reading();
  return sim_answer("nvmlDeviceGetTemperature", position_unlocked(device), args, sizeof(args),
                    [&](char* details, size_t size) {
                      int32_t checked = NVML_SUCCESS;
                      SimDevice* gpu = check_gpu(device, checked);
                      if (!gpu) return checked;
                      if (!temperature || sensor != 0) return NVML_ERROR_INVALID_ARGUMENT;
                      *temperature =
                          static_cast<unsigned>(sim_next_temperature(gpu->temps, false));
                      sim_append(details, size, " out=%u", *temperature);
                      return NVML_SUCCESS;
                    });
}
