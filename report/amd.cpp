#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "app/recovery.h"
#include "backends/amd/adl.h"
#include "backends/amd/adl_call.h"
#include "backends/amd/records.h"
#include "report/report.h"

// ADL as the monitor meets it: set-up's calls, then one pass of readings over the shown adapters,
// Overdrive5 first and ADL2's log and OverdriveN beside it, and over the other records of a GPU
// whose row its own record does not read, each answer written down.

namespace {

constexpr ObjectNumber AdlLibrary = 0;
constexpr int ADL_OK = 0;
constexpr int ADL_ERR_NOT_SUPPORTED = -8;
constexpr int PMLOG_TEMPERATURE_HOTSPOT = 27;

// ADL_Graphics_Versions_Get's record: the driver's version, the Catalyst (Adrenalin) version and
// a web link, each a 256-byte 8-bit text.
struct ADLVersionsInfo {
  char strDriverVer[ADL_MAX_PATH];
  char strCatalystVersion[ADL_MAX_PATH];
  char strCatalystWebLink[ADL_MAX_PATH];
};
static_assert(sizeof(ADLVersionsInfo) == 768);

enum class Answer : uint8_t { Returned, Missing, Crashed };

// What one shown adapter answered.
struct AdapterAnswers {
  bool asleep = false;
  bool asked = false;
  int overdrive5 = ADL_ERR_NOT_SUPPORTED;
  int temperature = 0;
  bool log_asked = false;
  int log = ADL_ERR_NOT_SUPPORTED;
  ADLPMLogDataOutput log_data{};
  bool odn_asked = false;
  int odn = ADL_ERR_NOT_SUPPORTED;
  int odn_value = 0;
};

// The ADL2 context of the report's pass, made the first time an adapter needs it.
enum class Adl2 : uint8_t { Untried, Created, Unavailable };
Adl2 Adl2State = Adl2::Untried;
void* Adl2Context;
bool Crashed;

std::vector<std::string> MissingExports;

std::wstring wide(const char* name) { return std::wstring(name, name + std::strlen(name)); }

// An export the library lacks, once: the simulated ADL exports what it is built with, so a replay
// takes the variant library that lacks the same (the `missing` line names them).
void note_missing(std::string& lines, const char* name) {
  for (const std::string& noted : MissingExports)
    if (noted == name) return;
  MissingExports.emplace_back(name);
  comment(lines, "%s: not exported", name);
  append(lines, "missing %s\n", name);
}

// One ADL call by export name, under guard and under watch; its status in `status`.
template <typename... Arguments>
Answer adl_call(std::string& lines, int& status, const char* name, Subject subject, int32_t number,
                Arguments... arguments) {
  if (Crashed) return Answer::Crashed;
  const std::wstring export_name = wide(name);
  if (!library_has_export(AdlLibrary, export_name.c_str())) {
    note_missing(lines, name);
    return Answer::Missing;
  }
  intptr_t result = 0;
  call_begin(name, subject, number);
  const bool returned = library_call_if_exported(result, AdlLibrary, export_name.c_str(), arguments...);
  call_end();
  if (!returned) {
    Crashed = call_crashed(lines, library_module(AdlLibrary));
    if (!Crashed) comment(lines, "%s: could not be called", name);
    return Answer::Crashed;
  }
  status = static_cast<int>(result);
  return Answer::Returned;
}

// A call whose failure the scenario replays with a `fail` line; comments what it answered.
void note(std::string& lines, Answer answer, const char* name, int status) {
  if (answer != Answer::Returned) return;
  comment(lines, "%s: %d", name, status);
  if (status != ADL_OK) append(lines, "fail %s=%d\n", name, status);
}

bool load_library(std::string& lines, const char*& file) {
  for (const char* name : {"atiadlxx.dll", "atiadlxy.dll"}) {
    call_begin("LoadLibrary");
    const bool loaded = library_open_system(AdlLibrary, wide(name).c_str()) != nullptr;
    call_end();
    if (loaded) {
      file = name;
      return true;
    }
    library_close(AdlLibrary);
  }
  comment(lines, "neither atiadlxx.dll nor atiadlxy.dll loads from the system folder");
  return false;
}

// Not a call the monitor makes: a library without it is only noted.
void describe_versions(std::string& lines) {
  if (!library_has_export(AdlLibrary, L"ADL_Graphics_Versions_Get")) {
    comment(lines, "driver version: not given (ADL_Graphics_Versions_Get not exported)");
    return;
  }
  ADLVersionsInfo versions{};
  int status = 0;
  const Answer answer = adl_call(lines, status, "ADL_Graphics_Versions_Get", Subject::None, 0,
                                 &versions);
  if (answer != Answer::Returned) return;
  const auto text = [](const char(&field)[ADL_MAX_PATH]) {
    return quoted(field, field_length(field, sizeof(field)));
  };
  comment(lines, "ADL_Graphics_Versions_Get: %d, driver %s, Catalyst %s, %s", status,
          text(versions.strDriverVer).c_str(), text(versions.strCatalystVersion).c_str(),
          text(versions.strCatalystWebLink).c_str());
}

// Set-up's table: the count, then that many records; empty when either call fails.
std::vector<AdapterInfo> read_adapters(std::string& lines) {
  int count = 0;
  int status = 0;
  Answer answer = adl_call(lines, status, "ADL_Adapter_NumberOfAdapters_Get", Subject::None, 0,
                           &count);
  note(lines, answer, "ADL_Adapter_NumberOfAdapters_Get", status);
  if (answer == Answer::Crashed) return {};
  comment(lines, "adapters: %d", count);
  if (count <= 0 || static_cast<uint64_t>(count) * sizeof(AdapterInfo) > INT32_MAX) {
    if (count != 0) append(lines, "count=%d\n", count);
    return {};
  }
  std::vector<AdapterInfo> table(static_cast<size_t>(count) + 1);
  answer = adl_call(lines, status, "ADL_Adapter_AdapterInfo_Get", Subject::None, 0, table.data(),
                    static_cast<int>(static_cast<size_t>(count) * sizeof(AdapterInfo)));
  note(lines, answer, "ADL_Adapter_AdapterInfo_Get", status);
  if (answer != Answer::Returned || status != ADL_OK) {
    append(lines, "count=%d\n", count);
    return {};
  }
  table.resize(static_cast<size_t>(count));
  return table;
}

bool library_serves_adl2() {
  return library_has_export(AdlLibrary, L"ADL2_Main_Control_Create") &&
         library_has_export(AdlLibrary, L"ADL2_Main_Control_Destroy") &&
         (library_has_export(AdlLibrary, L"ADL2_New_QueryPMLogData_Get") ||
          library_has_export(AdlLibrary, L"ADL2_OverdriveN_Temperature_Get"));
}

bool adl2_ready(std::string& lines) {
  if (Adl2State != Adl2::Untried) return Adl2State == Adl2::Created;
  Adl2State = Adl2::Unavailable;
  for (const char* name : {"ADL2_Main_Control_Create", "ADL2_Main_Control_Destroy",
                           "ADL2_New_QueryPMLogData_Get", "ADL2_OverdriveN_Temperature_Get"})
    if (!library_has_export(AdlLibrary, wide(name).c_str())) note_missing(lines, name);
  if (!library_serves_adl2()) {
    comment(lines, "ADL2: not served by this library (no ADL2 call is made)");
    return false;
  }
  int status = 0;
  const Answer answer = adl_call(lines, status, "ADL2_Main_Control_Create", Subject::None, 0,
                                 adl_allocate, 1, &Adl2Context);
  note(lines, answer, "ADL2_Main_Control_Create", status);
  if (answer == Answer::Returned && status == ADL_OK) Adl2State = Adl2::Created;
  return Adl2State == Adl2::Created;
}

void describe_sensor(std::string& lines, const ADLPMLogDataOutput& log, int sensor,
                     const char* name) {
  const ADLSingleSensorData& data = log.sensors[sensor];
  comment(lines, "  log sensor %d (%s): %s, %d", sensor, name,
          data.supported ? "supported" : "not supported", data.value);
}

void read_adl2(std::string& lines, const AdapterInfo& adapter, AdapterAnswers& answers) {
  if (!adl2_ready(lines)) return;
  char device[32];
  std::snprintf(device, sizeof(device), " adapter=%d", adapter.iAdapterIndex);
  answers.log_data.size = sizeof(ADLPMLogDataOutput);
  Answer answer = adl_call(lines, answers.log, "ADL2_New_QueryPMLogData_Get", Subject::Adapter,
                           adapter.iAdapterIndex, Adl2Context, adapter.iAdapterIndex,
                           &answers.log_data);
  answers.log_asked = answer == Answer::Returned;
  if (answer == Answer::Returned) comment(lines, "ADL2_New_QueryPMLogData_Get: %d", answers.log);
  if (answers.log_asked && answers.log != ADL_OK && answers.log != ADL_ERR_NOT_SUPPORTED)
    append(lines, "fail ADL2_New_QueryPMLogData_Get=%d%s\n", answers.log, device);
  if (answers.log_asked && answers.log == ADL_OK) {
    describe_sensor(lines, answers.log_data, PMLOG_TEMPERATURE_EDGE, "edge");
    describe_sensor(lines, answers.log_data, PMLOG_TEMPERATURE_HOTSPOT, "hot spot");
    describe_sensor(lines, answers.log_data, PMLOG_TEMPERATURE_GFX, "GFX");
    describe_sensor(lines, answers.log_data, PMLOG_TEMPERATURE_SOC, "SoC");
  }
  if (answer == Answer::Crashed) return;
  answers.odn_value = INT32_MIN;
  answer = adl_call(lines, answers.odn, "ADL2_OverdriveN_Temperature_Get", Subject::Adapter,
                    adapter.iAdapterIndex, Adl2Context, adapter.iAdapterIndex,
                    ODN_TEMPERATURE_EDGE, &answers.odn_value);
  answers.odn_asked = answer == Answer::Returned;
  if (answers.odn_asked)
    comment(lines, "ADL2_OverdriveN_Temperature_Get: %d, %d", answers.odn, answers.odn_value);
  if (answers.odn_asked && answers.odn != ADL_OK && answers.odn != ADL_ERR_NOT_SUPPORTED)
    append(lines, "fail ADL2_OverdriveN_Temperature_Get=%d%s\n", answers.odn, device);
}

const char* vendor_name(GpuVendor vendor) {
  return vendor == GpuVendor::Nvidia ? "NVIDIA" : vendor == GpuVendor::Intel ? "Intel" : "AMD";
}

const char* library_name(GpuVendor vendor) {
  return vendor == GpuVendor::Nvidia ? "NVAPI" : "Intel's control library";
}

void ask_adl(std::string& lines, const AdapterInfo& adapter, AdapterAnswers& answers);

// The row's pass as the monitor makes it: asleep, else another vendor's GPU is left to that
// vendor's library, else Overdrive5, then ADL2.
void read_adapter(std::string& lines, const AdapterInfo& adapter, GpuVendor vendor,
                  AdapterAnswers& answers) {
  answers.asleep = power_check(lines, true, static_cast<uint32_t>(adapter.iBusNumber),
                               static_cast<uint32_t>(adapter.iDeviceNumber),
                               static_cast<uint32_t>(adapter.iFunctionNumber));
  if (answers.asleep) {
    comment(lines, "powered down (D3): not asked, since any call would wake it");
    return;
  }
  if (vendor != GpuVendor::Amd) {
    comment(lines, "%s's GPU: read through %s, never asked of ADL", vendor_name(vendor),
            library_name(vendor));
    return;
  }
  ask_adl(lines, adapter, answers);
}

// The record's calls: Overdrive5, then ADL2.
void ask_adl(std::string& lines, const AdapterInfo& adapter, AdapterAnswers& answers) {
  answers.asked = true;
  ADLTemperature temperature{sizeof(ADLTemperature), 0};
  const Answer answer = adl_call(lines, answers.overdrive5, "ADL_Overdrive5_Temperature_Get",
                                 Subject::Adapter, adapter.iAdapterIndex, adapter.iAdapterIndex, 0,
                                 &temperature);
  if (answer == Answer::Crashed) return;
  answers.temperature = temperature.iTemperature;
  if (answer == Answer::Returned)
    comment(lines, "ADL_Overdrive5_Temperature_Get: %d, %d", answers.overdrive5,
            temperature.iTemperature);
  if (answer == Answer::Returned && answers.overdrive5 != ADL_OK)
    append(lines, "fail ADL_Overdrive5_Temperature_Get=%d adapter=%d\n", answers.overdrive5,
           adapter.iAdapterIndex);
  read_adl2(lines, adapter, answers);
}

// The reading the monitor takes from these answers, in the order it asks.
bool reading(const AdapterAnswers& answers, int32_t& celsius) {
  if (answers.asked && answers.overdrive5 == ADL_OK && adl_plausible(answers.temperature / 1000)) {
    celsius = answers.temperature / 1000;
    return true;
  }
  if (answers.log_asked && answers.log == ADL_OK) {
    for (const int sensor : {PMLOG_TEMPERATURE_EDGE, PMLOG_TEMPERATURE_GFX, PMLOG_TEMPERATURE_SOC}) {
      const ADLSingleSensorData& data = answers.log_data.sensors[sensor];
      if (data.supported != 0 && adl_plausible(data.value)) {
        celsius = data.value;
        return true;
      }
    }
  }
  if (answers.odn_asked && answers.odn == ADL_OK && adl_plausible(answers.odn_value / 1000)) {
    celsius = answers.odn_value / 1000;
    return true;
  }
  return false;
}

void append_log_sensor(std::string& line, const char* word, const ADLSingleSensorData& data) {
  if (data.supported) append(line, " %s=%d", word, data.value);
  else if (data.value != 0) append(line, " %s=off:%d", word, data.value);
  else append(line, " %s=off", word);
}

// The adapter as a scenario line: its record as set-up read it, and what its calls answered.
void adapter_line(std::string& lines, const AdapterInfo& adapter, const AdapterAnswers& answers) {
  const size_t name = field_length(adapter.strAdapterName, sizeof(adapter.strAdapterName));
  const size_t udid = field_length(adapter.strUDID, sizeof(adapter.strUDID));
  // Signed decimal: drivers write iVendorID as -1002 too, which the scenario reads back only so.
  append(lines, "adapter name=%s udid=%s index=%d bus=%d device=%d function=%d vendor=%d",
         quoted(adapter.strAdapterName, name).c_str(), quoted(adapter.strUDID, udid).c_str(),
         adapter.iAdapterIndex, adapter.iBusNumber, adapter.iDeviceNumber,
         adapter.iFunctionNumber, adapter.iVendorID);
  const bool name_open = name == sizeof(adapter.strAdapterName);
  const bool udid_open = udid == sizeof(adapter.strUDID);
  if (name_open || udid_open)
    append(lines, " noterm=%s", name_open && udid_open ? "both" : name_open ? "name" : "udid");
  if (answers.asked && answers.overdrive5 == ADL_OK) append(lines, " temps=%d", answers.temperature);
  if (answers.log_asked && answers.log == ADL_OK) {
    append_log_sensor(lines, "edge", answers.log_data.sensors[PMLOG_TEMPERATURE_EDGE]);
    append_log_sensor(lines, "gfx", answers.log_data.sensors[PMLOG_TEMPERATURE_GFX]);
    append_log_sensor(lines, "soc", answers.log_data.sensors[PMLOG_TEMPERATURE_SOC]);
  }
  if (answers.odn_asked && answers.odn == ADL_OK) append(lines, " odn=%d", answers.odn_value);
  lines += '\n';
}

// iVendorID as the driver wrote it: decimal, and in hex too where it is not negative (0x10DE).
std::string vendor_id_text(int32_t id) {
  std::string text;
  if (id >= 0) append(text, "%d (0x%04X)", id, static_cast<unsigned>(id));
  else append(text, "%d", id);
  return text;
}

// The row, as the window titles it and as its vendor's library finds its GPU.
GpuAnswer row_of(const AdapterInfo& adapter, GpuVendor vendor) {
  const size_t length = field_length(adapter.strAdapterName, sizeof(adapter.strAdapterName));
  return GpuAnswer{std::string(adapter.strAdapterName, length),
                   adapter.iBusNumber != 0,
                   static_cast<uint32_t>(adapter.iBusNumber),
                   static_cast<uint32_t>(adapter.iDeviceNumber),
                   static_cast<uint32_t>(adapter.iFunctionNumber),
                   vendor,
                   {}};
}

// ADL's AMD records, for ADLX's mapping, and the rows ADL asked and could not read, which ADLX may.
struct AdlxAsk {
  std::vector<AdlxRecord> records;
  std::vector<std::pair<size_t, size_t>> rows;  // a row of report.gpus, and its record
};

// A row its own record did not read, which the monitor tries through the GPU's other records.
struct WaitingRow {
  size_t gpu;     // in report.gpus
  size_t record;  // its own, in AdlxAsk.records
  size_t own;     // its own, in the table
  bool read;
};

// The row still waiting that the hidden record is another record of, or null.
WaitingRow* row_of_record(std::vector<WaitingRow>& waiting, const std::vector<AdapterInfo>& table,
                          const AdapterInfo& adapter) {
  for (WaitingRow& row : waiting)
    if (!row.read && amd_same_gpu(table[row.own], adapter)) return &row;
  return nullptr;
}

// A hidden record of a GPU whose row its own record did not read, asked as the monitor asks it
// from the row's second pass on, in ADL's order until one answers; replayed by its answers.
void ask_other_record(std::string& lines, const AdapterInfo& adapter, WaitingRow& row,
                      AdapterAnswers& answers, std::vector<GpuAnswer>& gpus) {
  comment(lines, "another record of row %u's GPU, which its own record does not read: asked",
          static_cast<unsigned>(row.gpu));
  ask_adl(lines, adapter, answers);
  int32_t celsius = 0;
  if (!reading(answers, celsius)) return;
  row.read = true;
  comment(lines, "row %u is read through this record", static_cast<unsigned>(row.gpu));
  std::string label = label_text(celsius);
  append(label, " (read through its GPU's record at adapter index %d)", adapter.iAdapterIndex);
  gpus[row.gpu].label = label;
}

void describe_adapters(VendorReport& report, std::vector<AdapterInfo>& table, AdlxAsk& ask) {
  std::vector<AdapterInfo> shown_table = table;
  int32_t shown = static_cast<int32_t>(table.size());
  amd_hide_duplicates(shown_table.data(), static_cast<int32_t>(shown_table.size()), shown);
  comment(report.lines, "shown: %d of %d (the others are duplicates at a shown adapter's PCI location, or have no bus number)",
          shown, static_cast<int32_t>(table.size()));
  std::vector<WaitingRow> rows_waiting;
  for (size_t k = 0; k < table.size(); ++k) {
    const AdapterInfo& adapter = table[k];
    const bool hidden = amd_is_duplicate(shown_table[k]);
    const GpuVendor vendor = adl_record_vendor(adapter);
    comment(report.lines, "adapter %u: index %d, PCI %d:%d.%d, vendor %s, iVendorID %s, %s",
            static_cast<unsigned>(k), adapter.iAdapterIndex, adapter.iBusNumber,
            adapter.iDeviceNumber, adapter.iFunctionNumber, vendor_name(vendor),
            vendor_id_text(adapter.iVendorID).c_str(), hidden ? "hidden as a duplicate" : "shown");
    AdapterAnswers answers;
    WaitingRow* waiting = hidden ? row_of_record(rows_waiting, table, adapter) : nullptr;
    // Another vendor's rows are still read once ADL has crashed, as in the monitor.
    if (!hidden && (vendor != GpuVendor::Amd || !Crashed))
      read_adapter(report.lines, adapter, vendor, answers);
    else if (waiting && !Crashed)
      ask_other_record(report.lines, adapter, *waiting, answers, report.gpus);
    adapter_line(report.lines, adapter, answers);
    if (vendor == GpuVendor::Amd)
      ask.records.push_back(AdlxRecord{adapter.iAdapterIndex, adapter.iBusNumber != 0,
                                       adapter.iBusNumber, adapter.iDeviceNumber,
                                       adapter.iFunctionNumber});
    if (hidden) continue;
    GpuAnswer row = row_of(adapter, vendor);
    int32_t celsius = 0;
    if (answers.asleep) {
      row.label = "Powered down";
    } else if (vendor == GpuVendor::Amd && reading(answers, celsius)) {
      row.label = label_text(celsius);
    } else if (vendor == GpuVendor::Amd) {
      row.label = "Please wait (no reading)";
      if (answers.asked)
        rows_waiting.push_back({report.gpus.size(), ask.records.size() - 1, k, false});
    }
    report.gpus.push_back(row);
  }
  for (const WaitingRow& row : rows_waiting)
    if (!row.read) ask.rows.emplace_back(row.gpu, row.record);
}

// What a row that no ADL call reads shows through ADLX.
std::string adlx_label(const AdlxRowAnswer& answer) {
  if (!answer.found) return "Please wait (no reading: ADLX finds no GPU for it)";
  if (answer.asleep) return "Powered down";
  if (!answer.readable) return "Please wait (no reading: its ADLX GPU has no temperature)";
  if (!answer.read) return "Please wait (no reading: ADLX's reading is no temperature)";
  return label_text(answer.celsius) +
         (answer.hotspot ? " (ADLX's hotspot reading" : " (ADLX's edge reading") +
         (answer.by_index ? ", its GPU found by adapter index)" : ", its GPU found by PCI location)");
}

// ADLX runs on ADL's ADL2 context: only where ADL gives one. False while ADLX still runs on it
// (it crashed): then the context must not go.
bool gather_adlx(VendorReport& report, const AdlxAsk& ask) {
  if (!adl2_ready(report.lines)) {
    comment(report.lines, "ADLX: not started, since ADL gives no ADL2 context to start it on");
    return true;
  }
  const AdlxAnswers answers = adlx_gather(report.lines, Adl2Context, ask.records);
  if (!answers.rows.empty())
    for (const auto& [row, record] : ask.rows) report.gpus[row].label = adlx_label(answers.rows[record]);
  return answers.ended;
}

void shut_down(std::string& lines, bool created) {
  int status = 0;
  if (Adl2State == Adl2::Created)
    adl_call(lines, status, "ADL2_Main_Control_Destroy", Subject::None, 0, Adl2Context);
  if (created) adl_call(lines, status, "ADL_Main_Control_Destroy", Subject::None, 0);
  if (!Crashed) library_close(AdlLibrary);
}

// The GPU a row of another vendor's finds in that vendor's listing, by the monitor's own rule, or
// -1. NVAPI gives no function number: both sides are found at function 0.
int32_t listed_gpu(const std::vector<GpuAnswer>& rows, size_t row, const VendorReport& library) {
  const auto place = [&](const GpuAnswer& gpu) {
    return GpuPlace{gpu.located, gpu.bus, gpu.device,
                    rows[row].vendor == GpuVendor::Nvidia ? 0 : gpu.function,
                    gpu.name.data(), gpu.name.size(), nullptr, 0};
  };
  std::vector<GpuPlace> wanted;
  int32_t position = -1;
  for (size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].vendor != rows[row].vendor) continue;
    if (r == row) position = static_cast<int32_t>(wanted.size());
    wanted.push_back(place(rows[r]));
  }
  std::vector<GpuPlace> found;
  found.reserve(library.gpus.size());
  for (const GpuAnswer& gpu : library.gpus) found.push_back(place(gpu));
  std::vector<int32_t> match(wanted.size());
  recovery_match_rows(wanted.data(), static_cast<int32_t>(wanted.size()), found.data(),
                      static_cast<int32_t>(found.size()), match.data());
  return match[static_cast<size_t>(position)];
}

