// Intel Arc GPUs, read through Intel's control library where neither vendor library is found,
// end to end against the simulated ControlLib.dll in the Wine prefix's system folder; and every
// machine where the Intel path yields nothing ends as it always has.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

constexpr DWORD ExitDeadlineMs = 2000;
const std::wstring PleaseWait = L"Please wait";
const std::wstring PoweredDown = L"Powered down";

std::wstring reading(int celsius) {
  return std::to_wstring(celsius) + L"\u00b0C  (" +
         std::to_wstring(static_cast<int>(celsius * 1.8 + 32.5)) + L" \u00b0F)";
}

// The handle the simulated library gives device `position`, or sensor `sensor` of it.
std::string handle(int position, int sensor = -1) {
  char text[16];
  const unsigned value = sensor < 0 ? 0x80860010u + 0x10u * position
                                    : 0x80870000u + 0x100u * position + 0x10u * (sensor + 1);
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

// The library's calls of `function` whose first argument is `handle`.
std::vector<std::string> calls_with(const std::vector<std::string>& log, const char* function,
                                    const std::string& first_argument) {
  std::vector<std::string> lines;
  for (const std::string& line : log_lines_with(log, std::string(" ") + function + " tid="))
    if (log_field(line, "args") == first_argument) lines.push_back(line);
  return lines;
}

std::vector<std::wstring> labels(HWND window, int rows) {
  std::vector<std::wstring> texts;
  for (int row = 0; row < rows; ++row) texts.push_back(window_text(row_label(window, row)));
  return texts;
}

// The box that says no library serves, then the end with exit code 0.
void expect_no_library(Program& program) {
  EXPECT_EQ(answer_error_boxes(program, 1),
            std::vector<std::wstring>{L"Unable to load API library"});
  EXPECT_EQ(wait_for_window(program, L"GPU Temperature", 0), nullptr);
  DWORD code = 1;
  EXPECT_TRUE(wait_exit(program, ExitDeadlineMs, &code));
  EXPECT_EQ(code, 0u);
  cleanup(program);
}

}  // namespace

TEST(Intel, ArcCardsAreRowsAndOtherDevicesAreNot) {
  SystemDriver library(L"ControlLib.dll");
  Monitor monitor = start_monitor(
      L"intel", {},
      "intel name=\"Intel(R) Arc(TM) A770 Graphics\" bus=3 temps=45.7,46.2\n"
      "intel name=\"Intel(R) UHD Graphics 770\" integrated bus=0 temps=40\n"
      "intel name=\"Some Radeon\" vendor=0x1002 bus=5\n"
      "intel name=\"Intel media engine\" type=2 bus=6\n"
      "intel name=\"Intel(R) Arc(TM) B580 Graphics \" noterm bus=4 temps=52\n");
  ASSERT_NE(monitor.window, nullptr);
  std::wstring endless;
  while (endless.size() < 100) endless += L"Intel(R) Arc(TM) B580 Graphics ";
  endless.resize(100);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{L"GPU # 0   -   Intel(R) Arc(TM) A770 Graphics",
                                       L"GPU # 1   -   " + endless}));
  EXPECT_EQ(client_size(monitor.window).cy, 2 * 61);
  for (int row = 0; row < 2; ++row) {
    EXPECT_TRUE(rect_is(rect_in_parent(row_frame(monitor.window, row)), 14, 55 * row + 8, 253, 50));
    EXPECT_TRUE(
        rect_is(rect_in_parent(row_label(monitor.window, row)), 15, 55 * row + 20, 250, 35));
  }
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(45))) << "whole degrees, truncated";
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(52)));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(46)));
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  const auto inits = log_lines_with(log, " ctlInit tid=");
  ASSERT_EQ(inits.size(), 1u);
  for (const char* detail :
       {" size=36 ", " version=0 ", " app=0x00010001 ", " flags=1 ", " status=0"})
    EXPECT_NE(inits[0].find(detail), std::string::npos) << detail;
  for (int position = 1; position <= 3; ++position)
    EXPECT_TRUE(calls_with(log, "ctlPowerTelemetryGet", handle(position)).empty()) << position;
  EXPECT_GE(calls_with(log, "ctlPowerTelemetryGet", handle(4)).size(), 2u);
  const auto closes = log_lines_with(log, " ctlClose tid=");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(log_field(closes[0], "args"), "0xC7100001");
  EXPECT_EQ(log.back(), "ControlLib.dll unload");
  EXPECT_EQ(log[log.size() - 2], closes[0]) << "the session closed last";
}

