// Simulated AMD ADLX library (amdadlx64.dll): the six exports and the objects they hand out, with
// real tables of methods, answered from the scenario's `adlx` lines. Every object handed out is a
// record of this library's pool, checked at every call on it, so that the log shows a caller's
// mistakes with lifetimes as they happen: a call on a released object or after ADLXTerminate
// (then an access violation, as in the real library), objects still held at terminate.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "backends/amd/adlx.h"
#include "tools/drivers/simdrv.h"

namespace {

enum class Kind { System, Mapping, List, Gpu, Services, Support, Metrics };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::System: return "system";
    case Kind::Mapping: return "mapping";
    case Kind::List: return "list";
    case Kind::Gpu: return "gpu";
    case Kind::Services: return "services";
    case Kind::Support: return "support";
    case Kind::Metrics: return "metrics";
  }
  return "?";
}

// One object handed out. `object` comes first: its address is the object's, and its table
// pointer is what the caller calls through. All zero until handed out, so that the pool takes no
// room in the library's file.
struct Record {
  AdlxObject object{};
  Kind kind = Kind::System;
  bool live = false;     // handed out and not yet freed
  bool counted = false;  // the system and the mapping are ADLX's own, never released
  long count = 0;
  int session = 0;       // the initialise it was handed out under
  int generation = 0;    // the driver's generation it belongs to
  int gpu = 0;           // scenario position of the GPU it is about; -1: none
  char name[128] = "";   // a GPU's texts, which live as long as it does
  char vendor[16] = "";
  char device_id[16] = "";
};

// A freed record waits behind this many others before it is handed out again, so that a call on
// an object shortly after its release still finds it freed.
constexpr size_t Quarantine = 256;
constexpr size_t Capacity = 4096;
Record Pool[Capacity];
size_t Used = 0;                // records of the pool handed out at least once
size_t FreeRing[Capacity];      // indices of freed records, oldest first
size_t FreeFirst = 0;
size_t FreeCount = 0;

// Guarded by the simulation lock, as the pool.
bool Initialised = false;
int Session = 0;  // counts initialisations; objects of an earlier one are past their terminate
Record* System = nullptr;
Record* Mapping = nullptr;

Record* record_of(const AdlxObject* object) {
  const auto address = reinterpret_cast<uintptr_t>(object);
  const auto first = reinterpret_cast<uintptr_t>(&Pool[0]);
  if (address < first || address >= first + sizeof(Pool) || (address - first) % sizeof(Record))
    return nullptr;
  return &Pool[(address - first) / sizeof(Record)];
}

Record* allocate(Kind kind, const AdlxMethod* methods, int gpu) {
  size_t index = 0;
  if (FreeCount > Quarantine || (Used == Capacity && FreeCount > 0)) {
    index = FreeRing[FreeFirst];
    FreeFirst = (FreeFirst + 1) % Capacity;
    --FreeCount;
  } else if (Used < Capacity) {
    index = Used++;
  } else {
    return nullptr;
  }
  Record& record = Pool[index];
  record = Record{};
  record.object.methods = methods;
  record.kind = kind;
  record.live = true;
  record.counted = kind != Kind::System && kind != Kind::Mapping;
  record.count = record.counted ? 1 : 0;
  record.session = Session;
  record.generation = sim_generation();
  record.gpu = gpu;
  if (kind == Kind::Gpu && static_cast<size_t>(gpu) < sim_scenario().adlx.size()) {
    const SimAdlxGpu& simulated = sim_scenario().adlx[static_cast<size_t>(gpu)];
    sim_fill_text(record.name, sizeof(record.name), simulated.name, false);
    sim_fill_text(record.vendor, sizeof(record.vendor), simulated.vendor, false);
    sim_fill_text(record.device_id, sizeof(record.device_id), simulated.device_id, false);
  }
  return &record;
}

// The texts a caller may still point at read as freed from now on.
void free_record(Record& record) {
  record.live = false;
  sim_fill_text(record.name, sizeof(record.name), "<freed>", false);
  sim_fill_text(record.vendor, sizeof(record.vendor), "<freed>", false);
  sim_fill_text(record.device_id, sizeof(record.device_id), "<freed>", false);
  FreeRing[(FreeFirst + FreeCount) % Capacity] = static_cast<size_t>(&record - Pool);
  ++FreeCount;
}

// Objects of the current session handed out and not released.
long held() {
  long count = 0;
  for (size_t i = 0; i < Used; ++i)
    if (Pool[i].live && Pool[i].counted && Pool[i].session == Session) ++count;
  return count;
}

