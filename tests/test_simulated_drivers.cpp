// The simulated vendor drivers, loaded in this process: what a scenario makes them answer, and
// the call log that the end-to-end tests read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <tuple>

#include "backends/amd/adl.h"
#include "backends/amd/adlx.h"
#include "backends/intel/ctl.h"
#include "facade/guard.h"
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

// ---- ADLX: objects with tables of methods ----

void WINAPI free_nothing(void**) {}

// Slot `slot` of `object`'s table, called as `Method` with the object first.
template <typename Method, typename... Arguments>
auto invoke(AdlxObject* object, int slot, Arguments... arguments) {
  return adlx_method<Method>(object, slot)(object, arguments...);
}

AdlxObject* gpu_at(AdlxObject* list, uint32_t location) {
  AdlxObject* gpu = nullptr;
  EXPECT_EQ(invoke<AdlxListAt>(list, adlx_slot::ListAt, location, &gpu), ADLX_OK);
  return gpu;
}

AdlxObject* services_of(AdlxObject* system) {
  AdlxObject* services = nullptr;
  EXPECT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetPerformanceMonitoringServices,
                                  &services),
            ADLX_OK);
  return services;
}

// One metric read as the monitor reads it: current metrics, the getter, the release.
std::tuple<ADLX_RESULT, double> metric(AdlxObject* services, AdlxObject* gpu, int slot) {
  AdlxObject* metrics = nullptr;
  const ADLX_RESULT status = invoke<AdlxGpuObject>(
      services, adlx_slot::ServicesGetCurrentGPUMetrics, gpu, &metrics);
  if (status != ADLX_OK) return {status, 0};
  double value = -1;
  const ADLX_RESULT read = invoke<AdlxMetricValue>(metrics, slot, &value);
  EXPECT_EQ(invoke<AdlxAcquireOrRelease>(metrics, adlx_slot::Release), 0);
  return {read, value};
}

std::tuple<bool, bool> support(AdlxObject* services, AdlxObject* gpu) {
  AdlxObject* support = nullptr;
  EXPECT_EQ(invoke<AdlxGpuObject>(services, adlx_slot::ServicesGetSupportedGPUMetrics, gpu,
                                  &support),
            ADLX_OK);
  bool edge = false;
  bool hotspot = false;
  invoke<AdlxIsSupported>(support, adlx_slot::SupportIsSupportedGPUTemperature, &edge);
  invoke<AdlxIsSupported>(support, adlx_slot::SupportIsSupportedGPUHotspotTemperature, &hotspot);
  invoke<AdlxAcquireOrRelease>(support, adlx_slot::Release);
  return {edge, hotspot};
}