TEST(Intel, WithoutAnArcGpuToReadTheProgramEndsAsBefore) {
  const std::string arc = "intel bus=3\n";
  enum Where { System, BesideProgram, WorkingDirectory };
  const struct {
    const char* what;
    Where where;
    const wchar_t* library;
    std::string scenario;
    size_t closes;  // ctlClose calls expected
  } cases[] = {
      {"only integrated graphics", System, L"ControlLib.dll", "intel integrated\n", 1},
      {"ctlInit failing", System, L"ControlLib.dll", arc + "fail ctlInit=0x40000001\n", 0},
      {"no device", System, L"ControlLib.dll", "", 1},
      {"listing failing", System, L"ControlLib.dll",
       arc + "fail ctlEnumerateDevices=0x40000001 from=2\n", 1},
      {"properties failing", System, L"ControlLib.dll",
       arc + "fail ctlGetDeviceProperties=0x40000001\n", 1},
      {"no telemetry export", System, L"variants\\no_telemetry\\ControlLib.dll", arc, 0},
      {"beside the program only", BesideProgram, L"ControlLib.dll", arc, 0},
      {"in the working directory only", WorkingDirectory, L"ControlLib.dll", arc, 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    std::unique_ptr<SystemDriver> library;
    if (test.where == System) library = std::make_unique<SystemDriver>(test.library);
    const Staged staged = stage(L"intel-none", {});
    if (test.where == BesideProgram) {
      ASSERT_TRUE(CopyFileW((drivers_dir() + L"\\" + test.library).c_str(),
                            (staged.dir + L"\\ControlLib.dll").c_str(), FALSE));
    }
    std::wstring working;
    if (test.where == WorkingDirectory) {
      working = fresh_dir(L"intel-cwd");
      ASSERT_TRUE(CopyFileW((drivers_dir() + L"\\" + test.library).c_str(),
                            (working + L"\\ControlLib.dll").c_str(), FALSE));
    }
    Program program = start_program(staged, test.scenario, working);
    expect_no_library(program);
    const auto log = read_log(program.log_path);
    EXPECT_EQ(log_has(log, "ControlLib.dll load"), test.where == System);
    EXPECT_EQ(log_lines_with(log, " ctlClose tid=").size(), test.closes);
    EXPECT_FALSE(log_has(log, "ctlPowerTelemetryGet"));
  }
}

TEST(Intel, AVendorDriverPresentKeepsTheLibraryUnloaded) {
  SystemDriver library(L"ControlLib.dll");
  for (const wchar_t* driver : {L"atiadlxx.dll", L"nvapi64.dll"}) {
    Monitor monitor = start_monitor(L"intel-vendor", {driver}, "adapter\ngpu\nintel\n");
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(50)));
    close_monitor(monitor);
    EXPECT_FALSE(log_has(read_log(monitor.program.log_path), "ControlLib.dll")) << narrow(driver);
  }
}

