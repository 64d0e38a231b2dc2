// Whatever a driver answers, the user gets a clear message or a kept label, never a crash, a
// hang or a wrong reading: one table over both vendors, each row a run of the real program. And
// whatever a driver does, faults and calls that do not return included, the window stays, tells
// no stale number and closes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "tests/support/harness.h"

namespace {

const std::wstring PleaseWait = L"Please wait";

struct BadDriver {
  const char* what;
  std::vector<std::wstring> drivers;
  std::string scenario;
  std::vector<std::wstring> boxes;  // expected in this order; each is answered with OK
  int rows;
  std::wstring title0;  // frame 0's title; empty: not checked
  std::wstring label0;  // what label 0 shows; PleaseWait: it must keep it; empty: not checked
  bool hangs = false;   // a driver call never returns: close once it hangs
};

const std::string TwoAdapters =
    "adapter name=\"A\" bus=1 temps=40000\nadapter name=\"B\" bus=2 temps=41000\n";
const std::string TwoGpus = "gpu name=\"A\" temps=40\ngpu name=\"B\" temps=41\n";
const std::wstring Forty = L"40\u00b0C  (104 \u00b0F)";
const std::wstring Fifty = L"50\u00b0C  (122 \u00b0F)";

std::wstring repeated(const std::wstring& text, size_t length) {
  std::wstring result;
  while (result.size() < length) result += text;
  result.resize(length);
  return result;
}

const std::vector<std::wstring> Adl = {L"atiadlxx.dll"};
const std::vector<std::wstring> Nvapi = {L"nvapi64.dll"};
const std::wstring CountBox = L"Unable to get the number of adapters";
const std::wstring InfoBox = L"Unable to get adapter's info";
const std::wstring InitBox = L"Unable to Initialize NVAPI.";
const std::wstring EnumBox = L"Unable to take number of physical gpus.";

const BadDriver Cases[] = {
    // ADL exports that are missing: a failed call, never a success.
    {"no ADL_Main_Control_Create", {L"variants\\no_create\\atiadlxx.dll"},
     TwoAdapters + "init=lenient\n", {L"Unable to Create Main Control"}, 2, {}, Forty},
    {"no ADL_Adapter_NumberOfAdapters_Get", {L"variants\\no_count\\atiadlxx.dll"}, TwoAdapters,
     {CountBox, InfoBox}, 0, {}, {}},
    {"no ADL_Adapter_AdapterInfo_Get", {L"variants\\no_adapterinfo\\atiadlxx.dll"}, TwoAdapters,
     {InfoBox}, 2, L"GPU # 0   -   ", {}},
    {"no ADL_Overdrive5_Temperature_Get", {L"variants\\no_temperature\\atiadlxx.dll"},
     TwoAdapters, {}, 2, L"GPU # 0   -   A", PleaseWait},
    // ADL calls that fail.
    {"ADL create fails", Adl, TwoAdapters + "fail ADL_Main_Control_Create=-1\ninit=lenient\n",
     {L"Unable to Create Main Control"}, 2, {}, Forty},
    {"ADL information fails", Adl, TwoAdapters + "fail ADL_Adapter_AdapterInfo_Get=-1\n",
     {InfoBox}, 2, L"GPU # 0   -   ", {}},
    {"ADL temperatures fail", Adl, TwoAdapters + "fail ADL_Overdrive5_Temperature_Get=-3\n", {},
     2, {}, PleaseWait},
    // ADL counts.
    {"ADL count 0", Adl, "count=0\n", {CountBox, InfoBox}, 0, {}, {}},
    {"ADL count -1", Adl, "count=-1\n", {CountBox, InfoBox}, 0, {}, {}},
    {"ADL count 65", Adl, "count=65\n", {}, 65, L"GPU # 0   -   Simulated Adapter 0", Fifty},
    {"ADL count 200", Adl, "count=200\n", {}, 200, {}, Fifty},
    // ADL texts and readings.
    {"ADL name without a zero", Adl, "adapter name=\"Endless\" noterm temps=40000\n", {}, 1,
     L"GPU # 0   -   " + repeated(L"Endless", 256), Forty},
    {"ADL most negative reading", Adl, "adapter temps=min32\n", {}, 1, {}, PleaseWait},
    {"ADL reading never returns", Adl, TwoAdapters + "hang ADL_Overdrive5_Temperature_Get from=2\n",
     {}, 2, {}, {}, true},
    // A fault during set-up fails that call, and every later one: the library is not called again.
    {"ADL create crashes", Adl, TwoAdapters + "crash ADL_Main_Control_Create\n",
     {L"Unable to Create Main Control", CountBox, InfoBox}, 0, {}, {}},
    {"NVAPI initialise crashes", Nvapi, TwoGpus + "crash NvAPI_Initialize\n", {InitBox}, 0, {}, {}},
    // A driver that probes memory catches the access violation itself and reads on.
    {"ADL reading probes memory", Adl, TwoAdapters + "probe ADL_Overdrive5_Temperature_Get\n", {},
     2, {}, Forty},
    // NVAPI functions that are missing.
    {"no nvapi_QueryInterface", {L"variants\\no_query\\nvapi64.dll"}, TwoGpus, {InitBox}, 0, {}, {}},
    {"no NvAPI_Initialize", Nvapi, TwoGpus + "missing NvAPI_Initialize\n", {InitBox}, 0, {}, {}},
    {"no NvAPI_EnumPhysicalGPUs", Nvapi, TwoGpus + "missing NvAPI_EnumPhysicalGPUs\n", {EnumBox}, 0,
     {}, {}},
    {"no NvAPI_GPU_GetFullName", Nvapi, TwoGpus + "missing NvAPI_GPU_GetFullName\n", {}, 2,
     L"GPU # 0   -    ", Forty},
    {"no NvAPI_GPU_GetThermalSettings", Nvapi, TwoGpus + "missing NvAPI_GPU_GetThermalSettings\n",
     {L"Unable to get thermal settings"}, 2, L"GPU # 0   -   A", PleaseWait},
    // NVAPI calls that fail.
    {"NVAPI initialise fails", Nvapi, TwoGpus + "fail NvAPI_Initialize=-1\n", {InitBox}, 0, {}, {}},
    {"NVAPI enumeration fails", Nvapi, TwoGpus + "fail NvAPI_EnumPhysicalGPUs=-1\n", {EnumBox}, 0,
     {}, {}},
    // NVAPI counts: more than its 64 physical GPUs is not trusted.
    {"NVAPI count 0", Nvapi, "count=0\n", {}, 0, {}, {}},
    {"NVAPI count -1", Nvapi, "count=-1\n", {}, 0, {}, {}},
    {"NVAPI count 65", Nvapi, "count=65\n", {}, 64, L"GPU # 0   -   Simulated GPU 0", Fifty},
    {"NVAPI count 200", Nvapi, "count=200\n", {}, 64, {}, Fifty},
    // NVAPI texts and readings.
    {"NVAPI name without a zero", Nvapi, "gpu name=\"Endless\" noterm temps=40\n", {}, 1,
     L"GPU # 0   -   " + repeated(L"Endless", 64), Forty},
    {"NVAPI most negative reading", Nvapi, "gpu temps=min32\n", {}, 1, {},
     L"-2147483648\u00b0C  (-3865470534 \u00b0F)"},
    {"NVAPI reading never returns", Nvapi,
     TwoGpus + "hang NvAPI_GPU_GetThermalSettings from=2\n", {}, 2, {}, {}, true},
};

void check_label0(const Monitor& monitor, const BadDriver& bad) {
  if (bad.label0.empty()) return;
  if (bad.label0 != PleaseWait) {
    EXPECT_TRUE(wait_for_label(monitor.window, 0, bad.label0))
        << "reads " << narrow(window_text(row_label(monitor.window, 0)));
    return;
  }
  const auto waits = [&] { return window_text(row_label(monitor.window, 0)) == PleaseWait; };
  if (bad.drivers[0].find(L"atiadlxx") != std::wstring::npos) {
    // Two passes would have written a reading: the label keeps "Please wait" until the log shows
    // the third begin. Every pass asks ADL2's performance log for adapter 0.
    EXPECT_TRUE(holds_through_passes(
        monitor.program, waits,
        [](const std::vector<std::string>& log) {
          size_t count = 0;
          for (const std::string& line : log_lines_with(log, "ADL2_New_QueryPMLogData_Get tid="))
            count += line.find(",0,0x") != std::string::npos;
          return count;
        },
        3))
        << "reads " << narrow(window_text(row_label(monitor.window, 0)));
    return;
  }
  // A box ended the readings, so no pass shows in the log: passes come once a second, and two
  // would have written a reading by now.
  EXPECT_FALSE(happens_within([&] { return !waits(); }, 2500));
}

}  // namespace