TEST_F(SimulatedDriver, AdlxTablesAnswerTheListTheMappingAndTheMetricsOfTheScenario) {
  load(L"amdadlx64.dll",
       "adapter bus=3;adapter bus=3 index=5;adapter bus=7\n"
       "adlx name=\"AMD Radeon(TM) 8060S Graphics\" bus=7 type=integrated deviceid=1586 "
       "temps=48.5,nan hotspot=300.5\n"
       "adlx bus=3 temps=off hotspot=-300\n"
       "adlx bus=9 nomap;adlx_version=1.0");
  uint64_t version = 0;
  ASSERT_EQ(get<ADLXQueryFullVersion_Fn>("ADLXQueryFullVersion")(&version), ADLX_OK);
  EXPECT_EQ(version, ADLX_VERSION_1_0);
  const char* text = nullptr;
  ASSERT_EQ(get<ADLXQueryVersion_Fn>("ADLXQueryVersion")(&text), ADLX_OK);
  EXPECT_STREQ(text, "1.0");
  const auto initialise = get<ADLXInitializeWithCallerAdl_Fn>("ADLXInitializeWithCallerAdl");
  AdlxObject* system = nullptr;
  AdlxObject* mapping = nullptr;
  int context = 0;
  EXPECT_EQ(initialise(adlx_version(1, 4), &system, &mapping, &context, free_nothing),
            ADLX_BAD_VER);
  EXPECT_EQ(initialise(ADLX_VERSION_1_0, &system, &mapping, nullptr, free_nothing),
            ADLX_INVALID_ARGS);
  ASSERT_EQ(initialise(ADLX_VERSION_1_0, &system, &mapping, &context, free_nothing), ADLX_OK);

  AdlxObject* list = nullptr;
  ASSERT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetGPUs, &list), ADLX_OK);
  EXPECT_EQ(invoke<AdlxListCount>(list, adlx_slot::ListSize), 3u);
  AdlxObject* strix = gpu_at(list, 0);
  const char* name = nullptr;
  const char* device_id = nullptr;
  ADLX_GPU_TYPE type = GPUTYPE_UNDEFINED;
  invoke<AdlxGpuText>(strix, adlx_slot::GpuName, &name);
  invoke<AdlxGpuText>(strix, adlx_slot::GpuDeviceId, &device_id);
  invoke<AdlxGpuType>(strix, adlx_slot::GpuType, &type);
  EXPECT_EQ(std::tuple(std::string(name), std::string(device_id), type),
            std::tuple(std::string("AMD Radeon(TM) 8060S Graphics"), std::string("1586"),
                       GPUTYPE_INTEGRATED));
  AdlxObject* beyond = nullptr;
  EXPECT_EQ(invoke<AdlxListAt>(list, adlx_slot::ListAt, 3u, &beyond), ADLX_INVALID_ARGS);

  // The mapping: by any ADL index at the GPU's location, back to its location and first index.
  AdlxObject* discrete = nullptr;
  ASSERT_EQ(invoke<AdlxGpuFromAdapterIndex>(
                mapping, adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex, 5, &discrete),
            ADLX_OK);
  int bus = 0;
  int device = -1;
  int function = -1;
  int index = -1;
  EXPECT_EQ(invoke<AdlxBdfFromGpu>(mapping, adlx_slot::MappingBdfFromADLXGPU, discrete, &bus,
                                   &device, &function),
            ADLX_OK);
  EXPECT_EQ(std::tuple(bus, device, function), std::tuple(3, 0, 0));
  invoke<AdlxAdapterIndexFromGpu>(mapping, adlx_slot::MappingAdlAdapterIndexFromADLXGPU, discrete,
                                  &index);
  EXPECT_EQ(index, 0);
  invoke<AdlxAdapterIndexFromGpu>(mapping, adlx_slot::MappingAdlAdapterIndexFromADLXGPU, strix,
                                  &index);
  EXPECT_EQ(index, 2);
  AdlxObject* unmapped = nullptr;
  EXPECT_EQ(invoke<AdlxGpuFromBdf>(mapping, adlx_slot::MappingGetADLXGPUFromBdf, 9, 0, 0,
                                   &unmapped),
            ADLX_NOT_FOUND);
  EXPECT_EQ(invoke<AdlxGpuFromAdapterIndex>(
                mapping, adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex, 1, &unmapped),
            ADLX_NOT_FOUND);

  // The metrics in turn; an unsupported one still answers 0 °C, with success.
  AdlxObject* services = services_of(system);
  EXPECT_EQ(support(services, strix), std::tuple(true, true));
  EXPECT_EQ(support(services, discrete), std::tuple(false, true));
  EXPECT_EQ(metric(services, strix, adlx_slot::MetricsGPUTemperature),
            std::tuple(ADLX_OK, 48.5));
  EXPECT_TRUE(std::isnan(std::get<1>(metric(services, strix, adlx_slot::MetricsGPUTemperature))));
  EXPECT_EQ(metric(services, strix, adlx_slot::MetricsGPUHotspotTemperature),
            std::tuple(ADLX_OK, 300.5));
  EXPECT_EQ(metric(services, discrete, adlx_slot::MetricsGPUTemperature),
            std::tuple(ADLX_OK, 0.0));
  EXPECT_EQ(metric(services, discrete, adlx_slot::MetricsGPUHotspotTemperature),
            std::tuple(ADLX_OK, -300.0));

  // Unnamed slots and QueryInterface answer nothing.
  using Unnamed = ADLX_RESULT(WINAPI*)(AdlxObject*);
  EXPECT_EQ(adlx_method<Unnamed>(list, 4)(list), ADLX_NOT_SUPPORTED);
  void* extension = &context;
  EXPECT_EQ(invoke<AdlxQueryInterface>(strix, adlx_slot::QueryInterface, L"IADLXGPU1", &extension),
            ADLX_UNKNOWN_INTERFACE);
  EXPECT_EQ(extension, nullptr);

  const std::vector<std::string> log = read_log(log_);
  char given[64];
  snprintf(given, sizeof(given), " context=0x%llX free=0x",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&context)));
  EXPECT_EQ(log_lines_with(log, given).size(), 2u);
  EXPECT_TRUE(log_has(log, " gpu=0 out=48.5 status=0"));
  EXPECT_TRUE(log_has(log, " gpu=0 out=nan status=0"));
  EXPECT_TRUE(log_has(log, " gpu=1 out=0 status=0"));
  EXPECT_TRUE(log_has(log, "amdadlx64.dll slot4 tid="));
  EXPECT_TRUE(log_has(log, " object=gpu iid=IADLXGPU1 gpu=0 status=6"));
  EXPECT_TRUE(log_has(log, " Name tid="));
}

