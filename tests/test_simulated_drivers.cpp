// The simulated vendor drivers, loaded in this process: what a scenario makes them answer, and
// the call log that the end-to-end tests read.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <tuple>

#include "backends/amd/adl.h"
#include "backends/intel/ctl.h"
#include "tests/support/harness.h"

namespace {

using AdlAlloc = void*(__stdcall*)(int);
using AdlCreate = int (*)(AdlAlloc, int);
using AdlCount = int (*)(int*);
using AdlInfo = int (*)(AdapterInfo*, int);
using AdlTemperatureGet = int (*)(int, int, ADLTemperature*);
using NvQuery = void* (*)(unsigned int);
using NvStatus = int (*)();
using NvEnum = int (*)(void**, unsigned int*);
using NvName = int (*)(void*, char*);
using NvThermal = int (*)(void*, unsigned int, void*);
using NvPreHook = int (*)(unsigned int, void**);
using Adl2Create = int (*)(AdlAlloc, int, void**);
using Adl2Destroy = int (*)(void*);
using Adl2Log = int (*)(void*, int, ADLPMLogDataOutput*);

int AllocCalls = 0;
void* __stdcall counting_alloc(int size) {
  ++AllocCalls;
  return calloc(1, static_cast<size_t>(size));
}

// The 68-byte thermal record as the monitor fills it before each call.
struct ThermalRecord {
  unsigned int version = 0x00010044;
  unsigned int sensors = 0;
  int sensor[15] = {-1, 0, 0, 0, 1};  // controller, min, max, current, target; then sensors 1-2
};
static_assert(sizeof(ThermalRecord) == 68);

class SimulatedDriver : public ::testing::Test {
 protected:
  void TearDown() override {
    if (library_) FreeLibrary(library_);
    SetEnvironmentVariableW(L"SIMDRV_SCENARIO", nullptr);
    SetEnvironmentVariableW(L"SIMDRV_SCENARIO_FILE", nullptr);
    SetEnvironmentVariableW(L"SIMDRV_LOG", nullptr);
  }

  // Loads a driver from the build's drivers folder with `scenario`, logging to a fresh file.
  void load(const wchar_t* file, const std::string& scenario) {
    log_ = fresh_dir(L"simdrv") + L"\\calls.log";
    SetEnvironmentVariableW(L"SIMDRV_SCENARIO", widen(scenario).c_str());
    SetEnvironmentVariableW(L"SIMDRV_LOG", log_.c_str());
    library_ = LoadLibraryW((drivers_dir() + L"\\" + file).c_str());
    ASSERT_NE(library_, nullptr);
  }

  template <typename Function>
  Function get(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
  }

  // Creates ADL's main control and answers the adapter records it gives for `count` slots.
  std::vector<AdapterInfo> adapters(int count) {
    EXPECT_EQ(get<AdlCreate>("ADL_Main_Control_Create")(counting_alloc, 1), 0);
    std::vector<AdapterInfo> records(count + 1);
    memset(records.data(), 0x5A, records.size() * sizeof(AdapterInfo));
    EXPECT_EQ(get<AdlInfo>("ADL_Adapter_AdapterInfo_Get")(
                  records.data(), count * static_cast<int>(sizeof(AdapterInfo))),
              0);
    return records;
  }

  std::vector<int> temperatures(int adapter, int calls) {
    std::vector<int> readings;
    for (int i = 0; i < calls; ++i) {
      ADLTemperature reading{8, 0};
      const int status =
          get<AdlTemperatureGet>("ADL_Overdrive5_Temperature_Get")(adapter, 0, &reading);
      readings.push_back(status == 0 ? reading.iTemperature : 1000000 + status);
    }
    return readings;
  }

