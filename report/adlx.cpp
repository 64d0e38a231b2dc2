#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "backends/amd/adl_call.h"
#include "backends/amd/adlx.h"
#include "facade/library.h"
#include "report/report.h"

// ADLX as the monitor meets it for AMD rows that no ADL call reads: loaded from the system folder,
// started on the report's own ADL2 context with the free routine of the allocator that context
// was made with; its GPUs in its own order, and each of ADL's AMD records looked up through the
// mapping, by adapter index and by PCI location; then each GPU's support flags and one reading.
// Every object handed out is released once, ADLX is terminated before the ADL2 context goes, and
// the library is unloaded.

namespace {

constexpr ObjectNumber AdlxLibrary = 2;  // beside ADL's 0 and Intel's 1, as in the monitor
constexpr size_t TextSize = 256;

struct Place {
  bool known = false;
  int bus = 0;
  int device = 0;
  int function = 0;
};

bool operator==(const Place& a, const Place& b) {
  return a.known && b.known && a.bus == b.bus && a.device == b.device && a.function == b.function;
}

struct Metric {
  bool supported = false;
  bool asked = false;
  ADLX_RESULT status = ADLX_FAIL;
  double value = 0;
};

// One GPU of ADLX's: from its list, or found through the mapping alone.
struct Gpu {
  AdlxObject* object = nullptr;  // held until the end, then released once
  std::string name;
  std::string vendor;
  std::string device_id;
  int type = 0;
  Place place;                // as the mapping answers it
  std::vector<int> adapters;  // the ADL adapter indices the mapping finds it by, its own first
  bool asleep = false;
  bool support_known = false;
  Metric edge;
  Metric hotspot;
};

bool Crashed;
AdlxObject* Mapping;
std::vector<Gpu> Gpus;

// One call under guard and under watch. `call` reads the method's table, which is the driver's
// memory, inside the guard too. False when it did not return: then it crashed, and is named.
template <typename Result, typename Call>
bool adlx_call(std::string& lines, Result& result, const char* name, Subject subject,
               int32_t number, Call call) {
  if (Crashed) return false;
  call_begin(name, subject, number);
  const bool returned = guarded_call(library_module(AdlxLibrary), result, call);
  call_end();
  if (!returned) {
    Crashed = true;
    if (!call_crashed(lines, library_module(AdlxLibrary)))
      comment(lines, "%s: could not be called", name);
  }
  return returned;
}

// The method in `slot` of `object`'s table, the object first.
template <typename Method, typename Result, typename... Arguments>
bool method(std::string& lines, Result& result, const char* name, Subject subject, int32_t number,
            AdlxObject* object, int slot, Arguments... arguments) {
  return adlx_call(lines, result, name, subject, number,
                   [=] { return adlx_method<Method>(object, slot)(object, arguments...); });
}

// A GPU's calls name it by its position, as the replay's `adlx=` does.
Subject about(int32_t position) { return position >= 0 ? Subject::Adlx : Subject::None; }

void release(std::string& lines, AdlxObject*& object, int32_t position = -1) {
  long count = 0;
  if (object)
    method<AdlxAcquireOrRelease>(lines, count, "Release", about(position), position, object,
                                 adlx_slot::Release);
  object = nullptr;
}

void fail_line(std::string& lines, const char* name, ADLX_RESULT status, int32_t position = -1) {
  append(lines, "fail %s=%d", name, status);
  if (position >= 0) append(lines, " adlx=%d", position);
  lines += '\n';
}

// Copies a text the library hands out, which lives only while its object is held, into the
// report's own buffer: inside the guard, allocating nothing.
void copy_text(const char* text, char (&copy)[TextSize]) {
  size_t i = 0;
  for (; text && i + 1 < TextSize && text[i]; ++i) copy[i] = text[i];
  copy[i] = '\0';
}

bool gpu_text(std::string& lines, const Gpu& gpu, int32_t position, const char* name, int slot,
              std::string& text) {
  char copy[TextSize] = "";
  ADLX_RESULT status = ADLX_FAIL;
  AdlxObject* object = gpu.object;
  if (!adlx_call(lines, status, name, Subject::Adlx, position, [object, slot, &copy] {
        const char* answer = nullptr;
        const ADLX_RESULT result = adlx_method<AdlxGpuText>(object, slot)(object, &answer);
        if (adlx_succeeded(result)) copy_text(answer, copy);
        return result;
      }))
    return false;
  if (!adlx_succeeded(status)) comment(lines, "%s: %d", name, status);
  text = copy;
  return true;
}

// Its texts, type and what the mapping says of it. False when ADLX crashed.
bool describe_gpu(std::string& lines, int32_t position) {
  Gpu& gpu = Gpus[static_cast<size_t>(position)];
  if (!gpu_text(lines, gpu, position, "Name", adlx_slot::GpuName, gpu.name) ||
      !gpu_text(lines, gpu, position, "VendorId", adlx_slot::GpuVendorId, gpu.vendor) ||
      !gpu_text(lines, gpu, position, "DeviceId", adlx_slot::GpuDeviceId, gpu.device_id))
    return false;
  ADLX_RESULT status = ADLX_FAIL;
  ADLX_GPU_TYPE type = GPUTYPE_UNDEFINED;
  if (!method<AdlxGpuType>(lines, status, "Type", Subject::Adlx, position, gpu.object,
                           adlx_slot::GpuType, &type))
    return false;
  gpu.type = adlx_succeeded(status) ? type : GPUTYPE_UNDEFINED;
  Place& place = gpu.place;
  if (!method<AdlxBdfFromGpu>(lines, status, "BdfFromADLXGPU", Subject::Adlx, position, Mapping,
                              adlx_slot::MappingBdfFromADLXGPU, gpu.object, &place.bus,
                              &place.device, &place.function))
    return false;
  place.known = adlx_succeeded(status);
  int own_index = -1;
  ADLX_RESULT index_status = ADLX_FAIL;
  if (!method<AdlxAdapterIndexFromGpu>(lines, index_status, "AdlAdapterIndexFromADLXGPU",
                                       Subject::Adlx, position, Mapping,
                                       adlx_slot::MappingAdlAdapterIndexFromADLXGPU, gpu.object,
                                       &own_index))
    return false;
  if (adlx_succeeded(index_status)) gpu.adapters.push_back(own_index);
  std::string text;
  append(text, "ADLX GPU %d: %s, vendor %s, device %s, type %d, ", position,
         quoted(gpu.name.data(), gpu.name.size()).c_str(),
         quoted(gpu.vendor.data(), gpu.vendor.size()).c_str(),
         quoted(gpu.device_id.data(), gpu.device_id.size()).c_str(), gpu.type);
  if (place.known) append(text, "PCI %d:%d.%d, ", place.bus, place.device, place.function);
  else append(text, "PCI location: %d, ", status);
  if (adlx_succeeded(index_status)) append(text, "ADL adapter index %d", own_index);
  else append(text, "ADL adapter index: %d", index_status);
  comment(lines, "%s", text.c_str());
  return true;
}

// The position of the GPU a mapping call handed out: an entry of the same object or of the same
// PCI location (the handed-out one is then released), else a new entry holding it. -1 when ADLX
// crashed.
int32_t entry_of(std::string& lines, AdlxObject* gpu) {
  for (size_t i = 0; i < Gpus.size(); ++i) {
    if (Gpus[i].object != gpu) continue;
    release(lines, gpu, static_cast<int32_t>(i));
    return Crashed ? -1 : static_cast<int32_t>(i);
  }
  Place place;
  ADLX_RESULT status = ADLX_FAIL;
  if (!method<AdlxBdfFromGpu>(lines, status, "BdfFromADLXGPU", Subject::None, 0, Mapping,
                              adlx_slot::MappingBdfFromADLXGPU, gpu, &place.bus, &place.device,
                              &place.function))
    return -1;
  place.known = adlx_succeeded(status);
  for (size_t i = 0; i < Gpus.size(); ++i) {
    if (!(Gpus[i].place == place)) continue;
    release(lines, gpu, static_cast<int32_t>(i));
    return Crashed ? -1 : static_cast<int32_t>(i);
  }
  Gpus.push_back(Gpu{});
  Gpus.back().object = gpu;
  const auto position = static_cast<int32_t>(Gpus.size() - 1);
  comment(lines, "a GPU the mapping finds is not in ADLX's list: ADLX GPU %d", position);
  return describe_gpu(lines, position) ? position : -1;
}

void list_gpus(std::string& lines, AdlxObject* system) {
  AdlxObject* list = nullptr;
  ADLX_RESULT status = ADLX_FAIL;
  if (!method<AdlxGetObject>(lines, status, "GetGPUs", Subject::None, 0, system,
                             adlx_slot::SystemGetGPUs, &list))
    return;
  if (!adlx_succeeded(status) || !list) {
    comment(lines, "GetGPUs: %d (the monitor does not list them)", status);
    return;
  }
  uint32_t size = 0;
  method<AdlxListCount>(lines, size, "Size", Subject::None, 0, list, adlx_slot::ListSize);
  comment(lines, "GPUs in ADLX's list: %u", size);
  for (uint32_t i = 0; i < size && !Crashed; ++i) {
    const auto position = static_cast<int32_t>(i);
    AdlxObject* gpu = nullptr;
    if (!method<AdlxListAt>(lines, status, "At", Subject::Adlx, position, list, adlx_slot::ListAt,
                            i, &gpu))
      return;
    if (!adlx_succeeded(status) || !gpu) {
      comment(lines, "At %u: %d", i, status);
      break;
    }
    Gpus.push_back(Gpu{});
    Gpus.back().object = gpu;
    if (!describe_gpu(lines, position)) return;
  }
  release(lines, list);
}

// The GPU the mapping finds for one of ADL's records, by its adapter index or by its PCI location.
struct Found {
  int32_t by_index = -1;
  int32_t by_place = -1;
};

template <typename Method, typename... Arguments>
int32_t look_up(std::string& lines, const char* name, const char* what, int slot,
                Arguments... arguments) {
  AdlxObject* gpu = nullptr;
  ADLX_RESULT status = ADLX_FAIL;
  if (!method<Method>(lines, status, name, Subject::None, 0, Mapping, slot, arguments..., &gpu))
    return -1;
  if (!adlx_succeeded(status) || !gpu) {
    comment(lines, "  %s: %d%s", what, status, status == ADLX_NOT_FOUND ? " (not found)" : "");
    return -1;
  }
  const int32_t position = entry_of(lines, gpu);
  if (position >= 0) comment(lines, "  %s: ADLX GPU %d", what, position);
  return position;
}

Found map_record(std::string& lines, const AdlxRecord& record) {
  Found found;
  comment(lines, "ADL adapter index %d, PCI %d:%d.%d:", record.adapter_index, record.bus,
          record.device, record.function);
  found.by_index = look_up<AdlxGpuFromAdapterIndex>(
      lines, "GetADLXGPUFromAdlAdapterIndex", "by adapter index",
      adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex, record.adapter_index);
  if (found.by_index >= 0) {
    std::vector<int>& adapters = Gpus[static_cast<size_t>(found.by_index)].adapters;
    bool listed = false;
    for (const int index : adapters) listed = listed || index == record.adapter_index;
    if (!listed) adapters.push_back(record.adapter_index);
  }
  if (record.located && !Crashed)
    found.by_place = look_up<AdlxGpuFromBdf>(lines, "GetADLXGPUFromBdf", "by PCI location",
                                             adlx_slot::MappingGetADLXGPUFromBdf, record.bus,
                                             record.device, record.function);
  return found;
}

bool ask_supported(std::string& lines, AdlxObject* support, int32_t position, const char* name,
                   int slot, Metric& metric) {
  bool supported = false;
  ADLX_RESULT status = ADLX_FAIL;
  if (!method<AdlxIsSupported>(lines, status, name, Subject::Adlx, position, support, slot,
                               &supported))
    return false;
  if (!adlx_succeeded(status)) fail_line(lines, name, status, position);
  metric.supported = adlx_succeeded(status) && supported;
  return true;
}

void ask_support(std::string& lines, AdlxObject* services, int32_t position) {
  Gpu& gpu = Gpus[static_cast<size_t>(position)];
  AdlxObject* support = nullptr;
  ADLX_RESULT status = ADLX_FAIL;
  if (!method<AdlxGpuObject>(lines, status, "GetSupportedGPUMetrics", Subject::Adlx, position,
                             services, adlx_slot::ServicesGetSupportedGPUMetrics, gpu.object,
                             &support))
    return;
  if (!adlx_succeeded(status) || !support) {
    comment(lines, "GetSupportedGPUMetrics, ADLX GPU %d: %d", position, status);
    fail_line(lines, "GetSupportedGPUMetrics", adlx_succeeded(status) ? ADLX_FAIL : status,
              position);
    return;
  }
  gpu.support_known =
      ask_supported(lines, support, position, "IsSupportedGPUTemperature",
                    adlx_slot::SupportIsSupportedGPUTemperature, gpu.edge) &&
      ask_supported(lines, support, position, "IsSupportedGPUHotspotTemperature",
                    adlx_slot::SupportIsSupportedGPUHotspotTemperature, gpu.hotspot);
  release(lines, support, position);
}

void read_metric(std::string& lines, AdlxObject* metrics, int32_t position, const char* name,
                 int slot, Metric& metric) {
  if (!metric.supported || Crashed) return;
  metric.value = 0;
  if (!method<AdlxMetricValue>(lines, metric.status, name, Subject::Adlx, position, metrics, slot,
                               &metric.value))
    return;
  metric.asked = true;
  if (!adlx_succeeded(metric.status)) fail_line(lines, name, metric.status, position);
}

// The support flags, then one reading of each supported temperature: the monitor's calls for a
// row's GPU. A powered-down GPU is not asked, since the calls would wake it.
void read_gpu(std::string& lines, AdlxObject* services, int32_t position) {
  Gpu& gpu = Gpus[static_cast<size_t>(position)];
  const Place& place = gpu.place;
  gpu.asleep = place.known && power_check(lines, true, static_cast<uint32_t>(place.bus),
                                          static_cast<uint32_t>(place.device),
                                          static_cast<uint32_t>(place.function));
  if (gpu.asleep) {
    comment(lines, "ADLX GPU %d: powered down (D3): not asked", position);
    return;
  }
  ask_support(lines, services, position);
  if (!gpu.support_known || (!gpu.edge.supported && !gpu.hotspot.supported)) return;
  AdlxObject* metrics = nullptr;
  ADLX_RESULT status = ADLX_FAIL;
  if (!method<AdlxGpuObject>(lines, status, "GetCurrentGPUMetrics", Subject::Adlx, position,
                             services, adlx_slot::ServicesGetCurrentGPUMetrics, gpu.object,
                             &metrics))
    return;
  if (!adlx_succeeded(status) || !metrics) {
    fail_line(lines, "GetCurrentGPUMetrics", adlx_succeeded(status) ? ADLX_FAIL : status,
              position);
    return;
  }
  read_metric(lines, metrics, position, "GPUTemperature", adlx_slot::MetricsGPUTemperature,
              gpu.edge);
  read_metric(lines, metrics, position, "GPUHotspotTemperature",
              adlx_slot::MetricsGPUHotspotTemperature, gpu.hotspot);
  release(lines, metrics, position);
}

// Degrees as a scenario writes them: a plain decimal, or `nan`. An infinite or huge value is
// written as one no GPU has either, which reads the same.
std::string degrees_text(double value) {
  if (std::isnan(value)) return "nan";
  if (!(std::fabs(value) < 1e6)) return value > 0 ? "999999" : "-999999";
  char text[64];
  std::snprintf(text, sizeof(text), "%.6f", value);
  std::string written = text;
  written.erase(written.find_last_not_of('0') + 1);
  if (written.back() == '.') written.pop_back();
  return written;
}

std::string metric_text(const Metric& metric) {
  if (!metric.supported) return "off";
  // A read that failed is replayed by its `fail` line: the value is never used.
  return metric.asked && adlx_succeeded(metric.status) ? degrees_text(metric.value) : "0";
}

void metric_comment(std::string& lines, const char* name, const Metric& metric) {
  if (!metric.supported) comment(lines, "  %s: not supported", name);
  else if (!metric.asked) comment(lines, "  %s: supported, not read", name);
  else if (!adlx_succeeded(metric.status)) comment(lines, "  %s: supported, read %d", name, metric.status);
  else comment(lines, "  %s: supported, %s", name, degrees_text(metric.value).c_str());
}

void gpu_line(std::string& lines, const Gpu& gpu) {
  append(lines, "adlx name=%s vendor=%s deviceid=%s type=%d",
         quoted(gpu.name.data(), gpu.name.size()).c_str(),
         quoted(gpu.vendor.data(), gpu.vendor.size()).c_str(),
         quoted(gpu.device_id.data(), gpu.device_id.size()).c_str(), gpu.type);
  if (!gpu.place.known && gpu.adapters.empty()) {
    lines += " nomap";
  } else {
    // The monitor never looks a GPU up at bus 0, where one of no known location is put.
    append(lines, " bus=%d device=%d function=%d adapters=", gpu.place.bus, gpu.place.device,
           gpu.place.function);
    if (gpu.adapters.empty()) lines += "none";
    for (size_t i = 0; i < gpu.adapters.size(); ++i)
      append(lines, "%s%d", i > 0 ? "," : "", gpu.adapters[i]);
  }
  if (gpu.support_known)
    append(lines, " temps=%s hotspot=%s", metric_text(gpu.edge).c_str(),
           metric_text(gpu.hotspot).c_str());
  lines += '\n';
}

// What a row whose GPU is entry `position` shows through ADLX: the edge temperature where it has
// one, else the hotspot, as whole degrees.
AdlxRowAnswer row_answer(int32_t position, bool by_index) {
  AdlxRowAnswer answer{};
  if (position < 0) return answer;
  const Gpu& gpu = Gpus[static_cast<size_t>(position)];
  answer.found = true;
  answer.by_index = by_index;
  answer.asleep = gpu.asleep;
  const Metric* metric = gpu.edge.supported ? &gpu.edge : gpu.hotspot.supported ? &gpu.hotspot : nullptr;
  answer.readable = metric != nullptr;
  answer.hotspot = metric == &gpu.hotspot;
  answer.read = metric && metric->asked && adlx_succeeded(metric->status) &&
                adlx_whole_degrees(metric->value, answer.celsius);
  return answer;
}

// The library's own version, or 1.0 when it does not say: the version it is started with.
uint64_t own_version(std::string& lines) {
  const auto query = export_as<ADLXQueryFullVersion_Fn>(library_find(AdlxLibrary, L"ADLXQueryFullVersion"));
  uint64_t own = 0;
  ADLX_RESULT status = ADLX_FAIL;
  if (!query) comment(lines, "ADLXQueryFullVersion: not exported");
  else if (!adlx_call(lines, status, "ADLXQueryFullVersion", Subject::None, 0,
                      [query, &own] { return query(&own); }))
    return 0;
  if (query && !adlx_succeeded(status)) fail_line(lines, "ADLXQueryFullVersion", status);
  if (!adlx_succeeded(status) || own == 0) own = ADLX_VERSION_1_0;
  // Not a call the monitor makes: only noted.
  const auto text_query =
      export_as<ADLXQueryVersion_Fn>(library_find(AdlxLibrary, L"ADLXQueryVersion"));
  char text[TextSize] = "";
  ADLX_RESULT text_status = ADLX_FAIL;
  if (text_query && adlx_call(lines, text_status, "ADLXQueryVersion", Subject::None, 0,
                              [text_query, &text] {
                                const char* answer = nullptr;
                                const ADLX_RESULT result = text_query(&answer);
                                if (adlx_succeeded(result)) copy_text(answer, text);
                                return result;
                              }))
    comment(lines, "ADLXQueryVersion: %d, %s", text_status,
            quoted(text, strnlen(text, TextSize)).c_str());
  if (Crashed) return 0;
  comment(lines, "ADLXQueryFullVersion: 0x%016llX", static_cast<unsigned long long>(own));
  append(lines, "adlx_version=%u.%u.%u.%u\n", static_cast<unsigned>(own >> 48),
         static_cast<unsigned>((own >> 32) & 0xFFFF), static_cast<unsigned>((own >> 16) & 0xFFFF),
         static_cast<unsigned>(own & 0xFFFF));
  return own;
}

// Started on ADL's context; the system and the mapping are ADLX's own, never released.
AdlxObject* start(std::string& lines, void* adl2_context) {
  const auto initialize = export_as<ADLXInitializeWithCallerAdl_Fn>(
      library_find(AdlxLibrary, L"ADLXInitializeWithCallerAdl"));
  if (!initialize || !library_has_export(AdlxLibrary, L"ADLXTerminate")) {
    comment(lines, "ADLXInitializeWithCallerAdl or ADLXTerminate: not exported, so the monitor cannot use ADLX");
    fail_line(lines, "ADLXInitializeWithCallerAdl", ADLX_FAIL);
    return nullptr;
  }
  const uint64_t version = own_version(lines);
  if (Crashed) return nullptr;
  AdlxObject* system = nullptr;
  ADLX_RESULT status = ADLX_FAIL;
  if (!adlx_call(lines, status, "ADLXInitializeWithCallerAdl", Subject::None, 0,
                 [initialize, version, &system, adl2_context] {
                   return initialize(version, &system, &Mapping, adl2_context, adl_free);
                 }))
    return nullptr;
  comment(lines, "ADLXInitializeWithCallerAdl 0x%016llX: %d", static_cast<unsigned long long>(version), status);
  if (adlx_succeeded(status) && system && Mapping) return system;
  if (!adlx_succeeded(status)) {
    fail_line(lines, "ADLXInitializeWithCallerAdl", status);
    return nullptr;
  }
  comment(lines, "no system or no mapping handed out, which the monitor cannot use");
  fail_line(lines, "ADLXInitializeWithCallerAdl", ADLX_FAIL);
  ADLX_RESULT ended = ADLX_FAIL;
  const auto terminate = export_as<ADLXTerminate_Fn>(library_find(AdlxLibrary, L"ADLXTerminate"));
  adlx_call(lines, ended, "ADLXTerminate", Subject::None, 0, terminate);
  return nullptr;
}

// Every object handed out released, then ADLX terminated: no call on its objects follows.
void finish(std::string& lines, AdlxObject*& services) {
  for (size_t i = 0; i < Gpus.size(); ++i) release(lines, Gpus[i].object, static_cast<int32_t>(i));
  release(lines, services);
  ADLX_RESULT status = ADLX_FAIL;
  const auto terminate = export_as<ADLXTerminate_Fn>(library_find(AdlxLibrary, L"ADLXTerminate"));
  if (adlx_call(lines, status, "ADLXTerminate", Subject::None, 0, terminate))
    comment(lines, "ADLXTerminate: %d", status);
}

}  // namespace

