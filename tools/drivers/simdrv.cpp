#include "tools/drivers/simdrv.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

struct SimWord {
  std::string key;
  std::string value;
  bool has_value = false;
};

char ModuleName[MAX_PATH] = "simdrv";
volatile LONG LockOwner = 0;  // thread id of the holder, 0 when free
// The library's own lock, which a locked hang holds for ever and the detach routine takes.
CRITICAL_SECTION LibraryLock;
// A page reserved with no access: any read or write of it is an access violation. (Wine maps
// page 0 in some set-ups, so null is not one.)
char* Forbidden;
SimScenario Scenario;
std::string ScenarioSource;  // the text the state was built from, tagged by where it came from
bool ScenarioRead = false;

// More than enough for any count test; a larger `count=` is still reported as given.
constexpr long long MaxSynthesised = 4096;

bool thread_alive(DWORD id) {
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
  if (!thread) return false;
  const bool alive = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
  CloseHandle(thread);
  return alive;
}

std::wstring environment(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

// Scenario text is handed to the program as the vendor's 8-bit text, in the ANSI code page.
std::string to_ansi(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

std::string read_whole_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (text.size() < (4u << 20) && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got)
    text.append(chunk, got);
  CloseHandle(file);
  return text;
}

// Inline text wins over a file, so a test can override a shared scenario file.
std::string scenario_source() {
  const std::wstring inline_text = environment(L"SIMDRV_SCENARIO");
  if (!inline_text.empty()) return "inline:" + to_ansi(inline_text);
  const std::wstring path = environment(L"SIMDRV_SCENARIO_FILE");
  if (!path.empty()) return "file:" + read_whole_file(path);
  return "none:";
}

// Lines end at a newline or ';' and comments at '#', except inside a quoted value.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines(1);
  bool quoted = false;
  bool comment = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!quoted && (c == '\n' || c == ';')) {
      lines.emplace_back();
      comment = false;
      continue;
    }
    if (comment) continue;
    if (!quoted && c == '#') {
      comment = true;
      continue;
    }
    if (c == '\r') continue;
    lines.back().push_back(c);
    if (quoted && c == '\\' && i + 1 < text.size()) {
      lines.back().push_back(text[++i]);
    } else if (c == '"') {
      quoted = !quoted;
    }
  }
  return lines;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The escape at `at` (a backslash) inside a quoted value, appended to `value`: `\xHH` is the byte
// HH, so that any byte a driver hands out can be written in plain ASCII; any other character
// after the backslash stands for itself (`\"`, `\\`). Answers the position of its last character.
size_t unescape(const std::string& line, size_t at, std::string& value) {
  if (line[at + 1] == 'x' && at + 3 < line.size()) {
    const int high = hex_digit(line[at + 2]);
    const int low = hex_digit(line[at + 3]);
    if (high >= 0 && low >= 0) {
      value.push_back(static_cast<char>(high * 16 + low));
      return at + 3;
    }
  }
  value.push_back(line[at + 1]);
  return at + 1;
}

std::vector<SimWord> split_words(const std::string& line) {
  std::vector<SimWord> words;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    SimWord word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '=')
      word.key.push_back(line[i++]);
    if (i < line.size() && line[i] == '=') {
      word.has_value = true;
      ++i;
      if (i < line.size() && line[i] == '"') {
        for (++i; i < line.size() && line[i] != '"'; ++i) {
          if (line[i] == '\\' && i + 1 < line.size()) i = unescape(line, i, word.value);
          else word.value.push_back(line[i]);
        }
        ++i;
      } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') word.value.push_back(line[i++]);
      }
    }
    words.push_back(word);
  }
  return words;
}

bool parse_number(const std::string& text, long long low, long long high, long long* number) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long long value = strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || value < low || value > high) return false;
  *number = value;
  return true;
}

bool parse_int(const std::string& text, int* number) {
  long long value = 0;
  if (!parse_number(text, INT32_MIN, INT32_MAX, &value)) return false;
  *number = static_cast<int>(value);
  return true;
}

bool parse_temperature(const std::string& text, int32_t* temperature) {
  if (text == "min32") {
    *temperature = INT32_MIN;
    return true;
  }
  if (text == "max32") {
    *temperature = INT32_MAX;
    return true;
  }
  int value = 0;
  if (!parse_int(text, &value)) return false;
  *temperature = value;
  return true;
}

// The items of a comma list (or of another separator's).
std::vector<std::string> split_list(const std::string& text, char separator = ',') {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
    items.push_back(text.substr(start, at - start));
  items.push_back(text.substr(start));
  return items;
}

// `drift:LOW..HIGH` in whole degrees, or a comma list of readings in the driver's unit.
bool parse_temps(const std::string& text, SimSequence* sequence) {
  if (text.rfind("drift:", 0) == 0) {
    const std::string range = text.substr(6);
    const size_t dots = range.find("..");
    int low = 0;
    int high = 0;
    if (dots == std::string::npos || !parse_int(range.substr(0, dots), &low) ||
        !parse_int(range.substr(dots + 2), &high) || low > high || low < -273 || high > 2000)
      return false;
    sequence->drift = true;
    sequence->drift_low = low * 1000;
    sequence->drift_high = high * 1000;
    return true;
  }
  std::vector<int32_t> temps;
  for (const std::string& item : split_list(text)) {
    int32_t temperature = 0;
    if (!parse_temperature(item, &temperature)) return false;
    temps.push_back(temperature);
  }
  sequence->values = temps;
  sequence->drift = false;
  return true;
}