TEST(BadDrivers, ClearMessagesOrKeptLabelsNeverACrashOrAHang) {
  for (const BadDriver& bad : Cases) {
    SCOPED_TRACE(bad.what);
    Program program = run_program(L"bad", bad.drivers, bad.scenario);
    const bool worker_box = bad.boxes.size() == 1 && bad.boxes[0] == L"Unable to get thermal settings";
    if (!worker_box) {
      EXPECT_EQ(answer_error_boxes(program, bad.boxes.size()), bad.boxes);
    }
    Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
    ASSERT_NE(monitor.window, nullptr);
    if (worker_box) {
      EXPECT_EQ(answer_error_boxes(program, 1), bad.boxes);
    }
    EXPECT_EQ(row_count(monitor.window), bad.rows);
    if (!bad.title0.empty()) {
      EXPECT_EQ(window_text(row_frame(monitor.window, 0)), bad.title0);
    }
    check_label0(monitor, bad);
    if (bad.hangs) {
      EXPECT_TRUE(wait_until([&] { return log_has(read_log(program.log_path), "status=hang"); }));
    }
    close_monitor(monitor);
  }
}

// ---- faults and calls that do not return ----

namespace {

const std::wstring NoReading = L"No reading";
const std::wstring FortyOne = L"41\u00b0C  (106 \u00b0F)";

struct DriverFault {
  const char* what;
  std::vector<std::wstring> drivers;
  bool system_control_library;  // Intel's, in the system folder
  std::string scenario;         // two rows reading 40 and 41; row 0's third reading faults
  std::string library;          // as the log names it
};

const DriverFault Faults[] = {
    {"ADL Overdrive5", Adl, false,
     TwoAdapters + "crash ADL_Overdrive5_Temperature_Get adapter=0 from=3\n", "atiadlxx.dll"},
    {"ADL2 performance log", Adl, false,
     "adapter name=\"A\" bus=1 edge=40\nadapter name=\"B\" bus=2 edge=41\n"
     "fail ADL_Overdrive5_Temperature_Get=-8\ncrash ADL2_New_QueryPMLogData_Get adapter=0 from=3\n",
     "atiadlxx.dll"},
    {"NVAPI", Nvapi, false, TwoGpus + "crash NvAPI_GPU_GetThermalSettings gpu=0 from=3\n",
     "nvapi64.dll"},
    {"Intel", {}, true,
     "intel name=\"A\" temps=40\nintel name=\"B\" temps=41\n"
     "crash ctlPowerTelemetryGet intel=0 from=3\n",
     "ControlLib.dll"},
};

// Waits until the driver's log holds a line with `fragment`.
bool log_comes_to(const Monitor& monitor, const char* fragment) {
  return wait_until([&] { return log_has(read_log(monitor.program.log_path), fragment); });
}

// The moment of a row's last reading, on both clocks.
struct LastReading {
  ULONGLONG wall_ms = GetTickCount64();
  ShareClock clock = share_clock_start();
};

// Waits for row `row` to say "No reading": it must, no sooner than 8 s after its last reading
// (wall clock: the program's own ten seconds) and no later than 12.5 s (share time).
::testing::AssertionResult no_reading_after_ten_seconds(const Monitor& monitor, int row,
                                                        LastReading& last) {
  const bool shown = wait_until([&] {
    share_clock_ms(last.clock);
    return window_text(row_label(monitor.window, row)) == NoReading;
  }, 15000);
  const ULONGLONG wall_ms = GetTickCount64() - last.wall_ms;
  const double share_ms = share_clock_ms(last.clock);
  if (shown && wall_ms >= 8000 && share_ms <= 12500) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << (shown ? "" : "not yet ") << "\"No reading\" " << wall_ms << " ms (" << share_ms
         << " ms of share time) after the last reading";
}

}  // namespace

