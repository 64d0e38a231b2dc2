#include <cstring>
#include <vector>

#include "backends/nvidia/nvapi.h"
#include "facade/library.h"
#include "report/report.h"

// NVAPI as the monitor meets it, through the program's own entry points (the same calls, hooks
// included): initialise, list, names, bus locations, then one pass of thermal reads.

namespace {

using QueryInterface = void*(__cdecl*)(uint32_t id);
using DriverAndBranchVersion = NvAPI_Status(__cdecl*)(NvU32* version, char* branch);

constexpr uint32_t DriverAndBranchVersionId = 0x2926AAAD;
constexpr size_t BranchSize = 64;

struct Gpu {
  NvPhysicalGpuHandle handle;
  char name[NVAPI_SHORT_STRING_MAX + 1];  // as the monitor reads it, zero added
  size_t name_length;
  bool name_open;  // the driver wrote no zero within the field
  bool located;
  NvU32 bus;
  NvU32 slot;
};

bool given_up(std::string& lines) {
  if (!nvapi_given_up()) return false;
  note_crash(lines);
  return true;
}

// An entry point the driver does not hand out: the scenario's `missing` line makes the simulated
// driver hand out none either.
bool missing(std::string& lines, NvapiEntryIndex entry, const char* name) {
  if (nvapi_entry_point(entry)) return false;
  comment(lines, "%s: not offered by the driver", name);
  append(lines, "missing %s\n", name);
  return true;
}

void note_status(std::string& lines, const char* name, NvAPI_Status status, int32_t gpu = -1) {
  if (gpu < 0) comment(lines, "%s: %d", name, status);
  else comment(lines, "%s, GPU %d: %d", name, gpu, status);
  if (status == NVAPI_OK) return;
  append(lines, "fail %s=%d", name, status);
  if (gpu >= 0) append(lines, " gpu=%d", gpu);
  lines += '\n';
}

// The monitor selects NVIDIA when either library loads from the system folder.
bool library_present(std::string& lines) {
  for (const wchar_t* name : {L"nvapi64.dll", L"nvapi.dll"}) {
    call_begin("LoadLibrary");
    const HMODULE module = library_load_system(name);
    call_end();
    if (!module) continue;
    comment(lines, "library: %s", utf8_from_wide(name).c_str());
    FreeLibrary(module);
    return true;
  }
  comment(lines, "neither nvapi64.dll nor nvapi.dll loads from the system folder");
  return false;
}

void* ask_driver(uint32_t id) {
  const auto query = export_as<QueryInterface>(GetProcAddress(nvapi_library(), "nvapi_QueryInterface"));
  void* address = nullptr;
  if (query) guarded_call(nvapi_library(), address, query, id);
  return address;
}

// Not a call the monitor makes: asked of the driver's query interface directly.
void describe_version(std::string& lines) {
  call_begin("nvapi_QueryInterface");
  const auto get_version = reinterpret_cast<DriverAndBranchVersion>(ask_driver(DriverAndBranchVersionId));
  call_end();
  if (given_up(lines)) return;
  if (!get_version) {
    comment(lines, "driver version: not given (NvAPI_SYS_GetDriverAndBranchVersion not offered)");
    return;
  }
  NvU32 version = 0;
  char branch[BranchSize] = {};
  NvAPI_Status status = NVAPI_ERROR;
  call_begin("NvAPI_SYS_GetDriverAndBranchVersion");
  guarded_call(nvapi_library(), status, get_version, &version, branch);
  call_end();
  if (given_up(lines)) return;
  comment(lines, "NvAPI_SYS_GetDriverAndBranchVersion: %d, driver %u.%02u, branch %s", status,
          version / 100, version % 100, quoted(branch, field_length(branch, BranchSize)).c_str());
}

void describe_hooks(std::string& lines) {
  call_begin("nvapi_QueryInterface");
  const bool pre = ask_driver(NvapiPreCallHookId) != nullptr;
  const bool post = ask_driver(NvapiPostCallHookId) != nullptr;
  call_end();
  if (given_up(lines) || (!pre && !post)) return;
  comment(lines, "call hooks offered: %s", pre && post ? "both" : pre ? "before only" : "after only");
  append(lines, "hooks=%s\n", pre && post ? "both" : pre ? "pre" : "post");
}

// The call's status as a comment and, when it failed, as a `fail` or `missing` line.
void note_answer(std::string& lines, NvapiEntryIndex entry, const char* name, NvAPI_Status status,
                 int32_t gpu = -1) {
  if (status == NVAPI_NO_IMPLEMENTATION && missing(lines, entry, name)) return;
  note_status(lines, name, status, gpu);
}

// The name as set-up reads it: the driver writes into a buffer of spaces, 64 bytes at most.
bool read_name(std::string& lines, int32_t i, Gpu& gpu) {
  wchar_t buffer[NVAPI_SHORT_STRING_MAX];
  for (wchar_t& c : buffer) c = L' ';
  call_begin("NvAPI_GPU_GetFullName", Subject::Gpu, i);
  const NvAPI_Status status = NvAPI_GPU_GetFullName(gpu.handle, reinterpret_cast<char*>(buffer));
  call_end();
  if (given_up(lines)) return false;
  note_answer(lines, NvAPI_GPU_GetFullName_Entry, "NvAPI_GPU_GetFullName", status, i);
  std::memcpy(gpu.name, buffer, NVAPI_SHORT_STRING_MAX);
  gpu.name[NVAPI_SHORT_STRING_MAX] = '\0';
  gpu.name_length = std::strlen(gpu.name);
  gpu.name_open = gpu.name_length == NVAPI_SHORT_STRING_MAX;
  return true;
}

bool locate(std::string& lines, int32_t i, Gpu& gpu) {
  call_begin("NvAPI_GPU_GetBusId", Subject::Gpu, i);
  const NvAPI_Status bus = NvAPI_GPU_GetBusId(gpu.handle, &gpu.bus);
  call_end();
  if (given_up(lines)) return false;
  note_answer(lines, NvAPI_GPU_GetBusId_Entry, "NvAPI_GPU_GetBusId", bus, i);
  call_begin("NvAPI_GPU_GetBusSlotId", Subject::Gpu, i);
  const NvAPI_Status slot = NvAPI_GPU_GetBusSlotId(gpu.handle, &gpu.slot);
  call_end();
  if (given_up(lines)) return false;
  note_answer(lines, NvAPI_GPU_GetBusSlotId_Entry, "NvAPI_GPU_GetBusSlotId", slot, i);
  gpu.located = bus == NVAPI_OK && slot == NVAPI_OK;
  return true;
}

enum class Outcome : uint8_t { Read, Asleep, PoweredDown, NoReading, Failed, Crashed };

void describe_sensors(std::string& lines, const NV_GPU_THERMAL_SETTINGS& settings) {
  const NvU32 count = settings.count < NVAPI_MAX_THERMAL_SENSORS_PER_GPU
                          ? settings.count
                          : static_cast<NvU32>(NVAPI_MAX_THERMAL_SENSORS_PER_GPU);
  comment(lines, "  sensors: %u", settings.count);
  for (NvU32 s = 0; s < count; ++s) {
    const auto& sensor = settings.sensor[s];
    comment(lines, "  sensor %u: controller %d, target %d, current %d, default range %u to %u", s,
            sensor.controller, sensor.target, sensor.currentTemp, sensor.defaultMinTemp,
            sensor.defaultMaxTemp);
  }
}

// The thermal read of the monitor's first pass, after its power check.
Outcome read_gpu(std::string& lines, int32_t i, const Gpu& gpu, int32_t& celsius) {
  if (power_check(lines, gpu.located, gpu.bus, gpu.slot, 0)) {
    comment(lines, "GPU %d: powered down (D3): not asked, since the call would wake it", i);
    return Outcome::Asleep;
  }
  NV_GPU_THERMAL_SETTINGS settings{};
  settings.version = NV_GPU_THERMAL_SETTINGS_VER_1;
  settings.sensor[0].controller = -1;
  settings.sensor[0].target = 1;
  call_begin("NvAPI_GPU_GetThermalSettings", Subject::Gpu, i);
  const NvAPI_Status status = NvAPI_GPU_GetThermalSettings(gpu.handle, 0, &settings);
  call_end();
  if (given_up(lines)) return Outcome::Crashed;
  note_answer(lines, NvAPI_GPU_GetThermalSettings_Entry, "NvAPI_GPU_GetThermalSettings", status, i);
  if (status == NVAPI_GPU_NOT_POWERED) return Outcome::PoweredDown;
  if (status != NVAPI_OK) return Outcome::Failed;
  describe_sensors(lines, settings);
  celsius = settings.sensor[0].currentTemp;
  return Outcome::Read;
}

void gpu_line(std::string& lines, const Gpu& gpu, Outcome outcome, int32_t celsius) {
  append(lines, "gpu name=%s", quoted(gpu.name, gpu.name_length).c_str());
  if (gpu.located) append(lines, " bus=%u device=%u", gpu.bus, gpu.slot);
  if (gpu.name_open) lines += " noterm";
  if (outcome == Outcome::Read) append(lines, " temps=%d", celsius);
  lines += '\n';
}

// What a row of ADL's read through this GPU shows: a failing read shows no box there.
std::string adl_row_text(Outcome outcome, int32_t celsius) {
  switch (outcome) {
    case Outcome::Read: return label_text(celsius);
    case Outcome::Asleep:
    case Outcome::PoweredDown: return "Powered down";
    default: return "Please wait (no reading)";
  }
}

std::string row_text(Outcome outcome, int32_t celsius) {
  switch (outcome) {
    case Outcome::Read: return label_text(celsius);
    case Outcome::Asleep:
    case Outcome::PoweredDown: return "Powered down";
    case Outcome::Failed: return "Please wait (no reading: the box \"Unable to get thermal settings\", and no further reading)";
    default: return "Please wait (no reading)";
  }
}

// Set-up's listing; the GPUs, or none after a failure (with its `fail` line).
bool list_gpus(std::string& lines, std::vector<Gpu>& gpus, NvAPI_Status& status) {
  NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS + 1] = {};
  NvU32 count = 0;
  call_begin("NvAPI_EnumPhysicalGPUs");
  status = NvAPI_EnumPhysicalGPUs(handles, &count);
  call_end();
  if (given_up(lines)) return false;
  note_answer(lines, NvAPI_EnumPhysicalGPUs_Entry, "NvAPI_EnumPhysicalGPUs", status);
  comment(lines, "GPUs: %u", count);
  if (status != NVAPI_OK) return false;
  if (count > NVAPI_MAX_PHYSICAL_GPUS) count = NVAPI_MAX_PHYSICAL_GPUS;
  for (NvU32 i = 0; i < count; ++i) gpus.push_back(Gpu{handles[i], {}, 0, false, false, 0, 0});
  return true;
}