TEST_F(SimulatedDriver, AdlxCountsEveryObjectAndCrashesOnCallsAfterItsEnd) {
  facade_for_tests();
  load(L"amdadlx64.dll", "adlx temps=47");
  const auto initialise = get<ADLXInitialize_Fn>("ADLXInitialize");
  const auto terminate = get<ADLXTerminate_Fn>("ADLXTerminate");
  AdlxObject* system = nullptr;
  AdlxObject* again = nullptr;
  ASSERT_EQ(initialise(ADLX_VERSION_1_0, &system), ADLX_OK);
  EXPECT_EQ(initialise(ADLX_VERSION_1_0, &again), ADLX_ALREADY_INITIALIZED);
  EXPECT_EQ(again, system);

  AdlxObject* list = nullptr;
  ASSERT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetGPUs, &list), ADLX_OK);
  AdlxObject* gpu = gpu_at(list, 0);
  EXPECT_EQ(invoke<AdlxAcquireOrRelease>(gpu, adlx_slot::Acquire), 2);
  EXPECT_EQ(invoke<AdlxAcquireOrRelease>(gpu, adlx_slot::Release), 1);
  AdlxObject* services = services_of(system);
  AdlxObject* metrics = nullptr;
  ASSERT_EQ(invoke<AdlxGpuObject>(services, adlx_slot::ServicesGetCurrentGPUMetrics, gpu, &metrics),
            ADLX_OK);
  EXPECT_EQ(invoke<AdlxAcquireOrRelease>(metrics, adlx_slot::Release), 0);

  // A call on the freed metrics, then one on the system after terminate: each logged, then an
  // access violation, which the guard takes here.
  ADLX_RESULT status = -1;
  double value = 0;
  EXPECT_FALSE(guarded_call(reinterpret_cast<HMODULE>(0xAD1000), status,
                            adlx_method<AdlxMetricValue>(metrics, adlx_slot::MetricsGPUTemperature),
                            metrics, &value));
  EXPECT_EQ(terminate(), ADLX_ORPHAN_OBJECTS);  // the list, the GPU and the services
  AdlxObject* late = nullptr;
  EXPECT_FALSE(guarded_call(reinterpret_cast<HMODULE>(0xAD2000), status,
                            adlx_method<AdlxGetObject>(system, adlx_slot::SystemGetGPUs), system,
                            &late));
  EXPECT_EQ(status, -1);

  // A new initialise starts anew.
  ASSERT_EQ(initialise(ADLX_VERSION_1_0, &system), ADLX_OK);
  ASSERT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetGPUs, &list), ADLX_OK);
  EXPECT_EQ(invoke<AdlxAcquireOrRelease>(list, adlx_slot::Release), 0);
  EXPECT_EQ(terminate(), ADLX_OK);

  const std::vector<std::string> log = read_log(log_);
  EXPECT_EQ(log_lines_with(log, " GPUTemperature ").size(), 1u);
  EXPECT_TRUE(log_has(log, " GPUTemperature tid="));
  EXPECT_TRUE(log_has(log, " gpu=0 status=use-after-free"));
  EXPECT_TRUE(log_has(log, " GetGPUs tid="));
  EXPECT_EQ(log_lines_with(log, "status=after-terminate").size(), 1u);
  EXPECT_EQ(log_lines_with(log, " held=").size(), 2u);
  EXPECT_TRUE(log_has(log, "ADLXTerminate tid=" + std::to_string(GetCurrentThreadId()) +
                               " args= held=3 status=11"));
  EXPECT_TRUE(log_has(log, " held=0 status=0"));
  EXPECT_TRUE(log_has(log, " object=metrics gpu=0 count=0 status=0"));
}