// A performance-log sensor: `off` (not supported, value 0), `off:N` (not supported, yet value N)
// or its readings in whole degrees, as for `temps`.
bool parse_log_sensor(const std::string& text, SimLogSensor* sensor) {
  if (text == "off" || text.rfind("off:", 0) == 0) {
    sensor->supported = false;
    sensor->value_unsupported = 0;
    return text == "off" || parse_temperature(text.substr(4), &sensor->value_unsupported);
  }
  sensor->supported = true;
  return parse_temps(text, &sensor->readings);
}

void report(int line, const char* problem, const std::string& word) {
  char text[512];
  snprintf(text, sizeof(text), "scenario error line=%d %s: %s", line, problem, word.c_str());
  sim_log_text(text);
}

SimDevice default_device(bool gpu, size_t position) {
  SimDevice device;
  const int n = static_cast<int>(position);
  char text[128];
  snprintf(text, sizeof(text), gpu ? "Simulated GPU %d" : "Simulated Adapter %d", n);
  device.name = text;
  snprintf(text, sizeof(text), "PCI_VEN_%s&DEV_%04X&SUBSYS_00000000&REV_00_4&%X",
           gpu ? "10DE" : "1002", 0x7300 + n, n);
  device.udid = text;
  device.index = n;
  device.bus = n + 1;
  device.vendor = gpu ? 0x10DE : 0x1002;
  device.temps.values = {gpu ? 50 : 50000};
  return device;
}