void describe_gpus(VendorReport& report, std::vector<Gpu>& gpus) {
  std::string& lines = report.lines;
  for (size_t i = 0; i < gpus.size(); ++i)
    if (!read_name(lines, static_cast<int32_t>(i), gpus[i])) return;
  for (size_t i = 0; i < gpus.size(); ++i)
    if (!locate(lines, static_cast<int32_t>(i), gpus[i])) return;
  report.asks_nvml = true;
  for (const Gpu& gpu : gpus)
    if (gpu.located) report.known.push_back(PciLocation{gpu.bus, gpu.slot, 0});
  // Each labelled as a row waits until its GPU is read: a crash here ends the reading.
  for (const Gpu& gpu : gpus)
    report.gpus.push_back(GpuAnswer{std::string(gpu.name, gpu.name_length), gpu.located, gpu.bus,
                                    gpu.slot, 0, GpuVendor::Nvidia, "Please wait (no reading)"});
  bool reading = true;
  for (size_t i = 0; i < gpus.size(); ++i) {
    const auto row = static_cast<int32_t>(i);
    Gpu& gpu = gpus[i];
    comment(lines, "GPU %d: %s, PCI %s", row, quoted(gpu.name, gpu.name_length).c_str(),
            gpu.located ? (std::to_string(gpu.bus) + ":" + std::to_string(gpu.slot) + ".0").c_str()
                        : "unknown");
    int32_t celsius = 0;
    const Outcome outcome = read_gpu(lines, row, gpu, celsius);
    gpu_line(lines, gpu, outcome, celsius);
    if (outcome == Outcome::Crashed) {
      report.readings_end = true;
      return;
    }
    report.gpus[i].label = adl_row_text(outcome, celsius);
    row_line(report.rows, row, gpu.name, gpu.name_length,
             reading ? row_text(outcome, celsius) : "Please wait (not read: the readings ended)");
    if (outcome == Outcome::Failed) reading = false;
    report.readings_end = !reading;
  }
}

}  // namespace