// What is wrong with calling `record`, as the log says it, or null.
const char* misuse(const Record* record) {
  if (!record) return nullptr;
  if (!Initialised || record->session != Session) return "after-terminate";
  if (!record->live) return "use-after-free";
  return nullptr;
}

int gpu_of(const AdlxObject* object) {
  sim_lock();
  const Record* record = record_of(object);
  const int gpu = record ? record->gpu : -1;
  sim_unlock();
  return gpu;
}

// The scenario positions of the GPUs ADLX lists now.
std::vector<size_t> listed() { return sim_listed(sim_scenario().adlx.size()); }

bool is_listed(int gpu) {
  return gpu >= 0 && static_cast<size_t>(gpu) < sim_scenario().adlx.size() &&
         !sim_dropped(static_cast<size_t>(gpu));
}

// Never success: a caller that passes this check goes on to use what it was handed.
ADLX_RESULT restart_status() {
  const ADLX_RESULT status = sim_restart_status(ADLX_INVALID_OBJECT);
  return adlx_succeeded(status) ? ADLX_INVALID_OBJECT : status;
}

// How a method call goes.
struct Call {
  const char* method;
  AdlxObject* self;
  AdlxObject* argument = nullptr;  // an object passed in, checked as `self` is
  int gpu = -1;                    // the GPU the call is about, for the log and `adlx=`
  bool answers_status = true;      // Acquire, Release and the list's counts answer no status
};

// One method call: an object of an ended session or one already freed is logged and crashes, as
// the real library may; then the scenario's faults; then an object of before a restart answers
// the restart's status (but for the calls that answer no status); then `work`.
template <typename Work>
long long answer(const Call& call, char* args, size_t size, Work work) {
  if (call.gpu >= 0) sim_append(args, size, " gpu=%d", call.gpu);
  sim_lock();
  for (const AdlxObject* object : {call.self, call.argument}) {
    if (const char* wrong = misuse(record_of(object))) {
      sim_crash(call.method, args, wrong);
      return ADLX_FAIL;
    }
  }
  int32_t fault_status = 0;
  const SimFaultKind fault = sim_fault(call.method, call.gpu, &fault_status);
  if (fault == SIM_HANG || fault == SIM_HANG_LOCKED)
    sim_hang(call.method, args, fault == SIM_HANG_LOCKED);
  if (fault == SIM_CRASH) {
    sim_crash(call.method, args);
    return ADLX_FAIL;
  }
  if (fault == SIM_PROBE) sim_probe(args, size);
  if (fault == SIM_SLEEP) sim_sleep(fault_status, args, size);
  long long status = fault_status;
  if (fault != SIM_FAIL) {
    const Record* self = record_of(call.self);
    const Record* argument = record_of(call.argument);
    const bool old = (self && self->generation < sim_generation()) ||
                     (argument && argument->generation < sim_generation());
    status = old && call.answers_status ? restart_status() : work(args, size);
  }
  sim_unlock();
  sim_log_status(call.method, args, status);
  return status;
}

// The arguments of a method that takes the object alone, or the object and where to write.
void object_args(char* args, size_t size, const AdlxObject* self) {
  snprintf(args, size, "0x%llX", sim_address(self));
}

void object_args(char* args, size_t size, const AdlxObject* self, const void* out) {
  snprintf(args, size, "0x%llX,0x%llX", sim_address(self), sim_address(out));
}

// The same, with the kind of object, for the methods every kind has.
void shared_method_args(char* args, size_t size, const AdlxObject* self,
                        const void* const* out = nullptr) {
  if (out) object_args(args, size, self, out);
  else object_args(args, size, self);
  sim_lock();
  const Record* record = record_of(self);
  if (record) sim_append(args, size, " object=%s", kind_name(record->kind));
  sim_unlock();
}

// Hands out a new object through `out`, with count 1.
ADLX_RESULT hand_out(Kind kind, const AdlxMethod* methods, int gpu, AdlxObject** out,
                     char* details, size_t size) {
  if (!out) return ADLX_INVALID_ARGS;
  Record* record = allocate(kind, methods, gpu);
  if (!record) {
    sim_append(details, size, " pool=full");
    return ADLX_FAIL;
  }
  *out = &record->object;
  sim_append(details, size, " out=0x%llX", sim_address(*out));
  return ADLX_OK;
}

// A GPU passed to a method: one of this library's GPU objects.
const Record* gpu_argument(const AdlxObject* gpu) {
  const Record* record = record_of(gpu);
  return record && record->kind == Kind::Gpu ? record : nullptr;
}