// After the restart, objects of before answer INVALID_OBJECT (Release still works), initialise
// fails while the driver is away, and the new generation lists the GPUs in its new order.
TEST_F(SimulatedDriver, AdlxRestartInvalidatesTheObjectsOfBefore) {
  load(L"amdadlx64.dll",
       "adapter bus=1;adapter bus=2\nadlx temps=50;adlx temps=61\n"
       "restart at=2 away=500 order=reverse drop=0 in=amdadlx64.dll");
  const auto initialise = get<ADLXInitializeWithCallerAdl_Fn>("ADLXInitializeWithCallerAdl");
  int context = 0;
  AdlxObject* system = nullptr;
  AdlxObject* mapping = nullptr;
  ASSERT_EQ(initialise(ADLX_VERSION_1_0, &system, &mapping, &context, free_nothing), ADLX_OK);
  AdlxObject* list = nullptr;
  ASSERT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetGPUs, &list), ADLX_OK);
  AdlxObject* old = gpu_at(list, 1);
  AdlxObject* services = services_of(system);
  EXPECT_EQ(std::get<0>(metric(services, old, adlx_slot::MetricsGPUTemperature)), ADLX_OK);
  EXPECT_EQ(std::get<0>(metric(services, old, adlx_slot::MetricsGPUTemperature)),
            ADLX_INVALID_OBJECT)
      << "the restarting call";
  AdlxObject* after = nullptr;
  EXPECT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetGPUs, &after), ADLX_INVALID_OBJECT);
  EXPECT_EQ(invoke<AdlxGpuFromAdapterIndex>(
                mapping, adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex, 1, &after),
            ADLX_INVALID_OBJECT);
  EXPECT_EQ(invoke<AdlxAcquireOrRelease>(old, adlx_slot::Release), 0);
  EXPECT_EQ(get<ADLXTerminate_Fn>("ADLXTerminate")(), ADLX_ORPHAN_OBJECTS);
  EXPECT_EQ(initialise(ADLX_VERSION_1_0, &system, &mapping, &context, free_nothing),
            ADLX_ADL_INIT_ERROR)
      << "away";
  EXPECT_TRUE(wait_until([&] {
    return initialise(ADLX_VERSION_1_0, &system, &mapping, &context, free_nothing) == ADLX_OK;
  }));
  ASSERT_EQ(invoke<AdlxGetObject>(system, adlx_slot::SystemGetGPUs, &list), ADLX_OK);
  EXPECT_EQ(invoke<AdlxListCount>(list, adlx_slot::ListSize), 1u);
  EXPECT_EQ(metric(services_of(system), gpu_at(list, 0), adlx_slot::MetricsGPUTemperature),
            std::tuple(ADLX_OK, 61.0));
  EXPECT_EQ(invoke<AdlxGpuFromAdapterIndex>(
                mapping, adlx_slot::MappingGetADLXGPUFromAdlAdapterIndex, 0, &after),
            ADLX_NOT_FOUND)
      << "dropped";
  EXPECT_EQ(log_lines_with(read_log(log_), "amdadlx64.dll restart at=2").size(), 1u);
}

}  // namespace