AdlxAnswers adlx_gather(std::string& lines, void* adl2_context,
                        const std::vector<AdlxRecord>& records) {
  comment(lines, "---- AMD: ADLX, for the rows no ADL call reads");
  call_begin("LoadLibrary");
  const bool loaded = library_open_system(AdlxLibrary, L"amdadlx64.dll") != nullptr;
  call_end();
  if (!loaded) {
    comment(lines, "amdadlx64.dll does not load from the system folder");
    return {{}, true};
  }
  AdlxObject* system = start(lines, adl2_context);
  std::vector<AdlxRowAnswer> answers;
  if (system) {
    list_gpus(lines, system);
    std::vector<Found> found;
    for (const AdlxRecord& record : records)
      if (!Crashed) found.push_back(map_record(lines, record));
    AdlxObject* services = nullptr;
    ADLX_RESULT status = ADLX_FAIL;
    if (method<AdlxGetObject>(lines, status, "GetPerformanceMonitoringServices", Subject::None, 0,
                              system, adlx_slot::SystemGetPerformanceMonitoringServices,
                              &services) &&
        (!adlx_succeeded(status) || !services)) {
      fail_line(lines, "GetPerformanceMonitoringServices", adlx_succeeded(status) ? ADLX_FAIL : status);
      services = nullptr;
    }
    for (size_t i = 0; i < Gpus.size() && services; ++i)
      read_gpu(lines, services, static_cast<int32_t>(i));
    for (size_t i = 0; i < Gpus.size(); ++i) {
      comment(lines, "ADLX GPU %u:", static_cast<unsigned>(i));
      metric_comment(lines, "edge", Gpus[i].edge);
      metric_comment(lines, "hotspot", Gpus[i].hotspot);
      gpu_line(lines, Gpus[i]);
    }
    // After a crash the monitor gives ADLX up: no row of it is read.
    for (const Found& row : found)
      if (!Crashed)
        answers.push_back(row.by_index >= 0 ? row_answer(row.by_index, true)
                                            : row_answer(row.by_place, false));
    finish(lines, services);
  }
  // Its code may hold locks after a crash: a library that crashed is never unloaded.
  if (!Crashed) library_close(AdlxLibrary);
  if (!answers.empty()) answers.resize(records.size());
  return {answers, !Crashed};
}