void parse_device(const std::vector<SimWord>& words, int line, bool gpu, SimScenario* scenario) {
  std::vector<SimDevice>& list = gpu ? scenario->gpus : scenario->adapters;
  SimDevice device = default_device(gpu, list.size());
  for (size_t i = 1; i < words.size(); ++i) {
    const SimWord& word = words[i];
    bool ok = word.has_value;
    if (word.key == "name") device.name = word.value;
    else if (word.key == "udid") device.udid = word.value;
    else if (word.key == "index") ok = ok && parse_int(word.value, &device.index);
    else if (word.key == "bus") ok = ok && parse_int(word.value, &device.bus);
    else if (word.key == "device") ok = ok && parse_int(word.value, &device.device);
    else if (word.key == "function") ok = ok && parse_int(word.value, &device.function);
    else if (word.key == "vendor") ok = ok && parse_int(word.value, &device.vendor);
    else if (word.key == "temps") ok = ok && parse_temps(word.value, &device.temps);
    else if (word.key == "edge" || word.key == "gfx" || word.key == "soc") {
      SimLogSensor& sensor = word.key == "edge" ? device.edge
                             : word.key == "gfx" ? device.gfx
                                                 : device.soc;
      ok = ok && parse_log_sensor(word.value, &sensor);
      device.has_log = true;
    } else if (word.key == "odn") {
      ok = ok && parse_temps(word.value, &device.overdrive_n);
      device.has_overdrive_n = true;
    }
    else if (word.key == "noterm") {
      const std::string which = word.has_value ? word.value : "name";
      ok = which == "name" || which == "udid" || which == "both";
      device.name_noterm = which != "udid";
      device.udid_noterm = which != "name";
    } else {
      report(line, "unknown field", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + "=" + word.value);
  }
  list.push_back(device);
}

// `D0`..`D3` or a number, each optionally repeated (`D3x12`); a last word `loop` starts over.
bool parse_power(const std::string& text, SimDisplay* display) {
  std::vector<std::string> items = split_list(text);
  display->power.clear();
  display->power_loops = items.size() > 1 && items.back() == "loop";
  if (display->power_loops) items.pop_back();
  for (const std::string& item : items) {
    const size_t times_at = item.find('x', 1);
    std::string state_text = item.substr(0, times_at);
    long long times = 1;
    if (times_at != std::string::npos &&
        !parse_number(item.substr(times_at + 1), 1, 100000, &times))
      return false;
    int state = 0;
    if (state_text.size() == 2 && state_text[0] == 'D' && state_text[1] >= '0' &&
        state_text[1] <= '3')
      state = state_text[1] - '0' + 1;
    else if (!parse_int(state_text, &state))
      return false;
    display->power.insert(display->power.end(), static_cast<size_t>(times), state);
  }
  return true;
}

// A property that is there with a number, or `none` when it is not.
bool parse_property(const std::string& text, bool* present, uint32_t* value) {
  long long number = 0;
  *present = text != "none";
  if (!*present) return true;
  if (!parse_number(text, 0, UINT32_MAX, &number)) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

void parse_display(const std::vector<SimWord>& words, int line, SimScenario* scenario) {
  SimDisplay display;
  const size_t position = scenario->displays.size();
  char text[64];
  snprintf(text, sizeof(text), "PCI\\VEN_SIM&DEV_%04zX\\%zu", position, position);
  display.id = text;
  display.bus = static_cast<uint32_t>(position) + 1;
  display.power = {1};
  int device = 0;
  int function = 0;
  for (size_t i = 1; i < words.size(); ++i) {
    const SimWord& word = words[i];
    bool ok = word.has_value;
    if (word.key == "id") display.id = word.value;
    else if (word.key == "bus")
      ok = ok && parse_property(word.value, &display.has_bus, &display.bus);
    else if (word.key == "address")
      ok = ok && parse_property(word.value, &display.has_address, &display.address);
    else if (word.key == "device") ok = ok && parse_int(word.value, &device);
    else if (word.key == "function") ok = ok && parse_int(word.value, &function);
    else if (word.key == "power") ok = ok && parse_power(word.value, &display);
    else if (word.key == "class") {
      ok = ok && (word.value == "compute" || word.value == "display");
      display.compute = word.value == "compute";
    } else {
      report(line, "unknown field", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + "=" + word.value);
    if (word.key == "device" || word.key == "function")
      display.address = (static_cast<uint32_t>(device) << 16) | static_cast<uint32_t>(function);
  }
  scenario->displays.push_back(display);
}

// A GPU of NVIDIA's management library: a compute card in TCC mode unless `model` says otherwise.
void parse_nvml(const std::vector<SimWord>& words, int line, SimScenario* scenario) {
  SimDevice gpu = default_device(true, scenario->nvml.size());
  gpu.name = "NVIDIA Tesla P40";
  for (size_t i = 1; i < words.size(); ++i) {
    const SimWord& word = words[i];
    bool ok = word.has_value;
    if (word.key == "name") gpu.name = word.value;
    else if (word.key == "bus") ok = ok && parse_int(word.value, &gpu.bus);
    else if (word.key == "device") ok = ok && parse_int(word.value, &gpu.device);
    else if (word.key == "function") ok = ok && parse_int(word.value, &gpu.function);
    else if (word.key == "temps") ok = ok && parse_temps(word.value, &gpu.temps);
    else if (word.key == "model") {
      const std::string& model = word.value;
      if (model == "wddm") gpu.driver_model = 0;
      else if (model == "tcc") gpu.driver_model = 1;
      else if (model == "mcdm") gpu.driver_model = 2;
      else ok = ok && parse_int(model, &gpu.driver_model);
    } else {
      report(line, "unknown field", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + "=" + word.value);
  }
  scenario->nvml.push_back(gpu);
}

bool parse_uint32(const std::string& text, uint32_t* number) {
  long long value = 0;
  if (!parse_number(text, 0, UINT32_MAX, &value)) return false;
  *number = static_cast<uint32_t>(value);
  return true;
}

bool parse_byte(const std::string& text, uint8_t* number) {
  long long value = 0;
  if (!parse_number(text, 0, UINT8_MAX, &value)) return false;
  *number = static_cast<uint8_t>(value);
  return true;
}

// A flag word alone, or with =0 or =1.
bool parse_flag(const SimWord& word, bool* flag) {
  if (word.has_value && word.value != "0" && word.value != "1") return false;
  *flag = !word.has_value || word.value == "1";
  return true;
}

// Degrees as Intel's library answers them, a decimal number such as 45.5 or -3, or `nan`, the
// value that is not a number, which a driver's double can hold. Otherwise only plain decimals:
// strtod would also take hex and "inf", which no scenario means to write.
bool parse_degrees(const std::string& text, double* degrees) {
  if (text == "nan") {
    *degrees = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos) return false;
  char* end = nullptr;
  const double value = strtod(text.c_str(), &end);
  if (*end != '\0') return false;
  *degrees = value;
  return true;
}

// One telemetry answer: degrees (supported, Celsius, double), `off` (all zero), `unitsN:V` or
// `typeN:V` (supported, degrees V, with those units or that data type).
bool parse_telemetry_reading(const std::string& text, SimTelemetryReading* reading) {
  *reading = SimTelemetryReading{};
  if (text == "off") {
    *reading = SimTelemetryReading{false, 0, 0, 0};
    return true;
  }
  const bool units = text.rfind("units", 0) == 0;
  if (!units && text.rfind("type", 0) != 0) return parse_degrees(text, &reading->value);
  const size_t start = units ? 5 : 4;
  const size_t colon = text.find(':');
  uint32_t* field = units ? &reading->units : &reading->type;
  return colon != std::string::npos && parse_uint32(text.substr(start, colon - start), field) &&
         parse_degrees(text.substr(colon + 1), &reading->value);
}

bool parse_telemetry(const std::string& text, std::vector<SimTelemetryReading>* readings) {
  std::vector<SimTelemetryReading> parsed;
  for (const std::string& item : split_list(text)) {
    SimTelemetryReading reading;
    if (!parse_telemetry_reading(item, &reading)) return false;
    parsed.push_back(reading);
  }
  *readings = parsed;
  return true;
}

// `TYPE:D/D/...`: a sensor type by name or number, and the degrees it answers in turn.
bool parse_intel_sensor(const std::string& text, SimIntelSensor* sensor) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string type = text.substr(0, colon);
  if (type == "global") sensor->type = 0;
  else if (type == "gpu") sensor->type = 1;
  else if (type == "memory") sensor->type = 2;
  else if (!parse_uint32(type, &sensor->type)) return false;
  for (const std::string& item : split_list(text.substr(colon + 1), '/')) {
    double degrees = 0;
    if (!parse_degrees(item, &degrees)) return false;
    sensor->readings.push_back(degrees);
  }
  return true;
}

bool parse_intel_sensors(const std::string& text, std::vector<SimIntelSensor>* sensors) {
  std::vector<SimIntelSensor> parsed;
  for (const std::string& item : split_list(text)) {
    SimIntelSensor sensor;
    if (!parse_intel_sensor(item, &sensor)) return false;
    parsed.push_back(sensor);
  }
  if (parsed.size() > SimIntelMaxSensors) return false;
  *sensors = parsed;
  return true;
}

void parse_intel_device(const std::vector<SimWord>& words, int line, SimScenario* scenario) {
  SimIntelDevice device;
  device.name = "Intel(R) Arc(TM) A770 Graphics";
  device.bus = static_cast<uint8_t>(scenario->intel.size() + 1);
  device.temps = {SimTelemetryReading{true, 5, 9, 45}};
  bool no_location = false;
  for (size_t i = 1; i < words.size(); ++i) {
    const SimWord& word = words[i];
    bool ok = word.has_value;
    if (word.key == "name") device.name = word.value;
    else if (word.key == "type") ok = ok && parse_uint32(word.value, &device.type);
    else if (word.key == "vendor") ok = ok && parse_uint32(word.value, &device.vendor);
    else if (word.key == "integrated") ok = parse_flag(word, &device.integrated);
    else if (word.key == "noterm") ok = parse_flag(word, &device.name_noterm);
    else if (word.key == "bus") {
      no_location = ok && word.value == "none";
      ok = ok && (no_location || parse_byte(word.value, &device.bus));
    } else if (word.key == "device") ok = ok && parse_byte(word.value, &device.device);
    else if (word.key == "function") ok = ok && parse_byte(word.value, &device.function);
    else if (word.key == "temps") ok = ok && parse_telemetry(word.value, &device.temps);
    else if (word.key == "sensors") ok = ok && parse_intel_sensors(word.value, &device.sensors);
    else {
      report(line, "unknown field", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + (word.has_value ? "=" + word.value : ""));
  }
  // The library's mark for a device without a PCI location fills all three bytes.
  if (no_location) device.bus = device.device = device.function = 0xFF;
  scenario->intel.push_back(device);
}

// An ADLX metric: `off` or `off:DEGREES` (not supported, yet the getter answers that value), or
// the degrees answered in turn, as for Intel's (`48.5`, `-300`, `nan`).
bool parse_adlx_metric(const std::string& text, SimAdlxMetric* metric) {
  *metric = SimAdlxMetric{};
  if (text == "off" || text.rfind("off:", 0) == 0) {
    metric->supported = false;
    return text == "off" || parse_degrees(text.substr(4), &metric->value_unsupported);
  }
  for (const std::string& item : split_list(text)) {
    double degrees = 0;
    if (!parse_degrees(item, &degrees)) return false;
    metric->readings.push_back(degrees);
  }
  return true;
}

bool parse_adlx_type(const std::string& text, int* type) {
  if (text == "integrated") *type = 1;
  else if (text == "discrete") *type = 2;
  else return parse_int(text, type);
  return true;
}

// A comma list of ADL adapter indices, or `none`.
bool parse_adapter_list(const std::string& text, std::vector<int>* adapters) {
  adapters->clear();
  if (text == "none") return true;
  for (const std::string& item : split_list(text)) {
    int index = 0;
    if (!parse_int(item, &index)) return false;
    adapters->push_back(index);
  }
  return true;
}

void parse_adlx_gpu(const std::vector<SimWord>& words, int line, SimScenario* scenario) {
  SimAdlxGpu gpu;
  gpu.bus = static_cast<int>(scenario->adlx.size()) + 1;
  gpu.edge.readings = {50};
  gpu.hotspot.supported = false;
  for (size_t i = 1; i < words.size(); ++i) {
    const SimWord& word = words[i];
    bool ok = word.has_value;
    if (word.key == "name") gpu.name = word.value;
    else if (word.key == "vendor") gpu.vendor = word.value;
    else if (word.key == "deviceid") gpu.device_id = word.value;
    else if (word.key == "type") ok = ok && parse_adlx_type(word.value, &gpu.type);
    else if (word.key == "bus") ok = ok && parse_int(word.value, &gpu.bus);
    else if (word.key == "device") ok = ok && parse_int(word.value, &gpu.device);
    else if (word.key == "function") ok = ok && parse_int(word.value, &gpu.function);
    else if (word.key == "adapters") {
      ok = ok && parse_adapter_list(word.value, &gpu.adapters);
      gpu.adapters_set = ok;
    } else if (word.key == "temps") ok = ok && parse_adlx_metric(word.value, &gpu.edge);
    else if (word.key == "hotspot") ok = ok && parse_adlx_metric(word.value, &gpu.hotspot);
    else if (word.key == "nomap") {
      ok = !word.has_value;
      gpu.mapped = false;
    } else {
      report(line, "unknown field", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + (word.has_value ? "=" + word.value : ""));
  }
  scenario->adlx.push_back(gpu);
}

// `1.4`, `1.4.0.35` (major.minor.release.build) or the full 64-bit version in hex.
bool parse_adlx_version(const std::string& text, SimScenario* scenario) {
  uint64_t version = 0;
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
    char* end = nullptr;
    version = strtoull(text.c_str(), &end, 16);
    if (text.size() < 3 || *end != '\0') return false;
  } else {
    if (text.empty() || text.find_first_not_of(".0123456789") != std::string::npos) return false;
    const std::vector<uint32_t> parts = sim_version_parts(text);
    for (size_t i = 0; i < 4; ++i)
      version = (version << 16) | (i < parts.size() ? (parts[i] & 0xFFFFu) : 0u);
  }
  scenario->adlx_version = version;
  char shown[64];
  snprintf(shown, sizeof(shown), "%u.%u.%u.%u", static_cast<unsigned>(version >> 48),
           static_cast<unsigned>((version >> 32) & 0xFFFFu),
           static_cast<unsigned>((version >> 16) & 0xFFFFu), static_cast<unsigned>(version & 0xFFFFu));
  scenario->adlx_version_text = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? shown : text;
  return true;
}

// An ADLX GPU without `adapters=` is found by the indices of the ADL adapters at its PCI location;
// where ADL restarts, also by the numbers ADL gives them afterwards (100 more).
void map_adlx_gpus(SimScenario* scenario) {
  for (SimAdlxGpu& gpu : scenario->adlx) {
    if (gpu.adapters_set) continue;
    for (const SimDevice& adapter : scenario->adapters)
      if (adapter.bus == gpu.bus && adapter.device == gpu.device &&
          adapter.function == gpu.function)
        gpu.adapters.push_back(adapter.index);
    if (!scenario->adl_restarts) continue;
    const size_t before = gpu.adapters.size();
    for (size_t i = 0; i < before; ++i) gpu.adapters.push_back(gpu.adapters[i] + 100);
  }
}

void parse_fault(const std::vector<SimWord>& words, int line, SimFaultKind kind,
                 SimScenario* scenario) {
  const bool valued = kind == SIM_FAIL || kind == SIM_SLEEP;
  if (words.size() < 2 || valued != words[1].has_value) {
    report(line, "expected FUNCTION=VALUE or FUNCTION", words[0].key);
    return;
  }
  SimFault fault;
  fault.kind = kind;
  fault.function = words[1].key;
  if (valued) {
    int status = 0;
    if (!parse_int(words[1].value, &status) || (kind == SIM_SLEEP && status < 0))
      report(line, "bad value", words[1].value);
    fault.status = status;
  }
  bool to_given = false;
  for (size_t i = 2; i < words.size(); ++i) {
    const SimWord& word = words[i];
    long long number = 0;
    const bool ok = word.has_value && parse_number(word.value, 0, INT64_MAX, &number);
    if (word.key == "from" && ok && number >= 1) fault.from = number;
    else if (word.key == "to" && ok && number >= 1) {
      fault.to = number;
      to_given = true;
    }
    else if (word.key == "locked" && !word.has_value && kind == SIM_HANG)
      fault.kind = SIM_HANG_LOCKED;
    else if ((word.key == "adapter" || word.key == "gpu" || word.key == "display" ||
              word.key == "intel" || word.key == "adlx") &&
             ok && number <= INT32_MAX)
      fault.device = static_cast<int>(number);
    else report(line, "bad fault field", word.key + "=" + word.value);
  }
  // A sleep comes once unless told otherwise.
  if (kind == SIM_SLEEP && !to_given) fault.to = fault.from;
  scenario->faults.push_back(fault);
}

// `restart at=N [away=MS|forever] [order=reverse] [drop=I [back=MS]] [status=S] [in=FILE]`.
void parse_restart(const std::vector<SimWord>& words, int line, SimScenario* scenario) {
  SimRestart restart;
  bool here = true;
  bool in_adl = true;  // without `in=` every library restarts, ADL's too
  for (size_t i = 1; i < words.size(); ++i) {
    const SimWord& word = words[i];
    long long number = 0;
    bool ok = word.has_value;
    if (word.key == "at") {
      ok = ok && parse_number(word.value, 1, INT64_MAX, &restart.at);
    } else if (word.key == "away") {
      restart.forever = ok && word.value == "forever";
      ok = ok && (restart.forever || parse_number(word.value, 0, INT64_MAX, &number));
      restart.away = static_cast<unsigned long long>(number);
    } else if (word.key == "order") {
      ok = ok && word.value == "reverse";
      restart.reverse = ok;
    } else if (word.key == "drop") {
      ok = ok && parse_number(word.value, 0, INT32_MAX, &restart.drop);
    } else if (word.key == "back") {
      ok = ok && parse_number(word.value, 0, INT64_MAX, &number);
      restart.drop_ends = ok;
      restart.back = static_cast<unsigned long long>(number);
    } else if (word.key == "status") {
      // Intel's results are unsigned 32-bit numbers, the others' signed. A lost session never
      // answers success.
      ok = ok && parse_number(word.value, INT32_MIN, UINT32_MAX, &number) && number != 0;
      restart.status_set = ok;
      restart.status = static_cast<int32_t>(number);
    } else if (word.key == "in") {
      // One library of several installed together restarts, the others go on.
      here = _stricmp(word.value.c_str(), ModuleName) == 0;
      in_adl = _strnicmp(word.value.c_str(), "atiadl", 6) == 0;
    } else {
      report(line, "unknown field", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + "=" + word.value);
  }
  if (restart.at < 1) report(line, "expected at=N", "restart");
  else if (here) scenario->restart = restart;
  if (restart.at >= 1 && in_adl) scenario->adl_restarts = true;
}

void parse_settings(const std::vector<SimWord>& words, int line, SimScenario* scenario) {
  for (const SimWord& word : words) {
    long long number = 0;
    bool ok = word.has_value;
    if (word.key == "count") {
      ok = ok && parse_number(word.value, INT32_MIN, UINT32_MAX, &number);
      scenario->count_set = ok;
      scenario->count = number;
    } else if (word.key == "handles") {
      ok = ok && parse_number(word.value, 0, 100000, &number);
      scenario->handles = ok ? number : -1;
    } else if (word.key == "hooks") {
      ok = ok && (word.value == "both" || word.value == "pre" || word.value == "post" ||
                  word.value == "none");
      scenario->hook_pre = word.value == "both" || word.value == "pre";
      scenario->hook_post = word.value == "both" || word.value == "post";
    } else if (word.key == "seed") {
      ok = ok && parse_number(word.value, 0, UINT32_MAX, &number);
      scenario->random = static_cast<uint32_t>(number) | 1u;
    } else if (word.key == "init") {
      ok = ok && (word.value == "strict" || word.value == "lenient");
      scenario->init_check = word.value != "lenient";
    } else if (word.key == "alloc") {
      ok = ok && parse_number(word.value, 1, 1 << 20, &number);
      scenario->alloc_size = ok ? static_cast<int>(number) : 0;
    } else if (word.key == "ctl_version") {
      ok = ok && parse_uint32(word.value, &scenario->ctl_version);
    } else if (word.key == "driver") {
      scenario->driver = word.value;
    } else if (word.key == "adlx_version") {
      ok = ok && parse_adlx_version(word.value, scenario);
    } else if (word.key == "ctl_properties") {
      ok = ok && parse_number(word.value, 0, UINT8_MAX, &number);
      if (ok) scenario->ctl_properties = static_cast<int>(number);
    } else {
      report(line, "unknown setting", word.key);
      continue;
    }
    if (!ok) report(line, "bad value", word.key + "=" + word.value);
  }
}

// A `count=` beyond the listed entries is made up of default entries, so that a count test
// does not need a line per adapter.
void synthesise(std::vector<SimDevice>& list, bool gpu, long long count) {
  const long long target = count < MaxSynthesised ? count : MaxSynthesised;
  while (static_cast<long long>(list.size()) < target) list.push_back(default_device(gpu, list.size()));
}

SimScenario parse_scenario(const std::string& text) {
  SimScenario scenario;
  scenario.random = (GetTickCount() ^ (GetCurrentProcessId() << 16)) | 1u;
  const std::vector<std::string> lines = split_lines(text);
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::vector<SimWord> words = split_words(lines[n]);
    const int line = static_cast<int>(n) + 1;
    if (words.empty()) continue;
    const std::string& kind = words[0].key;
    if (words[0].has_value) parse_settings(words, line, &scenario);
    else if (kind == "adapter") parse_device(words, line, false, &scenario);
    else if (kind == "gpu") parse_device(words, line, true, &scenario);
    else if (kind == "display") parse_display(words, line, &scenario);
    else if (kind == "nvml") parse_nvml(words, line, &scenario);
    else if (kind == "intel") parse_intel_device(words, line, &scenario);
    else if (kind == "adlx") parse_adlx_gpu(words, line, &scenario);
    else if (kind == "fail") parse_fault(words, line, SIM_FAIL, &scenario);
    else if (kind == "hang") parse_fault(words, line, SIM_HANG, &scenario);
    else if (kind == "crash") parse_fault(words, line, SIM_CRASH, &scenario);
    else if (kind == "probe") parse_fault(words, line, SIM_PROBE, &scenario);
    else if (kind == "sleep") parse_fault(words, line, SIM_SLEEP, &scenario);
    else if (kind == "restart") parse_restart(words, line, &scenario);
    // The vendor libraries a machine's system folder holds: a note for whoever installs the
    // simulated ones (a replayed report), nothing the drivers answer.
    else if (kind == "libraries") continue;
    else if (kind == "missing" && words.size() >= 2) {
      for (size_t i = 1; i < words.size(); ++i) scenario.missing.push_back(words[i].key);
    } else {
      report(line, "unknown line", kind);
    }
  }
  if (scenario.count_set) {
    synthesise(scenario.adapters, false, scenario.count);
    synthesise(scenario.gpus, true, scenario.count);
  }
  map_adlx_gpus(&scenario);
  return scenario;
}

uint32_t next_random(SimScenario& scenario) {
  uint32_t x = scenario.random;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  scenario.random = x;
  return x;
}

// A reading moves by at most about 0.6 degrees a call and is pulled back toward the middle of
// its range, which looks like a GPU under a steady load.
int32_t drift_step(SimSequence& sequence) {
  const long long low = sequence.drift_low;
  const long long span = static_cast<long long>(sequence.drift_high) - low;
  long long now = sequence.drift_now;
  if (!sequence.drift_started) {
    now = low + span * (30 + next_random(Scenario) % 40) / 100;
    sequence.drift_started = true;
  } else {
    const long long middle = low + span / 2;
    now += static_cast<long long>(next_random(Scenario) % 1201) - 600 + (middle - now) / 16;
    if (now < low) now = low;
    if (now > sequence.drift_high) now = sequence.drift_high;
  }
  sequence.drift_now = static_cast<int32_t>(now);
  return sequence.drift_now;
}

void append_to_log(const char* line, size_t length) {
  wchar_t path[MAX_PATH * 2];
  const DWORD size = GetEnvironmentVariableW(L"SIMDRV_LOG", path, MAX_PATH * 2);
  if (size == 0 || size >= MAX_PATH * 2) return;
  // Opened and closed per line so that lines survive a killed process and several
  // processes can append to one log; FILE_APPEND_DATA makes each write land at the end.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
    file = CreateFileW(path, FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) return;
    if (file == INVALID_HANDLE_VALUE) Sleep(1);
  }
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

// Formats one log line, always ending in a newline even when cut, and appends it.
void write_line(const char* format, ...) {
  char line[2048];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(line, sizeof(line) - 1, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (length > static_cast<int>(sizeof(line)) - 2) length = sizeof(line) - 2;
  line[length] = '\n';
  append_to_log(line, static_cast<size_t>(length) + 1);
}

}  // namespace

void sim_attach(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    const wchar_t* name = path;
    for (const wchar_t* c = path; *c; ++c)
      if (*c == L'\\' || *c == L'/') name = c + 1;
    WideCharToMultiByte(CP_ACP, 0, name, -1, ModuleName, MAX_PATH, nullptr, nullptr);
  }
  InitializeCriticalSection(&LibraryLock);
  Forbidden = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS));
  char text[64];
  snprintf(text, sizeof(text), "load pid=%lu", GetCurrentProcessId());
  sim_log_text(text);
  sim_lock();
  sim_reload();
  sim_unlock();
}

void sim_detach() {
  sim_log_text("unload");
  EnterCriticalSection(&LibraryLock);
  LeaveCriticalSection(&LibraryLock);
}

void sim_lock() {
  const LONG me = static_cast<LONG>(GetCurrentThreadId());
  for (;;) {
    const LONG owner = InterlockedCompareExchange(&LockOwner, me, 0);
    if (owner == 0) return;
    if (!thread_alive(static_cast<DWORD>(owner)) &&
        InterlockedCompareExchange(&LockOwner, me, owner) == owner)
      return;
    Sleep(1);
  }
}

void sim_unlock() { InterlockedExchange(&LockOwner, 0); }

void sim_reload() {
  const std::string source = scenario_source();
  if (ScenarioRead && source == ScenarioSource) return;
  ScenarioRead = true;
  ScenarioSource = source;
  Scenario = parse_scenario(source.substr(source.find(':') + 1));
}

SimScenario& sim_scenario() { return Scenario; }

long long sim_reported(const std::vector<SimDevice>& devices) {
  // `count=` describes the driver as it starts; the restarted one lists what it has.
  if (Scenario.restart.generation > 0)
    return static_cast<long long>(sim_listed(devices.size()).size());
  return Scenario.count_set ? Scenario.count : static_cast<long long>(devices.size());
}

void sim_count_reading() {
  sim_lock();
  SimRestart& restart = Scenario.restart;
  const bool now = restart.at > 0 && restart.generation == 0 && ++restart.calls == restart.at;
  if (now) {
    restart.generation = 1;
    restart.since = GetTickCount64();
  }
  const long long at = restart.at;
  sim_unlock();
  if (!now) return;
  char text[64];
  snprintf(text, sizeof(text), "restart at=%lld", at);
  sim_log_text(text);
}

int sim_generation() { return Scenario.restart.generation; }

bool sim_away() {
  const SimRestart& restart = Scenario.restart;
  if (restart.generation == 0) return false;
  return restart.forever || GetTickCount64() - restart.since < restart.away;
}

bool sim_session_lost() { return Scenario.restart.session < Scenario.restart.generation; }

void sim_open_session() { Scenario.restart.session = Scenario.restart.generation; }

int32_t sim_restart_status(int32_t fallback) {
  return Scenario.restart.status_set ? Scenario.restart.status : fallback;
}

std::vector<size_t> sim_listed(size_t count) {
  const bool reverse = Scenario.restart.generation > 0 && Scenario.restart.reverse;
  std::vector<size_t> positions;
  for (size_t i = 0; i < count; ++i) {
    const size_t position = reverse ? count - 1 - i : i;
    if (!sim_dropped(position)) positions.push_back(position);
  }
  return positions;
}

bool sim_dropped(size_t position) {
  const SimRestart& restart = Scenario.restart;
  if (restart.generation == 0 || static_cast<long long>(position) != restart.drop) return false;
  return !restart.drop_ends || GetTickCount64() - restart.since < restart.back;
}

SimFaultKind sim_fault(const char* function, int device, int32_t* status) {
  SimFaultKind result = SIM_PASS;
  for (SimFault& fault : Scenario.faults) {
    if (fault.function != function || (fault.device >= 0 && fault.device != device)) continue;
    ++fault.calls;
    if (result != SIM_PASS || fault.calls < fault.from || (fault.to >= 0 && fault.calls > fault.to))
      continue;
    result = fault.kind;
    *status = fault.status;
  }
  return result;
}

bool sim_missing(const char* function) {
  for (const std::string& name : Scenario.missing)
    if (name == function) return true;
  return false;
}

int32_t sim_next_temperature(SimSequence& sequence, bool thousandths) {
  if (sequence.drift) {
    const int32_t now = drift_step(sequence);
    return thousandths ? now : (now >= 0 ? now + 500 : now - 500) / 1000;
  }
  if (sequence.values.empty()) return thousandths ? 50000 : 50;
  const int32_t temperature = sequence.values[sequence.next % sequence.values.size()];
  sequence.next = (sequence.next + 1) % sequence.values.size();
  return temperature;
}

int sim_next_power_state(SimDisplay& display) {
  if (display.power.empty()) return 1;
  const size_t last = display.power.size() - 1;
  const int state = display.power[display.next_power < last ? display.next_power : last];
  if (display.next_power < last) ++display.next_power;
  else if (display.power_loops) display.next_power = 0;
  return state;
}

std::vector<uint32_t> sim_version_parts(const std::string& text) {
  std::vector<uint32_t> parts;
  for (const std::string& item : split_list(text, '.')) {
    if (parts.size() == 4) break;
    parts.push_back(static_cast<uint32_t>(strtoul(item.c_str(), nullptr, 10)));
  }
  return parts;
}

void sim_fill_text(char* field, size_t size, const std::string& text, bool noterm) {
  if (size == 0) return;
  if (noterm) {
    const std::string fill = text.empty() ? std::string("X") : text;
    for (size_t i = 0; i < size; ++i) field[i] = fill[i % fill.size()];
    return;
  }
  const size_t length = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(field, text.data(), length);
  field[length] = '\0';
}

void sim_log_call(const char* function, const char* args, const char* status) {
  write_line("%s %s tid=%lu args=%s status=%s", ModuleName, function, GetCurrentThreadId(), args,
             status);
}

void sim_log_status(const char* function, const char* args, long long status,
                    SimStatusStyle style) {
  char text[32];
  if (style == SIM_STATUS_HEX && status != 0)
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(status)));
  else
    snprintf(text, sizeof(text), "%lld", status);
  sim_log_call(function, args, text);
}