TEST(Intel, OlderDriversAreAskedInTheVersionsTheyKnow) {
  SystemDriver library(L"ControlLib.dll");
  Monitor monitor = start_monitor(L"intel-older", {},
                                  "intel temps=50\nctl_version=0x00010000 ctl_properties=0\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(50)));
  close_monitor(monitor);
  // Each call's tries, in order, as the version asked for and the status answered.
  const auto tries = [&](const char* function, const std::string& version_key) {
    std::vector<std::string> seen;
    for (const std::string& line : log_lines_with(read_log(monitor.program.log_path), function))
      seen.push_back(log_field(line, version_key) + " " + log_field(line, "status"));
    return seen;
  };
  EXPECT_EQ(tries(" ctlInit tid=", "app"),
            (std::vector<std::string>{"0x00010001 0x40000009", "0x00010000 0"}));
  EXPECT_EQ(tries(" ctlGetDeviceProperties tid=", "version"),
            (std::vector<std::string>{"2 0x40000009", "0 0"}));
}

// Each row one kind of answer. Rows 0 to 4 and 7 never give a reading; 5 and 6 read their
// sensors (6 the first of its two global ones); 8 is unavailable and 9 powered down.
TEST(Intel, OnlyCelsiusReadingsFromOneTo255AndSensorsWhereTheTelemetryHasNone) {
  SystemDriver library(L"ControlLib.dll");
  SystemPlugAndPlay layer;
  Monitor monitor =
      start_monitor(L"intel-readings", {},
                    "intel temps=0\nintel temps=off\nintel temps=units4:45\nintel temps=type4:45\n"
                    "intel temps=300,0.5\n"
                    "intel temps=off sensors=memory:70,global:40,gpu:48\n"
                    "intel temps=0 sensors=memory:70,global:41,global:39\n"
                    "intel temps=off sensors=memory:70\n"
                    "intel sensors=gpu:60\nfail ctlPowerTelemetryGet=0x40000027 intel=8\n"
                    "intel bus=20 temps=55\ndisplay bus=20 power=D3\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 5, reading(48)));
  EXPECT_TRUE(wait_for_label(monitor.window, 6, reading(41)));
  EXPECT_TRUE(wait_until([&] {
    return calls_with(read_log(monitor.program.log_path), "ctlPowerTelemetryGet", handle(7))
               .size() >= 3;
  }));
  const auto shown = labels(monitor.window, 10);
  close_monitor(monitor);
  EXPECT_EQ(shown, (std::vector<std::wstring>{PleaseWait, PleaseWait, PleaseWait, PleaseWait,
                                              PleaseWait, reading(48), reading(41), PleaseWait,
                                              PoweredDown, PoweredDown}));

  const auto log = read_log(monitor.program.log_path);
  EXPECT_EQ(calls_with(log, "ctlEnumTemperatureSensors", handle(5)).size(), 2u)
      << "the sensors are listed once for the run";
  for (const std::string& line : log_lines_with(log, " ctlTemperatureGetState tid=")) {
    const std::string sensor = log_field(line, "args");
    EXPECT_TRUE(sensor == handle(5, 2) || sensor == handle(6, 1)) << "the GPU or global sensor";
  }
  EXPECT_TRUE(calls_with(log, "ctlEnumTemperatureSensors", handle(8)).empty())
      << "nothing more for an unavailable GPU";
  EXPECT_TRUE(calls_with(log, "ctlPowerTelemetryGet", handle(9)).empty())
      << "a powered-down GPU is not asked";
}

// A double the driver answers can be a NaN, which no bound holds: it is no reading, neither from
// the telemetry (rows 0 and 2) nor from a sensor (rows 1 and 3), and where the row read before,
// the reading stays. Rows 2 and 3 answer a NaN every other pass.
TEST(Intel, AValueThatIsNotANumberIsNoReading) {
  SystemDriver library(L"ControlLib.dll");
  Monitor monitor = start_monitor(L"intel-nan", {},
                                  "intel temps=nan\nintel temps=off sensors=gpu:nan\n"
                                  "intel temps=45,nan\nintel temps=off sensors=gpu:47/nan\n");
  ASSERT_NE(monitor.window, nullptr);
  const PassLabels shown = labels_by_pass(
      monitor, 4,
      [](const std::vector<std::string>& log) {
        return calls_with(log, "ctlPowerTelemetryGet", handle(0)).size();
      },
      4);
  close_monitor(monitor);
  for (size_t pass = 1; pass <= shown.size(); ++pass)
    EXPECT_EQ(shown[pass - 1],
              (std::vector<std::wstring>{PleaseWait, PleaseWait, reading(45), reading(47)}))
        << "pass " << pass;
  // The NaNs were answered, so the rows above are the monitor's doing.
  const auto log = read_log(monitor.program.log_path);
  const auto answered_nan = [](const std::vector<std::string>& lines) {
    size_t count = 0;
    for (const std::string& line : lines) count += log_field(line, "out") == "nan";
    return count;
  };
  EXPECT_GE(answered_nan(calls_with(log, "ctlPowerTelemetryGet", handle(2))), 2u);
  EXPECT_GE(answered_nan(calls_with(log, "ctlTemperatureGetState", handle(3, 0))), 2u);
}

TEST(Intel, AHungTelemetryCallDoesNotHoldTheExit) {
  SystemDriver library(L"ControlLib.dll");
  Monitor monitor = start_monitor(L"intel-hang", {}, "intel\nhang ctlPowerTelemetryGet from=2\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(
      wait_until([&] { return log_has(read_log(monitor.program.log_path), "status=hang"); }));
  close_monitor(monitor);
  EXPECT_FALSE(log_has(read_log(monitor.program.log_path), "ctlClose"))
      << "no call into the library after the worker was cut off";
}

namespace {

const RestartVendor IntelVendor{L"intel-restart", {L"ControlLib.dll"}, "ctlPowerTelemetryGet",
                                "ctlInit"};
const std::string RestartGpus =
    "intel bus=1 temps=41\nintel bus=2 temps=52\nintel bus=3 temps=63\n";

}  // namespace

TEST(Intel, ReadingsComeBackByThemselvesAfterTheDriverRestarts) {
  const std::vector<std::wstring> own{reading(41), reading(52), reading(63)};
  const std::wstring gone = L"No reading";
  const RestartCase cases[] = {
      {"listed in reverse, new handles", RestartGpus + "restart at=7 order=reverse away=2000\n",
       own, {}},
      {"a reset required, a GPU gone", RestartGpus + "restart at=7 drop=1 status=0x40000024\n",
       {own[0], gone, own[2]}, {}},
  };
  for (const RestartCase& test : cases) run_restart_case(IntelVendor, test);
}

TEST(Intel, WhileTheDriverStaysAwayItIsSetUpAgainLessAndLessOften) {
  run_stays_away_case(IntelVendor, RestartGpus);
}
