#include <climits>
#include <cstring>
#include <vector>

#include "backends/nvidia/nvml.h"
#include "backends/nvidia/nvml_rows.h"
#include "facade/guard.h"
#include "facade/library.h"
#include "report/report.h"

// NVML as the monitor meets it, and only where the monitor loads it at all: the listing with each
// GPU's PCI location, then each GPU's driver model and name, one reading of each compute GPU, and
// the shutdown. A GPU in WDDM mode is not read: NVML would wake it were it asleep.

namespace {

using Init = nvmlReturn_t(__cdecl*)();
using Shutdown = nvmlReturn_t(__cdecl*)();
using DeviceCount = nvmlReturn_t(__cdecl*)(unsigned* count);
using DeviceHandle = nvmlReturn_t(__cdecl*)(unsigned index, nvmlDevice_t* device);
using DevicePciInfo = nvmlReturn_t(__cdecl*)(nvmlDevice_t device, nvmlPciInfo_t* pci);
using DeviceName = nvmlReturn_t(__cdecl*)(nvmlDevice_t device, char* name, unsigned length);
using DeviceDriverModel = nvmlReturn_t(__cdecl*)(nvmlDevice_t device, nvmlDriverModel_t* current,
                                                 nvmlDriverModel_t* pending);
using DeviceTemperature = nvmlReturn_t(__cdecl*)(nvmlDevice_t device,
                                                 nvmlTemperatureSensors_t sensor, unsigned* celsius);

constexpr unsigned MostGpus = 64;
constexpr unsigned HighestReading = 255;
constexpr nvmlReturn_t NotAnswered = 999;

const VendorReport* Backend;
int32_t FirstRow;
HMODULE Module;
FARPROC Exports[NvmlFunctionCount];
bool Crashed;

struct Gpu {
  nvmlDevice_t device = nullptr;
  bool listed = false;  // its handle and PCI record came
  nvmlPciInfo_t pci{};
  GpuPlace place{};
  bool modelled = false;
  nvmlDriverModel_t model = NVML_DRIVER_WDDM;
  nvmlDriverModel_t pending = NVML_DRIVER_WDDM;
  char name[NvmlNameSize] = {};
  bool asked = false;  // a compute GPU, whose temperature was asked
  nvmlReturn_t reading = NotAnswered;
  unsigned celsius = 0;
};

// One call under guard and watch, its failure as a `fail` line (naming the GPU at `gpu` >= 0);
// false after a crash, which is named instead.
template <typename Function, typename... Arguments>
bool nvml_call(std::string& lines, nvmlReturn_t& status, NvmlFunction function, int32_t gpu,
               Arguments... arguments) {
  status = NotAnswered;
  if (Crashed) return false;
  const char* name = NvmlExports[function];
  call_begin(name, gpu < 0 ? Subject::None : Subject::Nvml, gpu);
  guarded_call(Module, status, export_as<Function>(Exports[function]), arguments...);
  call_end();
  Crashed = call_crashed(lines, Module);
  if (Crashed) return false;
  if (status == NVML_SUCCESS) return true;
  append(lines, "fail %s=%d", name, status);
  if (gpu >= 0) append(lines, " gpu=%d", gpu);
  lines += '\n';
  return true;
}

bool resolve(std::string& lines) {
  bool all = true;
  for (int i = 0; i < NvmlFunctionCount; ++i) {
    Exports[i] = GetProcAddress(Module, NvmlExports[i]);
    if (!Exports[i]) comment(lines, "%s: not exported", NvmlExports[i]);
    all = all && Exports[i];
  }
  if (!all) comment(lines, "the monitor does not initialise an NVML that lacks any of its calls");
  return all;
}

bool load(std::string& lines) {
  call_begin("LoadLibrary");
  Module = library_load_system(L"nvml.dll");
  call_end();
  if (!Module) comment(lines, "nvml.dll does not load from the system folder");
  return Module != nullptr;
}

// The listing as the monitor takes it: the count, then each GPU's handle and PCI record.
std::vector<Gpu> list(std::string& lines) {
  unsigned count = 0;
  nvmlReturn_t status = NotAnswered;
  if (!nvml_call<DeviceCount>(lines, status, NvmlDeviceCount, -1, &count) ||
      status != NVML_SUCCESS)
    return {};
  comment(lines, "NVML's GPUs: %u", count);
  std::vector<Gpu> gpus(count < MostGpus ? count : MostGpus);
  for (size_t i = 0; i < gpus.size(); ++i) {
    Gpu& gpu = gpus[i];
    const auto index = static_cast<int32_t>(i);
    if (!nvml_call<DeviceHandle>(lines, status, NvmlDeviceHandle, -1, static_cast<unsigned>(i),
                                 &gpu.device))
      break;
    if (status != NVML_SUCCESS) continue;
    if (!nvml_call<DevicePciInfo>(lines, status, NvmlDevicePciInfo, index, gpu.device, &gpu.pci))
      break;
    gpu.listed = status == NVML_SUCCESS;
    if (gpu.listed) gpu.place = nvml_place_of(gpu.pci);
  }
  return gpus;
}

// Each listed GPU's driver model and name, and one reading of each compute GPU.
void describe(std::string& lines, std::vector<Gpu>& gpus) {
  nvmlReturn_t status = NotAnswered;
  for (size_t i = 0; i < gpus.size() && !Crashed; ++i) {
    Gpu& gpu = gpus[i];
    const auto index = static_cast<int32_t>(i);
    if (!gpu.listed) continue;
    if (!nvml_call<DeviceDriverModel>(lines, status, NvmlDeviceDriverModel, index, gpu.device,
                                      &gpu.model, &gpu.pending))
      return;
    gpu.modelled = status == NVML_SUCCESS;
    if (!nvml_call<DeviceName>(lines, status, NvmlDeviceName, index, gpu.device, gpu.name,
                               NvmlNameSize))
      return;
    if (!gpu.modelled || !nvml_compute_model(gpu.model)) continue;
    gpu.asked = true;
    if (!nvml_call<DeviceTemperature>(lines, gpu.reading, NvmlDeviceTemperature, index,
                                      gpu.device, NVML_TEMPERATURE_GPU, &gpu.celsius))
      return;
  }
}

std::string model_word(nvmlDriverModel_t model) {
  switch (model) {
    case NVML_DRIVER_WDDM: return "wddm";
    case NVML_DRIVER_WDM: return "tcc";
    case NVML_DRIVER_MCDM: return "mcdm";
    default: return std::to_string(model);
  }
}

size_t name_length(const Gpu& gpu) { return field_length(gpu.name, NvmlNameSize); }

void gpu_line(std::string& lines, const Gpu& gpu, int32_t index) {
  const size_t busid = field_length(gpu.pci.busId, sizeof(gpu.pci.busId));
  comment(lines, "NVML GPU %d: %s, PCI %s (bus %u, device %u), device id 0x%08X, driver model %s, "
                 "pending %s",
          index, quoted(gpu.name, name_length(gpu)).c_str(),
          gpu.listed ? quoted(gpu.pci.busId, busid).c_str() : "unknown", gpu.pci.bus,
          gpu.pci.device, gpu.pci.pciDeviceId, gpu.modelled ? model_word(gpu.model).c_str() : "unknown",
          gpu.modelled ? model_word(gpu.pending).c_str() : "unknown");
  if (gpu.modelled && !gpu.asked)
    comment(lines, "  not read: a WDDM GPU is NVAPI's or ADL's, and NVML would wake it");
  append(lines, "nvml name=%s", quoted(gpu.name, name_length(gpu)).c_str());
  if (gpu.listed)
    append(lines, " bus=%u device=%u function=%u", gpu.place.bus, gpu.place.device,
           gpu.place.function);
  if (gpu.modelled) append(lines, " model=%s", model_word(gpu.model).c_str());
  if (gpu.asked && gpu.reading == NVML_SUCCESS) {
    if (gpu.celsius > INT32_MAX) lines += " temps=max32";
    else append(lines, " temps=%u", gpu.celsius);
  }
  lines += '\n';
}

std::string label_of(const Gpu& gpu) {
  if (Backend->readings_end) return "Please wait (not read: the readings ended)";
  if (gpu.reading != NVML_SUCCESS) return "Please wait (no reading)";
  if (gpu.celsius > HighestReading) return "Please wait (no reading: above 255)";
  return label_text(static_cast<int32_t>(gpu.celsius));
}

// The rows the monitor makes of them: compute GPUs at none of the backend's GPUs' locations.
void describe_rows(VendorReport& report, const std::vector<Gpu>& gpus) {
  const auto known = static_cast<int32_t>(Backend->known.size());
  int32_t row = FirstRow;
  for (const Gpu& gpu : gpus) {
    if (!gpu.modelled || !nvml_compute_model(gpu.model) ||
        !nvml_place_unknown(gpu.place, Backend->known.data(), known))
      continue;
    row_line(report.rows, row++, gpu.name, name_length(gpu), label_of(gpu));
  }
  report.has_rows = row > FirstRow;
}

void gather_session(VendorReport& report) {
  std::string& lines = report.lines;
  nvmlReturn_t status = NotAnswered;
  if (!nvml_call<Init>(lines, status, NvmlInit, -1)) return;
  comment(lines, "nvmlInit_v2: %d", status);
  if (status != NVML_SUCCESS) return;
  report.session = true;
  std::vector<Gpu> gpus = list(lines);
  describe(lines, gpus);
  for (size_t i = 0; i < gpus.size(); ++i) gpu_line(lines, gpus[i], static_cast<int32_t>(i));
  describe_rows(report, gpus);
  // One shutdown for the one successful initialise; none once a fault gave NVML up.
  if (!Crashed) nvml_call<Shutdown>(lines, status, NvmlShutdown, -1);
}

}  // namespace

void nvml_expect(const VendorReport* backend, int32_t first_row) {
  Backend = backend;
  FirstRow = first_row;
}

void nvml_gather(VendorReport& report) {
  std::string& lines = report.lines;
  comment(lines, "---- NVIDIA's compute GPUs (TCC, MCDM): NVML");
  if (!Backend || !Backend->asks_nvml) {
    comment(lines, "not looked for: the monitor's backend does not look for them here");
    return;
  }
  if (!power_nvidia_device_unknown(lines, Backend->known)) {
    comment(lines, "Plug and Play lists no NVIDIA device at a location none of the backend's GPUs "
                   "has: nvml.dll is not loaded");
    return;
  }
  if (!load(lines)) return;
  report.loaded = true;
  if (resolve(lines)) gather_session(report);
  if (!Crashed) FreeLibrary(Module);
}