std::string where(const GpuAnswer& row) {
  std::string text;
  if (!row.located) return "with no PCI location";
  append(text, "at PCI %u:%u", row.bus, row.device);
  if (row.vendor != GpuVendor::Nvidia) append(text, ".%u", row.function);
  return text;
}

std::string other_vendor_label(const std::vector<GpuAnswer>& rows, size_t row,
                               const VendorReport& library) {
  const GpuAnswer& answer = rows[row];
  const char* name = library_name(answer.vendor);
  std::string text;
  if (!library.loaded) {
    append(text, "Please wait (never read: %s is absent, and ADL is not asked)", name);
  } else if (!library.session) {
    append(text, "Please wait (never read: %s does not start, and ADL is not asked)", name);
  } else if (const int32_t gpu = listed_gpu(rows, row, library); gpu < 0) {
    append(text, "Please wait (never read: %s lists no GPU %s, and ADL is not asked)", name,
           where(answer).c_str());
  } else {
    append(text, "%s (%s's reading of its GPU %s)",
           library.gpus[static_cast<size_t>(gpu)].label.c_str(), name, where(answer).c_str());
  }
  return text;
}

}  // namespace

std::string amd_rows(const VendorReport& amd, const VendorReport& nvidia,
                     const VendorReport& intel) {
  std::string text;
  for (size_t row = 0; row < amd.gpus.size(); ++row) {
    const GpuAnswer& answer = amd.gpus[row];
    const VendorReport& library = answer.vendor == GpuVendor::Nvidia ? nvidia : intel;
    row_line(text, static_cast<int32_t>(row), answer.name.data(), answer.name.size(),
             answer.label.empty() ? other_vendor_label(amd.gpus, row, library) : answer.label);
  }
  return text;
}