// ---- the tables ----
template <typename Method>
AdlxMethod entry(Method method) noexcept {
  return reinterpret_cast<AdlxMethod>(method);
}

// A slot this library leaves unnamed: logs `slotN` and is not supported.
template <int Slot>
ADLX_RESULT WINAPI unnamed(AdlxObject* self) {
  char method[16];
  snprintf(method, sizeof(method), "slot%d", Slot);
  char args[96];
  shared_method_args(args, sizeof(args), self);
  return static_cast<ADLX_RESULT>(answer({method, self, nullptr, gpu_of(self)}, args, sizeof(args),
                                         [](char*, size_t) { return ADLX_NOT_SUPPORTED; }));
}

template <size_t Size, size_t... Slot>
std::array<AdlxMethod, Size> unnamed_slots(std::index_sequence<Slot...>) noexcept {
  return {entry(&unnamed<static_cast<int>(Slot)>)...};
}

// A table of `Size` slots: the named methods where they are, a stub everywhere else.
template <size_t Size>
std::array<AdlxMethod, Size> table(
    std::initializer_list<std::pair<int, AdlxMethod>> named) noexcept {
  std::array<AdlxMethod, Size> slots = unnamed_slots<Size>(std::make_index_sequence<Size>());
  for (const auto& [slot, method] : named) slots[static_cast<size_t>(slot)] = method;
  return slots;
}

// ---- IADLXInterface: every object but the system and the mapping ----
long acquire_or_release(AdlxObject* self, const char* method, long change) {
  char args[96];
  shared_method_args(args, sizeof(args), self);
  return static_cast<long>(answer(
      {method, self, nullptr, gpu_of(self), false}, args, sizeof(args),
      [&](char* details, size_t size) -> long long {
        Record* counted = record_of(self);
        if (!counted) return 0;
        counted->count += change;
        sim_append(details, size, " count=%ld", counted->count);
        if (counted->count == 0) free_record(*counted);
        return counted->count;
      }));
}

long WINAPI object_acquire(AdlxObject* self) {
  return acquire_or_release(self, "Acquire", 1);
}

long WINAPI object_release(AdlxObject* self) {
  return acquire_or_release(self, "Release", -1);
}

// No interface of this library is asked for by name; the monitor must never ask (older drivers
// crash in the extension interfaces it would get).
ADLX_RESULT WINAPI object_query_interface(AdlxObject* self, const wchar_t* iid,
                                          void** interface_out) {
  char args[256];
  shared_method_args(args, sizeof(args), self, interface_out);
  sim_append(args, sizeof(args), " iid=%s", sim_ansi(iid).c_str());
  return static_cast<ADLX_RESULT>(
      answer({"QueryInterface", self, nullptr, gpu_of(self)}, args, sizeof(args),
             [&](char*, size_t) {
               if (interface_out) *interface_out = nullptr;
               return ADLX_UNKNOWN_INTERFACE;
             }));
}

// ---- IADLXGPUMetrics, IADLXGPUMetricsSupport ----
// `out=` with degrees, a value that is not a number as `nan` whatever printf writes for one.
void append_degrees(char* details, size_t size, double degrees) {
  if (std::isnan(degrees)) sim_append(details, size, " out=nan");
  else sim_append(details, size, " out=%g", degrees);
}

double next_value(SimAdlxMetric& metric) {
  if (!metric.supported) return metric.value_unsupported;
  if (metric.readings.empty()) return 50;
  const double value = metric.readings[metric.next % metric.readings.size()];
  metric.next = (metric.next + 1) % metric.readings.size();
  return value;
}

SimAdlxMetric* metric_of(const AdlxObject* self, SimAdlxMetric SimAdlxGpu::*metric) {
  const Record* record = record_of(self);
  std::vector<SimAdlxGpu>& gpus = sim_scenario().adlx;
  if (!record || record->gpu < 0 || static_cast<size_t>(record->gpu) >= gpus.size()) return nullptr;
  return &(gpus[static_cast<size_t>(record->gpu)].*metric);
}

ADLX_RESULT metric_value(AdlxObject* self, double* value, const char* method,
                         SimAdlxMetric SimAdlxGpu::*metric) {
  char args[128];
  object_args(args, sizeof(args), self, value);
  return static_cast<ADLX_RESULT>(
      answer({method, self, nullptr, gpu_of(self)}, args, sizeof(args),
             [&](char* details, size_t size) {
               SimAdlxMetric* simulated = metric_of(self, metric);
               if (!value) return ADLX_INVALID_ARGS;
               if (!simulated) return ADLX_FAIL;
               *value = next_value(*simulated);
               append_degrees(details, size, *value);
               return ADLX_OK;
             }));
}