TEST(DriverFaults, AFaultEndsTheReadingsButNeitherTheWindowNorACleanExit) {
  for (const DriverFault& fault : Faults) {
    SCOPED_TRACE(fault.what);
    std::unique_ptr<SystemDriver> control_library;
    if (fault.system_control_library)
      control_library = std::make_unique<SystemDriver>(L"ControlLib.dll");
    Monitor monitor = start_monitor(L"fault", fault.drivers, fault.scenario);
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_TRUE(wait_for_label(monitor.window, 0, Forty));
    EXPECT_TRUE(wait_for_label(monitor.window, 1, FortyOne));
    EXPECT_TRUE(log_comes_to(monitor, "status=crash"));
    EXPECT_TRUE(wait_for_label(monitor.window, 0, NoReading));
    EXPECT_TRUE(wait_for_label(monitor.window, 1, NoReading));
    // No box, and the window stays: passes would have come twice by now.
    EXPECT_FALSE(happens_within(
        [&] { return wait_for_error_box(monitor.program, 0) || !IsWindow(monitor.window); },
        2000));
    close_monitor(monitor);
    // Nothing after the fault: no call, not even at the close, and no unload.
    const std::vector<std::string> log = read_log(monitor.program.log_path);
    const auto crash = std::find_if(log.begin(), log.end(), [](const std::string& line) {
      return line.find("status=crash") != std::string::npos;
    });
    ASSERT_NE(crash, log.end());
    EXPECT_EQ(std::count_if(crash + 1, log.end(), [&](const std::string& line) {
                return line.rfind(fault.library, 0) == 0;
              }), 0) << log.back();
  }
}