void amd_gather(VendorReport& report) {
  std::string& lines = report.lines;
  comment(lines, "---- AMD: ADL");
  const char* file = nullptr;
  if (!load_library(lines, file)) return;
  report.loaded = true;
  report.has_rows = true;
  comment(lines, "library: %s", file);
  int status = 0;
  const Answer created = adl_call(lines, status, "ADL_Main_Control_Create", Subject::None, 0,
                                  adl_allocate, 1);
  note(lines, created, "ADL_Main_Control_Create", status);
  if (!Crashed) describe_versions(lines);
  std::vector<AdapterInfo> table;
  if (!Crashed) table = read_adapters(lines);
  // Set-up looks for NVML's compute GPUs once it has the table, at no record's location.
  report.asks_nvml = !table.empty();
  for (const AdapterInfo& adapter : table)
    if (adapter.iBusNumber != 0)
      report.known.push_back(PciLocation{static_cast<uint32_t>(adapter.iBusNumber),
                                         static_cast<uint32_t>(adapter.iDeviceNumber), 0});
  AdlxAsk ask;
  describe_adapters(report, table, ask);
  // ADLX is asked about every AMD record, for the maintainer, though the monitor asks it only
  // about the rows no ADL call reads.
  if (!Crashed && !ask.records.empty() && !gather_adlx(report, ask)) return;
  shut_down(lines, created == Answer::Returned);
}