void sim_log_text(const char* text) { write_line("%s %s", ModuleName, text); }

void sim_hang(const char* function, const char* args, bool locked) {
  if (locked) EnterCriticalSection(&LibraryLock);
  // A thread that hangs never reads its queue again: a message already posted to the thread
  // itself, meant for one that waits for messages, is named, so that the log shows where it went.
  char details[1024];
  snprintf(details, sizeof(details), "%s", args);
  MSG posted{};
  if (PeekMessageW(&posted, reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE | PM_NOYIELD))
    sim_append(details, sizeof(details), " queued=0x%X", posted.message);
  sim_log_call(function, details, locked ? "hang-locked" : "hang");
  sim_unlock();
  for (;;) Sleep(INFINITE);
}

void sim_crash(const char* function, const char* args, const char* status) {
  sim_log_call(function, args, status);
  sim_unlock();
  *reinterpret_cast<volatile char*>(Forbidden) = 1;
}

void sim_probe(char* args, size_t args_size) {
  const bool caught = IsBadReadPtr(Forbidden, 4) != 0;
  sim_append(args, args_size, " probe=%s", caught ? "caught" : "readable");
}

void sim_sleep(int32_t milliseconds, char* args, size_t args_size) {
  sim_unlock();
  Sleep(static_cast<DWORD>(milliseconds));
  sim_lock();
  sim_append(args, args_size, " slept=%d", milliseconds);
}

void sim_append(char* buffer, size_t size, const char* format, ...) {
  const size_t used = strnlen(buffer, size);
  if (used + 1 >= size) return;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(buffer + used, size - used, format, arguments);
  va_end(arguments);
}

std::string sim_ansi(const wchar_t* text) { return text ? to_ansi(text) : "(null)"; }

unsigned long long sim_address(const void* pointer) {
  return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer));
}

// Every simulated driver library is entered here: it reads its scenario as it loads.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(module);
    sim_attach(module);
  } else if (reason == DLL_PROCESS_DETACH) {
    sim_detach();
  }
  return TRUE;
}