ADLX_RESULT WINAPI metrics_gpu_temperature(AdlxObject* self, double* value) {
  return metric_value(self, value, "GPUTemperature", &SimAdlxGpu::edge);
}

ADLX_RESULT WINAPI metrics_gpu_hotspot_temperature(AdlxObject* self, double* value) {
  return metric_value(self, value, "GPUHotspotTemperature", &SimAdlxGpu::hotspot);
}

ADLX_RESULT metric_supported(AdlxObject* self, bool* supported, const char* method,
                             SimAdlxMetric SimAdlxGpu::*metric) {
  char args[128];
  object_args(args, sizeof(args), self, supported);
  return static_cast<ADLX_RESULT>(
      answer({method, self, nullptr, gpu_of(self)}, args, sizeof(args),
             [&](char* details, size_t size) {
               const SimAdlxMetric* simulated = metric_of(self, metric);
               if (!supported) return ADLX_INVALID_ARGS;
               if (!simulated) return ADLX_FAIL;
               *supported = simulated->supported;
               sim_append(details, size, " out=%d", *supported ? 1 : 0);
               return ADLX_OK;
             }));
}

ADLX_RESULT WINAPI support_gpu_temperature(AdlxObject* self, bool* supported) {
  return metric_supported(self, supported, "IsSupportedGPUTemperature", &SimAdlxGpu::edge);
}

ADLX_RESULT WINAPI support_gpu_hotspot_temperature(AdlxObject* self, bool* supported) {
  return metric_supported(self, supported, "IsSupportedGPUHotspotTemperature",
                          &SimAdlxGpu::hotspot);
}

const std::array<AdlxMethod, 9> MetricsTable =
    table<9>({{adlx_slot::Acquire, entry(&object_acquire)},
              {adlx_slot::Release, entry(&object_release)},
              {adlx_slot::QueryInterface, entry(&object_query_interface)},
              {adlx_slot::MetricsGPUTemperature, entry(&metrics_gpu_temperature)},
              {adlx_slot::MetricsGPUHotspotTemperature, entry(&metrics_gpu_hotspot_temperature)}});

const std::array<AdlxMethod, 8> SupportTable =
    table<8>({{adlx_slot::Acquire, entry(&object_acquire)},
              {adlx_slot::Release, entry(&object_release)},
              {adlx_slot::QueryInterface, entry(&object_query_interface)},
              {adlx_slot::SupportIsSupportedGPUTemperature, entry(&support_gpu_temperature)},
              {adlx_slot::SupportIsSupportedGPUHotspotTemperature,
               entry(&support_gpu_hotspot_temperature)}});

// ---- IADLXGPU ----
// A text as the log shows it: spaces made `_`, so that the line stays one word a field.
void append_text(char* details, size_t size, const char* text) {
  std::string shown = text;
  for (char& c : shown)
    if (c == ' ') c = '_';
  sim_append(details, size, " out=%s", shown.c_str());
}

template <size_t Size>
ADLX_RESULT gpu_text(AdlxObject* self, const char** text, const char* method,
                     char (Record::*field)[Size]) {
  char args[128];
  object_args(args, sizeof(args), self, text);
  return static_cast<ADLX_RESULT>(
      answer({method, self, nullptr, gpu_of(self)}, args, sizeof(args),
             [&](char* details, size_t size) {
               const Record* record = record_of(self);
               if (!text || !record) return ADLX_INVALID_ARGS;
               *text = record->*field;
               append_text(details, size, *text);
               return ADLX_OK;
             }));
}

ADLX_RESULT WINAPI gpu_vendor_id(AdlxObject* self, const char** text) {
  return gpu_text(self, text, "VendorId", &Record::vendor);
}

ADLX_RESULT WINAPI gpu_name(AdlxObject* self, const char** text) {
  return gpu_text(self, text, "Name", &Record::name);
}

ADLX_RESULT WINAPI gpu_device_id(AdlxObject* self, const char** text) {
  return gpu_text(self, text, "DeviceId", &Record::device_id);
}

ADLX_RESULT WINAPI gpu_type(AdlxObject* self, ADLX_GPU_TYPE* type) {
  char args[128];
  object_args(args, sizeof(args), self, type);
  const int gpu = gpu_of(self);
  return static_cast<ADLX_RESULT>(
      answer({"Type", self, nullptr, gpu}, args, sizeof(args), [&](char* details, size_t size) {
        if (!type) return ADLX_INVALID_ARGS;
        if (gpu < 0 || static_cast<size_t>(gpu) >= sim_scenario().adlx.size()) return ADLX_FAIL;
        *type = static_cast<ADLX_GPU_TYPE>(sim_scenario().adlx[static_cast<size_t>(gpu)].type);
        sim_append(details, size, " out=%d", static_cast<int>(*type));
        return ADLX_OK;
      }));
}