  HMODULE library_ = nullptr;
  std::wstring log_;
};

TEST_F(SimulatedDriver, AdlAdaptersComeFromTheScenario) {
  load(L"atiadlxx.dll",
       "adapter name=\"AMD Radeon RX 7900 XTX\" udid=\"PCI_VEN_1002&DEV_744C\" bus=3 device=1 "
       "function=2 index=7 # first\n"
       "adapter name=\"Z\" noterm=both; alloc=16");
  int count = 0;
  AllocCalls = 0;
  ASSERT_EQ(get<AdlCreate>("ADL_Main_Control_Create")(counting_alloc, 1), 0);
  EXPECT_EQ(AllocCalls, 1);
  EXPECT_EQ(get<AdlCount>("ADL_Adapter_NumberOfAdapters_Get")(&count), 0);
  EXPECT_EQ(count, 2);

  const std::vector<AdapterInfo> records = adapters(2);
  EXPECT_EQ(records[0].iSize, 1572);
  EXPECT_EQ(records[0].iAdapterIndex, 7);
  EXPECT_STREQ(records[0].strUDID, "PCI_VEN_1002&DEV_744C");
  EXPECT_EQ(records[0].iBusNumber, 3);
  EXPECT_EQ(records[0].iDeviceNumber, 1);
  EXPECT_EQ(records[0].iFunctionNumber, 2);
  EXPECT_STREQ(records[0].strAdapterName, "AMD Radeon RX 7900 XTX");
  EXPECT_EQ(std::string(records[1].strAdapterName, 256), std::string(256, 'Z'));
  EXPECT_EQ(memchr(records[1].strUDID, 0, 256), nullptr);
  EXPECT_EQ(records[1].iAdapterIndex, 1);  // defaults follow the position
  EXPECT_EQ(records[1].iBusNumber, 2);
  EXPECT_EQ(records[2].iSize, 0x5A5A5A5A) << "wrote past the size it was given";
}

TEST_F(SimulatedDriver, AdlCountIsReportedAsGivenAndFillsOnlyWhatFits) {
  load(L"atiadlxy.dll", "adapter name=\"A\";count=65");
  int count = 0;
  ASSERT_EQ(get<AdlCreate>("ADL_Main_Control_Create")(nullptr, 1), 0);
  get<AdlCount>("ADL_Adapter_NumberOfAdapters_Get")(&count);
  EXPECT_EQ(count, 65);
  const std::vector<AdapterInfo> records = adapters(3);
  EXPECT_STREQ(records[0].strAdapterName, "A");
  EXPECT_STREQ(records[2].strAdapterName, "Simulated Adapter 2");
  EXPECT_EQ(records[3].iSize, 0x5A5A5A5A);
  EXPECT_NE(get<AdlInfo>("ADL_Adapter_AdapterInfo_Get")(nullptr, 0), 0);
}

TEST_F(SimulatedDriver, AdlTemperaturesCycleAndFaultsApplyFromTheirCall) {
  load(L"atiadlxx.dll",
       "adapter temps=45999,-500,min32\nadapter temps=70000\n"
       "fail ADL_Overdrive5_Temperature_Get=-8 from=2 to=3 adapter=1");
  get<AdlCreate>("ADL_Main_Control_Create")(counting_alloc, 1);
  EXPECT_EQ(temperatures(0, 4), (std::vector<int>{45999, -500, INT32_MIN, 45999}));
  EXPECT_EQ(temperatures(1, 4), (std::vector<int>{70000, 1000000 - 8, 1000000 - 8, 70000}));
  EXPECT_EQ(temperatures(5, 1), (std::vector<int>{1000000 - 5}));  // no such adapter index
}

TEST_F(SimulatedDriver, AdlRefusesCallsOutsideTheMainControl) {
  load(L"atiadlxx.dll", "adapter;fail ADL_Main_Control_Create=-1");
  int count = -7;
  EXPECT_EQ(get<AdlCreate>("ADL_Main_Control_Create")(counting_alloc, 1), -1);
  EXPECT_EQ(get<AdlCount>("ADL_Adapter_NumberOfAdapters_Get")(&count), -2);
  EXPECT_EQ(count, -7);
}

TEST_F(SimulatedDriver, AdlDriftStaysInItsRangeAndMovesSlowly) {
  load(L"atiadlxx.dll", "adapter temps=drift:40..75");
  get<AdlCreate>("ADL_Main_Control_Create")(counting_alloc, 1);
  const std::vector<int> readings = temperatures(0, 200);
  for (size_t i = 0; i < readings.size(); ++i) {
    EXPECT_GE(readings[i], 40000);
    EXPECT_LE(readings[i], 75000);
    if (i > 0) {
      EXPECT_LE(std::abs(readings[i] - readings[i - 1]), 3000);
    }
  }
  EXPECT_NE(readings.front(), readings.back());
}

TEST_F(SimulatedDriver, VariantsLackTheirExport) {
  library_ = LoadLibraryW((drivers_dir() + L"\\variants\\no_temperature\\atiadlxx.dll").c_str());
  ASSERT_NE(library_, nullptr);
  EXPECT_EQ(GetProcAddress(library_, "ADL_Overdrive5_Temperature_Get"), nullptr);
  EXPECT_NE(GetProcAddress(library_, "ADL_Main_Control_Create"), nullptr);
}

TEST_F(SimulatedDriver, CallLogLinesNameModuleFunctionThreadArgumentsAndStatus) {
  load(L"atiadlxx.dll", "adapter temps=45000");
  get<AdlCreate>("ADL_Main_Control_Create")(nullptr, 1);
  temperatures(0, 1);
  SetEnvironmentVariableW(L"SIMDRV_SCENARIO", L"adapter;\n\nadaptr");
  get<AdlCreate>("ADL_Main_Control_Create")(nullptr, 1);
  FreeLibrary(library_);
  library_ = nullptr;
  const std::vector<std::string> lines = read_log(log_);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "atiadlxx.dll load pid=" + std::to_string(GetCurrentProcessId()));
  const std::string tid = "tid=" + std::to_string(GetCurrentThreadId());
  EXPECT_EQ(lines[1], "atiadlxx.dll ADL_Main_Control_Create " + tid + " args=0x0,1 status=0");
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("atiadlxx\\.dll ADL_Overdrive5_Temperature_Get " +
                                                    tid + " args=0,0,0x[0-9A-F]+ iSize=8 "
                                                          "out=45000 status=0")))
      << lines[2];
  EXPECT_EQ(lines[3], "atiadlxx.dll scenario error line=4 unknown line: adaptr");
  EXPECT_EQ(lines[5], "atiadlxx.dll unload");
}