TEST(DriverFaults, ACallThatDoesNotReturnLeavesNoNumberOnScreen) {
  // Adapter 0's third reading takes 15 s; adapter 1's fifth never comes back.
  Monitor monitor = start_monitor(
      L"stuck", Adl,
      TwoAdapters + "sleep ADL_Overdrive5_Temperature_Get=15000 adapter=0 from=3\n"
                    "hang ADL_Overdrive5_Temperature_Get adapter=1 from=5\n");
  ASSERT_NE(monitor.window, nullptr);
  const auto readings = [&] {
    return log_lines_with(read_log(monitor.program.log_path), "ADL_Overdrive5_Temperature_Get")
        .size();
  };
  // The last reading before the slow call is adapter 1's fourth call.
  ASSERT_TRUE(wait_until([&] { return readings() >= 4; }));
  LastReading last_reading;
  EXPECT_EQ(window_text(row_label(monitor.window, 0)), Forty);
  EXPECT_TRUE(no_reading_after_ten_seconds(monitor, 0, last_reading));
  // Row 1's reading was written just after row 0's: it goes at the same look, or the next.
  EXPECT_TRUE(wait_for_label(monitor.window, 1, NoReading, 1500));
  // The slow call answers: its reading shows at once, and the cycle goes on.
  EXPECT_TRUE(wait_for_label(monitor.window, 0, Forty, 8000));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, FortyOne, 3000));
  ASSERT_TRUE(log_comes_to(monitor, "status=hang"));
  last_reading = LastReading();
  EXPECT_TRUE(no_reading_after_ten_seconds(monitor, 0, last_reading));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, NoReading, 1500));
  close_monitor(monitor);
}

TEST(DriverFaults, AWorkerCutOffInsideTheDriverEndsTheProgramWithoutUnloadingIt) {
  // The stuck call holds a lock of the library that its detach routine also takes.
  Monitor monitor =
      start_monitor(L"locked", Adl,
                    TwoAdapters + "hang ADL_Overdrive5_Temperature_Get adapter=1 from=2 locked\n");
  ASSERT_NE(monitor.window, nullptr);
  ASSERT_TRUE(log_comes_to(monitor, "status=hang"));
  close_monitor(monitor);
  const std::vector<std::string> log = read_log(monitor.program.log_path);
  EXPECT_FALSE(log_has(log, "ADL_Main_Control_Destroy"));
  EXPECT_FALSE(log_has(log, "unload"));
}