const std::array<AdlxMethod, 15> GpuTable =
    table<15>({{adlx_slot::Acquire, entry(&object_acquire)},
               {adlx_slot::Release, entry(&object_release)},
               {adlx_slot::QueryInterface, entry(&object_query_interface)},
               {adlx_slot::GpuVendorId, entry(&gpu_vendor_id)},
               {adlx_slot::GpuType, entry(&gpu_type)},
               {adlx_slot::GpuName, entry(&gpu_name)},
               {adlx_slot::GpuDeviceId, entry(&gpu_device_id)}});

// ---- IADLXGPUList ----
uint32_t list_count(AdlxObject* self, const char* method, bool end) {
  char args[96];
  object_args(args, sizeof(args), self);
  return static_cast<uint32_t>(answer({method, self, nullptr, -1, false}, args, sizeof(args),
                                      [&](char*, size_t) -> long long {
                                        return end ? static_cast<long long>(listed().size()) : 0;
                                      }));
}

uint32_t WINAPI list_size(AdlxObject* self) { return list_count(self, "Size", true); }
uint32_t WINAPI list_begin(AdlxObject* self) { return list_count(self, "Begin", false); }
uint32_t WINAPI list_end(AdlxObject* self) { return list_count(self, "End", true); }

int listed_at(uint32_t location) {
  sim_lock();
  const std::vector<size_t> positions = listed();
  sim_unlock();
  return location < positions.size() ? static_cast<int>(positions[location]) : -1;
}

ADLX_RESULT WINAPI list_at(AdlxObject* self, uint32_t location, AdlxObject** gpu) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,%u,0x%llX", sim_address(self), location, sim_address(gpu));
  const int position = listed_at(location);
  return static_cast<ADLX_RESULT>(
      answer({"At", self, nullptr, position}, args, sizeof(args), [&](char* details, size_t size) {
        if (position < 0) return ADLX_INVALID_ARGS;
        return hand_out(Kind::Gpu, GpuTable.data(), position, gpu, details, size);
      }));
}

const std::array<AdlxMethod, 12> ListTable =
    table<12>({{adlx_slot::Acquire, entry(&object_acquire)},
               {adlx_slot::Release, entry(&object_release)},
               {adlx_slot::QueryInterface, entry(&object_query_interface)},
               {adlx_slot::ListSize, entry(&list_size)},
               {adlx_slot::ListBegin, entry(&list_begin)},
               {adlx_slot::ListEnd, entry(&list_end)},
               {adlx_slot::ListAt, entry(&list_at)}});

// ---- IADLXPerformanceMonitoringServices ----
ADLX_RESULT services_gpu_object(AdlxObject* self, AdlxObject* gpu, AdlxObject** out,
                                const char* method, Kind kind, const AdlxMethod* methods) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,0x%llX", sim_address(self), sim_address(gpu),
           sim_address(out));
  const int position = gpu_of(gpu);
  return static_cast<ADLX_RESULT>(answer(
      {method, self, gpu, position}, args, sizeof(args), [&](char* details, size_t size) {
        if (!gpu_argument(gpu)) return ADLX_INVALID_ARGS;
        return hand_out(kind, methods, position, out, details, size);
      }));
}

ADLX_RESULT WINAPI services_current_gpu_metrics(AdlxObject* self, AdlxObject* gpu,
                                                AdlxObject** metrics) {
  sim_count_reading();
  return services_gpu_object(self, gpu, metrics, "GetCurrentGPUMetrics", Kind::Metrics,
                             MetricsTable.data());
}

ADLX_RESULT WINAPI services_supported_gpu_metrics(AdlxObject* self, AdlxObject* gpu,
                                                  AdlxObject** support) {
  return services_gpu_object(self, gpu, support, "GetSupportedGPUMetrics", Kind::Support,
                             SupportTable.data());
}

const std::array<AdlxMethod, 22> ServicesTable =
    table<22>({{adlx_slot::Acquire, entry(&object_acquire)},
               {adlx_slot::Release, entry(&object_release)},
               {adlx_slot::QueryInterface, entry(&object_query_interface)},
               {adlx_slot::ServicesGetCurrentGPUMetrics, entry(&services_current_gpu_metrics)},
               {adlx_slot::ServicesGetSupportedGPUMetrics,
                entry(&services_supported_gpu_metrics)}});