TEST_F(SimulatedDriver, DemoScenarioFileGivesTwoDriftingAdapters) {
  SetEnvironmentVariableW(L"SIMDRV_SCENARIO_FILE", (drivers_dir() + L"\\demo.scenario").c_str());
  load(L"atiadlxx.dll", "");
  const std::vector<AdapterInfo> records = adapters(2);
  EXPECT_STREQ(records[0].strAdapterName, "AMD Radeon RX 7900 XTX");
  EXPECT_NE(records[0].iBusNumber, records[1].iBusNumber);
  EXPECT_NE(temperatures(1, 5), temperatures(1, 5));
  for (const std::string& line : read_log(log_))
    EXPECT_EQ(line.find("scenario error"), std::string::npos) << line;
}

TEST_F(SimulatedDriver, HangingCallLogsAndNeverReturnsWhileOthersGoOn) {
  load(L"atiadlxx.dll", "adapter;adapter;hang ADL_Overdrive5_Temperature_Get adapter=0");
  get<AdlCreate>("ADL_Main_Control_Create")(nullptr, 1);
  HANDLE worker = CreateThread(
      nullptr, 0,
      [](void* function) -> DWORD {
        ADLTemperature reading{8, 0};
        return static_cast<DWORD>(reinterpret_cast<AdlTemperatureGet>(function)(0, 0, &reading));
      },
      reinterpret_cast<void*>(get<AdlTemperatureGet>("ADL_Overdrive5_Temperature_Get")), 0,
      nullptr);
  EXPECT_TRUE(wait_until([&] {
    const std::vector<std::string> lines = read_log(log_);
    return !lines.empty() && lines.back().find("status=hang") != std::string::npos;
  }));
  EXPECT_EQ(temperatures(1, 1), (std::vector<int>{50000}));
  EXPECT_EQ(WaitForSingleObject(worker, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateThread(worker, 0);
  CloseHandle(worker);
}

TEST_F(SimulatedDriver, NvapiAnswersGpusThermalsHooksAndFaults) {
  load(L"nvapi.dll",
       "gpu name=\"G0\" temps=50,-5;gpu temps=70;hooks=both;count=200\n"
       "missing NvAPI_Unload;fail NvAPI_GPU_GetThermalSettings=-1 gpu=1");
  const NvQuery query = get<NvQuery>("nvapi_QueryInterface");
  const auto thermal = reinterpret_cast<NvThermal>(query(0xE3640A56));
  ThermalRecord record;
  EXPECT_EQ(thermal(nullptr, 0, &record), -4) << "before NvAPI_Initialize";
  EXPECT_EQ(query(0xD22BDD7E), nullptr);
  ASSERT_EQ(reinterpret_cast<NvStatus>(query(0x0150E828))(), 0);

  void* handles[65] = {};
  unsigned int count = 0;
  ASSERT_EQ(reinterpret_cast<NvEnum>(query(0xE5AC921F))(handles, &count), 0);
  EXPECT_EQ(count, 200u);
  EXPECT_NE(handles[63], nullptr);
  EXPECT_EQ(handles[64], nullptr) << "never more than 64 handles";

  const int expected[] = {50, -5, 50};
  for (int reading : expected) {
    record = ThermalRecord{};
    ASSERT_EQ(thermal(handles[0], 0, &record), 0);
    EXPECT_EQ(record.sensors, 1u);
    EXPECT_EQ(record.sensor[3], reading);
  }
  EXPECT_EQ(thermal(handles[1], 0, &record), -1);
  record = ThermalRecord{};
  record.version = 0x00030044;
  EXPECT_EQ(thermal(handles[0], 0, &record), -9);
  EXPECT_EQ(thermal(handles[0], 1, &record), -9);
  record = ThermalRecord{};
  EXPECT_EQ(thermal(handles[0], 1, &record), -5) << "one sensor only";
  EXPECT_EQ(thermal(reinterpret_cast<void*>(1), 0, &record), -101);

  void* context = nullptr;
  EXPECT_EQ(reinterpret_cast<NvPreHook>(query(0x33C7358C))(0xE3640A56, &context), 0);
  EXPECT_NE(context, nullptr);
  EXPECT_NE(query(0x593E8644), nullptr);
}

TEST_F(SimulatedDriver, IntelRefusesNewerVersionsAndAnswersTelemetrySensorsAndFaults) {
  const std::string devices =
      "intel bus=3 temps=45.5,off,units3:7\n"
      "intel name=\"Intel(R) UHD Graphics\" integrated bus=none sensors=memory:60,gpu:47/48\n"
      "fail ctlPowerTelemetryGet=0x40000027 intel=1\n";
  load(L"ControlLib.dll", devices + "ctl_version=0x00010000");
  ctl_init_args_t init{sizeof(init), 0, CTL_APP_VERSION_1_1, CTL_INIT_FLAG_USE_LEVEL_ZERO, 0, {}};
  ctl_api_handle_t api = nullptr;
  EXPECT_EQ(get<ctlInit_t>("ctlInit")(&init, &api), CTL_RESULT_ERROR_UNSUPPORTED_VERSION);
  init.AppVersion = CTL_APP_VERSION_1_0;
  ASSERT_EQ(get<ctlInit_t>("ctlInit")(&init, &api), 0u);
  EXPECT_EQ(init.SupportedVersion, CTL_APP_VERSION_1_0);

  ctl_device_adapter_handle_t handles[3] = {};
  uint32_t count = 3;
  ASSERT_EQ(get<ctlEnumerateDevices_t>("ctlEnumerateDevices")(api, &count, handles), 0u);
  ASSERT_EQ(count, 2u);

  // The GPU temperature alone is written, at its offset, for each answer in turn.
  const auto telemetry = get<ctlPowerTelemetryGet_t>("ctlPowerTelemetryGet");
  const ctl_oc_telemetry_item_t expected[] = {{true, 5, 9, 45.5}, {}, {true, 3, 9, 7}};
  for (const ctl_oc_telemetry_item_t& answer : expected) {
    ctl_power_telemetry_t record;
    memset(&record, 0x5A, sizeof(record));
    record.Size = sizeof(record);
    record.Version = CTL_POWER_TELEMETRY_VERSION;
    ASSERT_EQ(telemetry(handles[0], &record), 0u);
    const ctl_oc_telemetry_item_t& item = record.gpuCurrentTemperature;
    EXPECT_EQ(std::tuple(item.bSupported, item.units, item.type, item.value),
              std::tuple(answer.bSupported, answer.units, answer.type, answer.value));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    EXPECT_EQ(bytes[offsetof(ctl_power_telemetry_t, gpuCurrentTemperature) - 1], 0x5A);
    EXPECT_EQ(bytes[offsetof(ctl_power_telemetry_t, reserved_128)], 0x5A);
  }
  ctl_power_telemetry_t record{sizeof(record), CTL_POWER_TELEMETRY_VERSION, {}, {}, {}};
  EXPECT_EQ(telemetry(handles[1], &record), CTL_RESULT_ERROR_DEVICE_UNAVAILABLE);

  // The integrated GPU's sensors, its fallback.
  ctl_temp_handle_t sensors[2] = {};
  count = 2;
  ASSERT_EQ(
      get<ctlEnumTemperatureSensors_t>("ctlEnumTemperatureSensors")(handles[1], &count, sensors),
      0u);
  ASSERT_EQ(count, 2u);
  ctl_temp_properties_t sensor{sizeof(sensor), 0, 99, {}};
  ASSERT_EQ(get<ctlTemperatureGetProperties_t>("ctlTemperatureGetProperties")(sensors[1], &sensor),
            0u);
  EXPECT_EQ(sensor.type, CTL_TEMP_SENSORS_GPU);
  std::vector<double> states;
  for (int i = 0; i < 3; ++i) {
    double celsius = 0;
    get<ctlTemperatureGetState_t>("ctlTemperatureGetState")(sensors[1], &celsius);
    states.push_back(celsius);
  }
  EXPECT_EQ(states, (std::vector<double>{47, 48, 47}));

  // An older driver refuses version 2 of the properties and writes nothing past version 0's end.
  SetEnvironmentVariableW(L"SIMDRV_SCENARIO", widen(devices + "ctl_properties=0").c_str());
  ASSERT_EQ(get<ctlInit_t>("ctlInit")(&init, &api), 0u);
  const auto properties_of = get<ctlGetDeviceProperties_t>("ctlGetDeviceProperties");
  ctl_device_adapter_properties_t properties;
  memset(&properties, 0x5A, sizeof(properties));
  properties.Size = sizeof(properties);
  properties.Version = CTL_DEVICE_PROPERTIES_VERSION;
  properties.pDeviceID = nullptr;
  EXPECT_EQ(properties_of(handles[1], &properties), CTL_RESULT_ERROR_UNSUPPORTED_VERSION);
  properties.Version = 0;
  ASSERT_EQ(properties_of(handles[1], &properties), 0u);
  EXPECT_STREQ(properties.name, "Intel(R) UHD Graphics");
  EXPECT_EQ(properties.graphics_adapter_properties & CTL_ADAPTER_PROPERTY_INTEGRATED, 1u);
  EXPECT_EQ(properties.adapter_bdf.bus, 0x5A);

  EXPECT_EQ(get<ctlClose_t>("ctlClose")(api), 0u);
  EXPECT_EQ(get<ctlClose_t>("ctlClose")(api), 0u);
  EXPECT_EQ(get<ctlEnumerateDevices_t>("ctlEnumerateDevices")(api, &count, nullptr), 0x40000001u);

  const std::vector<std::string> log = read_log(log_);
  EXPECT_TRUE(log_has(log, " app=0x00010001 flags=1 status=0x40000009"));
  EXPECT_TRUE(log_has(log, " out=off status=0"));
  EXPECT_TRUE(log_has(log, " out=7 units=3 status=0"));
  const std::vector<std::string> failed = log_lines_with(log, "status=0x40000027");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(log_field(failed[0], "args"), "0x80860020");
  EXPECT_TRUE(log_has(log, " size=320 version=0 name=Intel(R)_UHD_Graphic status=0"));
}

// A driver restart: the Nth reading call, whatever its device, answers the restart's status, as
// does everything of the old generation; re-initialising fails while the driver is away, then
// the new generation lists its GPUs in the new order, without the dropped one.
TEST_F(SimulatedDriver, NvapiRestartInvalidatesHandlesOrTheWholeSession) {
  const std::string gpus = "gpu temps=50;gpu temps=61;gpu temps=72;";
  load(L"nvapi.dll", gpus + "restart at=2 away=500 order=reverse drop=1");
  const NvQuery query = get<NvQuery>("nvapi_QueryInterface");
  const auto initialize = reinterpret_cast<NvStatus>(query(0x0150E828));
  const auto enumerate = reinterpret_cast<NvEnum>(query(0xE5AC921F));
  const auto thermal = reinterpret_cast<NvThermal>(query(0xE3640A56));
  ThermalRecord record;
  void* old[3] = {};
  void* now[3] = {};
  unsigned int count = 0;
  ASSERT_EQ(initialize(), 0);
  ASSERT_EQ(enumerate(old, &count), 0);
  EXPECT_EQ(thermal(old[0], 0, &record), 0);
  EXPECT_EQ(thermal(old[1], 0, &record), -10) << "the restarting call";
  EXPECT_EQ(thermal(old[0], 0, &record), -10);
  EXPECT_EQ(reinterpret_cast<NvStatus>(query(0xD22BDD7E))(), 0);
  EXPECT_EQ(initialize(), -6) << "away";
  EXPECT_TRUE(wait_until([&] { return initialize() == 0; }));
  ASSERT_EQ(enumerate(now, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(now[0], reinterpret_cast<void*>(0x10DE1030));
  EXPECT_EQ(now[1], reinterpret_cast<void*>(0x10DE1010));
  record = ThermalRecord{};
  EXPECT_EQ(thermal(now[0], 0, &record), 0);
  EXPECT_EQ(record.sensor[3], 72);
  EXPECT_EQ(thermal(old[2], 0, &record), -10);
  EXPECT_EQ(log_lines_with(read_log(log_), "nvapi.dll restart at=2").size(), 1u);

  // A driver that is not running loses the session: nothing works before NvAPI_Initialize.
  SetEnvironmentVariableW(L"SIMDRV_SCENARIO", widen(gpus + "restart at=1 status=-156").c_str());
  ASSERT_EQ(initialize(), 0);
  EXPECT_EQ(thermal(old[0], 0, &record), -156);
  EXPECT_EQ(enumerate(now, &count), -156);
  ASSERT_EQ(initialize(), 0);
  ASSERT_EQ(enumerate(now, &count), 0);
  EXPECT_EQ(now[0], reinterpret_cast<void*>(0x10DE1010));
}

TEST_F(SimulatedDriver, AdlRestartRefusesTheOldSessionAndNumbersAdaptersAnew) {
  load(L"atiadlxx.dll", "adapter;adapter temps=41000;adapter edge=60;"
                        "restart at=2 away=500 order=reverse drop=0");
  void* old_context = nullptr;
  void* context = nullptr;
  int count = 0;
  ASSERT_EQ(get<AdlCreate>("ADL_Main_Control_Create")(nullptr, 1), 0);
  ASSERT_EQ(get<Adl2Create>("ADL2_Main_Control_Create")(nullptr, 1, &old_context), 0);
  EXPECT_EQ(temperatures(2, 2), (std::vector<int>{50000, 1000000 - 1}));
  EXPECT_EQ(get<AdlCount>("ADL_Adapter_NumberOfAdapters_Get")(&count), -1);
  const auto create = get<AdlCreate>("ADL_Main_Control_Create");
  EXPECT_EQ(create(nullptr, 1), -1) << "away";
  EXPECT_TRUE(wait_until([&] { return create(nullptr, 1) == 0; }));
  const std::vector<AdapterInfo> records = adapters(2);
  EXPECT_EQ(std::tuple(records[0].iAdapterIndex, records[1].iAdapterIndex), std::tuple(102, 101));
  EXPECT_EQ(temperatures(101, 1), (std::vector<int>{41000}));
  EXPECT_EQ(temperatures(1, 1), (std::vector<int>{1000000 - 5})) << "an index of before";
  ADLPMLogDataOutput log{};
  const auto pm_log = get<Adl2Log>("ADL2_New_QueryPMLogData_Get");
  EXPECT_EQ(pm_log(old_context, 102, &log), -1);
  EXPECT_EQ(get<Adl2Destroy>("ADL2_Main_Control_Destroy")(old_context), 0);
  ASSERT_EQ(get<Adl2Create>("ADL2_Main_Control_Create")(nullptr, 1, &context), 0);
  EXPECT_EQ(pm_log(context, 102, &log), 0);
  EXPECT_EQ(log.sensors[PMLOG_TEMPERATURE_EDGE].value, 60);
}

TEST_F(SimulatedDriver, IntelRestartLosesTheSessionUntilCtlInitSucceedsAgain) {
  load(L"ControlLib.dll", "intel;intel temps=46 sensors=gpu:47;restart at=1 away=500 drop=0");
  ctl_init_args_t init{sizeof(init), 0, CTL_APP_VERSION_1_1, CTL_INIT_FLAG_USE_LEVEL_ZERO, 0, {}};
  ctl_api_handle_t api = nullptr;
  const auto ctl_init = get<ctlInit_t>("ctlInit");
  const auto enumerate = get<ctlEnumerateDevices_t>("ctlEnumerateDevices");
  const auto telemetry = get<ctlPowerTelemetryGet_t>("ctlPowerTelemetryGet");
  ctl_device_adapter_handle_t old[2] = {};
  ctl_device_adapter_handle_t now[2] = {};
  uint32_t count = 2;
  ASSERT_EQ(ctl_init(&init, &api), 0u);
  ASSERT_EQ(enumerate(api, &count, old), 0u);
  ctl_power_telemetry_t record{sizeof(record), CTL_POWER_TELEMETRY_VERSION, {}, {}, {}};
  EXPECT_EQ(telemetry(old[1], &record), 0x40000003u);
  EXPECT_EQ(enumerate(api, &count, now), 0x40000003u);
  EXPECT_EQ(ctl_init(&init, &api), 0x40000007u) << "away";
  EXPECT_TRUE(wait_until([&] { return ctl_init(&init, &api) == 0; }));
  ASSERT_EQ(enumerate(api, &count, now), 0u);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(now[0], reinterpret_cast<ctl_device_adapter_handle_t>(0x80861020));
  EXPECT_EQ(telemetry(old[1], &record), 0x40000003u);
  ASSERT_EQ(telemetry(now[0], &record), 0u);
  EXPECT_EQ(record.gpuCurrentTemperature.value, 46);
  ctl_temp_handle_t sensor = nullptr;
  count = 1;
  ASSERT_EQ(get<ctlEnumTemperatureSensors_t>("ctlEnumTemperatureSensors")(now[0], &count, &sensor),
            0u);
  EXPECT_EQ(sensor, reinterpret_cast<ctl_temp_handle_t>(0x80970110));
  double celsius = 0;
  EXPECT_EQ(get<ctlTemperatureGetState_t>("ctlTemperatureGetState")(sensor, &celsius), 0u);
  EXPECT_EQ(celsius, 47);
}

}  // namespace