void nvidia_gather(VendorReport& report) {
  std::string& lines = report.lines;
  comment(lines, "---- NVIDIA: NVAPI");
  if (!library_present(lines)) return;
  report.loaded = true;
  report.has_rows = true;
  call_begin("NvAPI_Initialize");
  const NvAPI_Status status = NvAPI_Initialize();
  call_end();
  if (given_up(lines)) return;
  note_status(lines, "NvAPI_Initialize", status);
  report.session = status == NVAPI_OK;
  // The program's NVAPI layer answers -1 for any refusal of the driver's: then NVML is looked at.
  report.asks_nvml = status == NVAPI_ERROR;
  if (status != NVAPI_OK) {
    comment(lines, "(the program's NVAPI layer answers -2 when nvapi64.dll is not in the system "
                   "folder, and -1 for any failure of the driver's own)");
    return;
  }
  describe_hooks(lines);
  describe_version(lines);
  std::vector<Gpu> gpus;
  NvAPI_Status listed = NVAPI_ERROR;
  if (!nvapi_given_up() && list_gpus(lines, gpus, listed)) describe_gpus(report, gpus);
  // NVAPI finding no GPU: the compute GPUs NVML lists may be the window.
  if (listed == NVAPI_NVIDIA_DEVICE_NOT_FOUND) report.asks_nvml = true;
}