// ---- IADLXSystem ----
ADLX_RESULT system_object(AdlxObject* self, AdlxObject** out, const char* method, Kind kind,
                          const AdlxMethod* methods) {
  char args[128];
  object_args(args, sizeof(args), self, out);
  return static_cast<ADLX_RESULT>(
      answer({method, self}, args, sizeof(args), [&](char* details, size_t size) {
        return hand_out(kind, methods, -1, out, details, size);
      }));
}

ADLX_RESULT WINAPI system_get_gpus(AdlxObject* self, AdlxObject** list) {
  return system_object(self, list, "GetGPUs", Kind::List, ListTable.data());
}

ADLX_RESULT WINAPI system_performance_services(AdlxObject* self, AdlxObject** services) {
  return system_object(self, services, "GetPerformanceMonitoringServices", Kind::Services,
                       ServicesTable.data());
}

const std::array<AdlxMethod, 10> SystemTable =
    table<10>({{adlx_slot::SystemGetGPUs, entry(&system_get_gpus)},
               {adlx_slot::SystemGetPerformanceMonitoringServices,
                entry(&system_performance_services)}});

// ---- IADLMapping ----
// The GPU listed now that the mapping finds by `matches`, or -1.
template <typename Matches>
int mapped_gpu(Matches matches) {
  sim_lock();
  int found = -1;
  const std::vector<SimAdlxGpu>& gpus = sim_scenario().adlx;
  for (const size_t position : listed())
    if (found < 0 && gpus[position].mapped && matches(gpus[position]))
      found = static_cast<int>(position);
  sim_unlock();
  return found;
}

ADLX_RESULT mapping_hand_out(AdlxObject* self, const char* method, int position, AdlxObject** gpu,
                             char* args, size_t args_size) {
  return static_cast<ADLX_RESULT>(
      answer({method, self, nullptr, position}, args, args_size, [&](char* details, size_t size) {
        if (!gpu) return ADLX_INVALID_ARGS;
        if (position < 0) return ADLX_NOT_FOUND;
        return hand_out(Kind::Gpu, GpuTable.data(), position, gpu, details, size);
      }));
}

ADLX_RESULT WINAPI mapping_gpu_from_bdf(AdlxObject* self, int bus, int device, int function,
                                        AdlxObject** gpu) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,%d,%d,%d,0x%llX", sim_address(self), bus, device, function,
           sim_address(gpu));
  const int position = mapped_gpu([&](const SimAdlxGpu& simulated) {
    return simulated.bus == bus && simulated.device == device && simulated.function == function;
  });
  return mapping_hand_out(self, "GetADLXGPUFromBdf", position, gpu, args, sizeof(args));
}

ADLX_RESULT WINAPI mapping_gpu_from_adapter_index(AdlxObject* self, int adapter_index,
                                                  AdlxObject** gpu) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,%d,0x%llX", sim_address(self), adapter_index,
           sim_address(gpu));
  const int position = mapped_gpu([&](const SimAdlxGpu& simulated) {
    for (const int index : simulated.adapters)
      if (index == adapter_index) return true;
    return false;
  });
  return mapping_hand_out(self, "GetADLXGPUFromAdlAdapterIndex", position, gpu, args,
                          sizeof(args));
}

// The mapped GPU a GPU object stands for, or null when the mapping does not know it.
const SimAdlxGpu* mapped(const AdlxObject* gpu) {
  const Record* record = gpu_argument(gpu);
  if (!record || !is_listed(record->gpu)) return nullptr;
  const SimAdlxGpu& simulated = sim_scenario().adlx[static_cast<size_t>(record->gpu)];
  return simulated.mapped ? &simulated : nullptr;
}

ADLX_RESULT WINAPI mapping_bdf_from_gpu(AdlxObject* self, AdlxObject* gpu, int* bus, int* device,
                                        int* function) {
  char args[160];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,0x%llX,0x%llX,0x%llX", sim_address(self),
           sim_address(gpu), sim_address(bus), sim_address(device), sim_address(function));
  return static_cast<ADLX_RESULT>(answer(
      {"BdfFromADLXGPU", self, gpu, gpu_of(gpu)}, args, sizeof(args),
      [&](char* details, size_t size) {
        if (!gpu_argument(gpu) || !bus || !device || !function) return ADLX_INVALID_ARGS;
        const SimAdlxGpu* simulated = mapped(gpu);
        if (!simulated) return ADLX_NOT_FOUND;
        *bus = simulated->bus;
        *device = simulated->device;
        *function = simulated->function;
        sim_append(details, size, " bus=%d device=%d function=%d", *bus, *device, *function);
        return ADLX_OK;
      }));
}

ADLX_RESULT WINAPI mapping_adapter_index_from_gpu(AdlxObject* self, AdlxObject* gpu,
                                                  int* adapter_index) {
  char args[128];
  snprintf(args, sizeof(args), "0x%llX,0x%llX,0x%llX", sim_address(self), sim_address(gpu),
           sim_address(adapter_index));
  return static_cast<ADLX_RESULT>(answer(
      {"AdlAdapterIndexFromADLXGPU", self, gpu, gpu_of(gpu)}, args, sizeof(args),
      [&](char* details, size_t size) {
        if (!gpu_argument(gpu) || !adapter_index) return ADLX_INVALID_ARGS;
        const SimAdlxGpu* simulated = mapped(gpu);
        if (!simulated || simulated->adapters.empty()) return ADLX_NOT_FOUND;
        *adapter_index = simulated->adapters.front();
        sim_append(details, size, " out=%d", *adapter_index);
        return ADLX_OK;
      }));
}

const std::array<AdlxMethod, 4> MappingTable =
    table<4>({{adlx_slot::MappingGetADLXGPUFromBdf, entry(&mapping_gpu_from_bdf)},
              {adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex,
               entry(&mapping_gpu_from_adapter_index)},
              {adlx_slot::MappingBdfFromADLXGPU, entry(&mapping_bdf_from_gpu)},
              {adlx_slot::MappingAdlAdapterIndexFromADLXGPU,
               entry(&mapping_adapter_index_from_gpu)}});

// The exact types the monitor calls these slots through.
static_assert(std::is_same_v<decltype(&object_acquire), AdlxAcquireOrRelease>);
static_assert(std::is_same_v<decltype(&object_release), AdlxAcquireOrRelease>);
static_assert(std::is_same_v<decltype(&object_query_interface), AdlxQueryInterface>);
static_assert(std::is_same_v<decltype(&system_get_gpus), AdlxGetObject>);
static_assert(std::is_same_v<decltype(&system_performance_services), AdlxGetObject>);
static_assert(std::is_same_v<decltype(&list_size), AdlxListCount>);
static_assert(std::is_same_v<decltype(&list_at), AdlxListAt>);
static_assert(std::is_same_v<decltype(&gpu_name), AdlxGpuText>);
static_assert(std::is_same_v<decltype(&gpu_type), AdlxGpuType>);
static_assert(std::is_same_v<decltype(&services_current_gpu_metrics), AdlxGpuObject>);
static_assert(std::is_same_v<decltype(&support_gpu_temperature), AdlxIsSupported>);
static_assert(std::is_same_v<decltype(&metrics_gpu_temperature), AdlxMetricValue>);
static_assert(std::is_same_v<decltype(&mapping_gpu_from_bdf), AdlxGpuFromBdf>);
static_assert(std::is_same_v<decltype(&mapping_gpu_from_adapter_index), AdlxGpuFromAdapterIndex>);
static_assert(std::is_same_v<decltype(&mapping_bdf_from_gpu), AdlxBdfFromGpu>);
static_assert(std::is_same_v<decltype(&mapping_adapter_index_from_gpu), AdlxAdapterIndexFromGpu>);

// ---- the exports ----
void reload() {
  sim_lock();
  sim_reload();
  sim_unlock();
}

struct Initialise {
  uint64_t version;
  AdlxObject** system;
  AdlxObject** mapping;  // null: a system without a mapping
  bool with_mapping;
};

// Initialise answers the objects it holds; a second one before terminate answers them again.
ADLX_RESULT initialise(const Initialise& call, char* details, size_t size) {
  if (!call.system || (call.with_mapping && !call.mapping)) return ADLX_INVALID_ARGS;
  if (call.version > sim_scenario().adlx_version) return ADLX_BAD_VER;
  ADLX_RESULT status = ADLX_ALREADY_INITIALIZED;
  if (!Initialised) {
    // While the driver restarts, ADLX cannot open ADL underneath.
    if (sim_away()) return ADLX_ADL_INIT_ERROR;
    ++Session;
    Initialised = true;
    sim_open_session();
    System = allocate(Kind::System, SystemTable.data(), -1);
    Mapping = call.with_mapping ? allocate(Kind::Mapping, MappingTable.data(), -1) : nullptr;
    status = ADLX_OK;
  }
  *call.system = System ? &System->object : nullptr;
  if (call.mapping) *call.mapping = Mapping ? &Mapping->object : nullptr;
  sim_append(details, size, " out=0x%llX", sim_address(*call.system));
  if (call.mapping) sim_append(details, size, ",0x%llX", sim_address(*call.mapping));
  return status;
}

ADLX_RESULT initialise_export(const char* function, uint64_t version, AdlxObject** system) {
  reload();
  char args[128];
  snprintf(args, sizeof(args), "0x%llX version=0x%016llX", sim_address(system),
           static_cast<unsigned long long>(version));
  return sim_answer(function, -1, args, sizeof(args), [&](char* details, size_t size) {
    return initialise({version, system, nullptr, false}, details, size);
  });
}

}  // namespace

extern "C" ADLX_RESULT ADLXQueryFullVersion(uint64_t* version) {
  reload();
  char args[64];
  snprintf(args, sizeof(args), "0x%llX", sim_address(version));
  return sim_answer("ADLXQueryFullVersion", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (!version) return ADLX_INVALID_ARGS;
                      *version = sim_scenario().adlx_version;
                      sim_append(details, size, " out=0x%016llX",
                                 static_cast<unsigned long long>(*version));
                      return ADLX_OK;
                    });
}

extern "C" ADLX_RESULT ADLXQueryVersion(const char** version) {
  reload();
  char args[64];
  snprintf(args, sizeof(args), "0x%llX", sim_address(version));
  return sim_answer("ADLXQueryVersion", -1, args, sizeof(args), [&](char* details, size_t size) {
    if (!version) return ADLX_INVALID_ARGS;
    // The text lives in the scenario, which stays until the scenario is read anew.
    const std::string& text = sim_scenario().adlx_version_text;
    *version = text.empty() ? "1.4" : text.c_str();
    sim_append(details, size, " out=%s", *version);
    return ADLX_OK;
  });
}

extern "C" ADLX_RESULT ADLXInitialize(uint64_t version, AdlxObject** system) {
  return initialise_export("ADLXInitialize", version, system);
}

extern "C" ADLX_RESULT ADLXInitializeWithIncompatibleDriver(uint64_t version,
                                                            AdlxObject** system) {
  return initialise_export("ADLXInitializeWithIncompatibleDriver", version, system);
}

extern "C" ADLX_RESULT ADLXInitializeWithCallerAdl(uint64_t version, AdlxObject** system,
                                                   AdlxObject** mapping, void* adl_context,
                                                   ADLX_ADL_Main_Memory_Free free_memory) {
  reload();
  char args[256];
  snprintf(args, sizeof(args), "0x%llX,0x%llX version=0x%016llX context=0x%llX free=0x%llX",
           sim_address(system), sim_address(mapping), static_cast<unsigned long long>(version),
           sim_address(adl_context), sim_address(reinterpret_cast<void*>(free_memory)));
  return sim_answer("ADLXInitializeWithCallerAdl", -1, args, sizeof(args),
                    [&](char* details, size_t size) {
                      if (!adl_context || !free_memory) return ADLX_INVALID_ARGS;
                      return initialise({version, system, mapping, true}, details, size);
                    });
}

// Ends the session: every object of it is gone, held or not; those still held are reported.
extern "C" ADLX_RESULT ADLXTerminate() {
  char args[8] = "";
  return sim_answer("ADLXTerminate", -1, args, sizeof(args), [&](char* details, size_t size) {
    const long still_held = Initialised ? held() : 0;
    sim_append(details, size, " held=%ld", still_held);
    if (!Initialised) return ADLX_OK;
    for (size_t i = 0; i < Used; ++i)
      if (Pool[i].live && Pool[i].session == Session) free_record(Pool[i]);
    Initialised = false;
    System = nullptr;
    Mapping = nullptr;
    return still_held > 0 ? ADLX_ORPHAN_OBJECTS : ADLX_OK;
  });
}

static_assert(std::is_same_v<decltype(&ADLXQueryFullVersion), ADLXQueryFullVersion_Fn>);
static_assert(std::is_same_v<decltype(&ADLXQueryVersion), ADLXQueryVersion_Fn>);
static_assert(std::is_same_v<decltype(&ADLXInitialize), ADLXInitialize_Fn>);
static_assert(std::is_same_v<decltype(&ADLXInitializeWithIncompatibleDriver), ADLXInitialize_Fn>);
static_assert(std::is_same_v<decltype(&ADLXInitializeWithCallerAdl), ADLXInitializeWithCallerAdl_Fn>);
static_assert(std::is_same_v<decltype(&ADLXTerminate), ADLXTerminate_Fn>);
