// AMD GPUs that no ADL call can read, read through ADLX: a Ryzen AI Max whose driver answers none
// of ADL's temperature calls, end to end against the simulated ADL, ADLX and Plug and Play layer.
// Each machine shows the window's rows and the calls each library received.
#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

const std::wstring PleaseWait = L"Please wait";
const std::wstring NoReading = L"No reading";
const std::wstring StrixName = L"AMD Radeon(TM) 8060S Graphics";

std::wstring reading(int celsius) { return reading_text(celsius); }

std::wstring title(int row, const std::wstring& name) {
  return L"GPU # " + std::to_wstring(row) + L"   -   " + name;
}

// The Strix Halo tablet as its owner's driver answered: five ADL records of the one GPU at bus
// 197, iVendorID -1002, adapter indices from `first_index`; Overdrive5 answers -5, the log and
// OverdriveN -8 (no sensor of theirs is described); also under the indices + 100 that ADL gives
// its adapters after a restart.
std::string strix_records(int first_index) {
  std::string lines;
  for (int i = 0; i < 5; ++i)
    lines += "adapter name=\"AMD Radeon(TM) 8060S Graphics\" udid=\"PCI_VEN_1002&DEV_1586&0" +
             std::to_string(i) + "\" index=" + std::to_string(first_index + i) +
             " bus=197 vendor=-1002\n";
  for (const int restart : {0, 100})
    for (int i = 0; i < 5; ++i)
      lines += "fail ADL_Overdrive5_Temperature_Get=-5 adapter=" +
               std::to_string(restart + first_index + i) + "\n";
  return lines;
}

// ADLX's GPU of the tablet, `more` its readings and support.
std::string strix_adlx(const std::string& more) {
  return "adlx name=\"AMD Radeon(TM) 8060S Graphics\" bus=197 type=integrated deviceid=1586 " +
         more + "\n";
}

// A Radeon ADL reads at bus 3, index 10, climbing a degree a pass from 45.
std::string readable_radeon() {
  std::string temps = "45000";
  for (int celsius = 46; celsius < 75; ++celsius) temps += "," + std::to_string(celsius * 1000);
  return "adapter name=\"Radeon RX 7900 XTX\" udid=\"PCI_VEN_1002&DEV_744C\" index=10 bus=3 "
         "temps=" +
         temps + "\n";
}

size_t calls_of(const std::vector<std::string>& log, const std::string& function) {
  return log_lines_with(log, function + " tid=").size();
}

size_t last_line_with(const std::vector<std::string>& log, const std::string& fragment) {
  size_t last = log.size();
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].find(fragment) != std::string::npos) last = i;
  return last;
}

// Every object ADLX handed out released once, nothing called after ADLXTerminate, no extension
// asked for, and ADLX ended before ADL's ADL2 context and unloaded.
void expect_adlx_lifetimes_kept(const std::vector<std::string>& log) {
  EXPECT_FALSE(log_has(log, "status=use-after-free"));
  EXPECT_FALSE(log_has(log, "status=after-terminate"));
  EXPECT_FALSE(log_has(log, "status=not-counted"));
  EXPECT_FALSE(log_has(log, "QueryInterface tid="));
  const auto terminates = log_lines_with(log, "ADLXTerminate tid=");
  ASSERT_FALSE(terminates.empty());
  EXPECT_EQ(log_field(terminates.back(), "held"), "0") << terminates.back();
  const size_t terminate = last_line_with(log, "ADLXTerminate tid=");
  EXPECT_LT(terminate, last_line_with(log, "ADL2_Main_Control_Destroy tid="));
  EXPECT_LT(terminate, last_line_with(log, "amdadlx64.dll unload"));
  EXPECT_NE(last_line_with(log, "amdadlx64.dll unload"), log.size());
}

// Each start of ADLX is given the ADL2 context made last, and one made since the start before:
// after ADLX's objects went, the old context may belong to a driver that is gone.
void expect_each_start_on_a_new_context(const std::vector<std::string>& log) {
  std::string newest;
  bool made_since_start = true;
  for (const std::string& line : log) {
    if (line.find("ADL2_Main_Control_Create tid=") != std::string::npos) {
      newest = log_field(line, "out");
      made_since_start = true;
    } else if (line.find("ADLXInitializeWithCallerAdl tid=") != std::string::npos) {
      EXPECT_EQ(log_field(line, "context"), newest) << line;
      EXPECT_TRUE(made_since_start) << "started again on the old ADL2 context: " << line;
      made_since_start = false;
    }
  }
}

// The degrees a row's label shows, or -1000 where it shows no reading.
int shown_celsius(HWND window, int row) {
  const std::wstring text = window_text(row_label(window, row));
  if (text.find(L"\u00b0C") == std::wstring::npos) return -1000;
  return std::stoi(text);
}

// What one machine is to show, one step after another, each a condition looked at until it holds.
struct Course {
  std::vector<std::function<bool()>> steps;
  size_t reached = 0;  // the steps that held
};

// Follows the machines' courses side by side, each looked at every 20 ms, until all are complete
// or the share time runs out. A state that lasts a pass is seen while it lasts, however long
// another machine takes to get where it is awaited.
void follow(const std::vector<Course*>& courses, DWORD timeout_ms) {
  wait_until(
      [&] {
        bool complete = true;
        for (Course* course : courses) {
          while (course->reached < course->steps.size() && course->steps[course->reached]())
            ++course->reached;
          complete = complete && course->reached == course->steps.size();
        }
        return complete;
      },
      timeout_ms);
}

// A course's first step: the monitor's window has come.
std::function<bool()> window_of(Monitor& monitor) {
  return [&monitor] {
    if (!monitor.window) monitor.window = wait_for_window(monitor.program, L"GPU Temperature", 0);
    return monitor.window != nullptr;
  };
}

Monitor start(const wchar_t* label, const std::vector<std::wstring>& drivers,
              const std::string& scenario) {
  return start_monitor(label, drivers, scenario);
}

Monitor watch(const Program& program) {
  return Monitor{program, wait_for_window(program, L"GPU Temperature")};
}

const std::vector<std::wstring> AdlAndAdlx = {L"atiadlxx.dll", L"amdadlx64.dll"};

}  // namespace

TEST(Adlx, StrixHaloIsReadThroughAdlxFoundByItsMapping) {
  // ADLX lists a discrete Radeon first: the tablet's GPU is its second, found by the mapping.
  const Staged staged = stage(L"strix", AdlAndAdlx);
  Monitor monitor = watch(start_program(staged,
                                        strix_records(0) +
                                            "adlx name=\"AMD Radeon RX 7600\" bus=3 temps=70\n" +
                                            strix_adlx("temps=48.5,49.9,51")));
  // A Radeon ADL cannot read either, listed after the tablet's five records: its row is the
  // second, its adapter index 5, and each row shows its own GPU's reading.
  Monitor second = watch(start_program(
      stage(L"second", {}).dir,
      strix_records(0) + strix_adlx("temps=48") +
          "adapter name=\"AMD Radeon RX 9070 XT\" udid=\"PCI_VEN_1002&DEV_7550\" index=5 bus=3\n"
          "fail ADL_Overdrive5_Temperature_Get=-5 adapter=5\n"
          "adlx name=\"AMD Radeon RX 9070 XT\" bus=3 temps=66\n"));
  ASSERT_NE(monitor.window, nullptr);
  ASSERT_NE(second.window, nullptr);
  EXPECT_TRUE(wait_for_label(second.window, 1, reading(66))) << "another GPU's reading";
  EXPECT_EQ(window_text(row_label(second.window, 0)), reading(48));
  close_monitor(second);
  EXPECT_EQ(frame_titles(monitor.window), (std::vector<std::wstring>{title(0, StrixName)}));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(48))) << "within five seconds";
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(49)));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(51)));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  const auto initialise = log_lines_with(log, "ADLXInitializeWithCallerAdl tid=");
  ASSERT_EQ(initialise.size(), 1u);
  EXPECT_EQ(log_field(initialise[0], "version"), "0x0001000400000000");
  EXPECT_NE(log_field(initialise[0], "context"), "0x0");
  EXPECT_NE(log_field(initialise[0], "free"), "0x0");
  EXPECT_EQ(log_field(log_lines_with(log, "GetADLXGPUFromAdlAdapterIndex tid=").at(0), "gpu"),
            "1");
  for (const std::string& line : log_lines_with(log, " GPUTemperature tid="))
    EXPECT_EQ(log_field(line, "gpu"), "1") << "another GPU read: " << line;
  EXPECT_EQ(calls_of(log, "GetSupportedGPUMetrics"), 1u);
  EXPECT_FALSE(log_has(log, "GetGPUs tid=")) << "never by its place in ADLX's list";
  // ADL was asked in the first passes only: once ADLX reads the row, never again.
  const size_t first_read = log_first_line_with(log, " GPUTemperature tid=");
  for (size_t i = first_read; i < log.size(); ++i)
    EXPECT_EQ(log[i].find("_Temperature_Get tid="), std::string::npos) << log[i];
  EXPECT_EQ(calls_of(log, "ADL_Overdrive5_Temperature_Get"), 2u + 4u)
      << "two failing passes on its own record, one round over its four others, no more";
  expect_adlx_lifetimes_kept(log);
}

TEST(Adlx, OnlyTheRowAdlCannotReadAndNeverWhereAdlReadsEveryRow) {
  // Two AMD GPUs: the Radeon ADL reads, the tablet's GPU it cannot.
  const Staged staged = stage(L"both", AdlAndAdlx);
  Monitor both = watch(start_program(staged,
                                     readable_radeon() + strix_records(0) +
                                         strix_adlx("temps=50") +
                                         "adlx name=\"Radeon RX 7900 XTX\" bus=3 temps=90\n"));
  // A machine ADL reads: ADLX is installed but never loaded.
  Monitor readable = watch(start_program(stage(L"readable", {}).dir,
                                         "adapter name=\"Radeon RX 6600\" bus=3 temps=48000\n"));
  // A GPU the mapping knows by its PCI location alone, at device 1, function 0.
  Monitor located = watch(start_program(
      stage(L"located", {}).dir,
      "adapter name=\"AMD Radeon(TM) 8060S Graphics\" bus=197 device=1 vendor=-1002\n"
      "fail ADL_Overdrive5_Temperature_Get=-5\n"
      "adlx bus=197 device=1 function=0 adapters=none temps=44\n"));
  ASSERT_NE(both.window, nullptr);
  ASSERT_NE(readable.window, nullptr);
  ASSERT_NE(located.window, nullptr);
  EXPECT_EQ(frame_titles(both.window),
            (std::vector<std::wstring>{title(0, L"Radeon RX 7900 XTX"), title(1, StrixName)}));
  EXPECT_TRUE(wait_for_label(both.window, 1, reading(50)));
  EXPECT_TRUE(wait_for_label(both.window, 0, reading(50), 8000)) << "the Radeon read by ADL on";
  EXPECT_TRUE(wait_for_label(readable.window, 0, reading(48), 8000));
  EXPECT_TRUE(wait_for_label(located.window, 0, reading(44)));
  close_monitor(both);
  close_monitor(readable);
  close_monitor(located);

  const auto log = read_log(both.program.log_path);
  for (const std::string& line : log_lines_with(log, " GPUTemperature tid="))
    EXPECT_EQ(log_field(line, "gpu"), "0") << "the Radeon asked of ADLX: " << line;
  expect_adlx_lifetimes_kept(log);
  EXPECT_FALSE(log_has(read_log(readable.program.log_path), "amdadlx64.dll"));
}

TEST(Adlx, AnOlderAdlWithoutAdl2LeavesTheRowAsItWas) {
  // Nothing to start ADLX on: it is never loaded, and the row waits as before.
  Monitor older = start(L"older", {L"variants\\adl1_only\\atiadlxx.dll", L"amdadlx64.dll"},
                        strix_records(0) + strix_adlx("temps=50"));
  ASSERT_NE(older.window, nullptr);
  EXPECT_TRUE(holds_through_passes(
      older.program, [&] { return window_text(row_label(older.window, 0)) == PleaseWait; },
      [](const std::vector<std::string>& log) {
        return log_lines_with(log, "ADL_Overdrive5_Temperature_Get tid=").size();
      },
      4));
  close_monitor(older);
  EXPECT_FALSE(log_has(read_log(older.program.log_path), "amdadlx64.dll"));
}

TEST(Adlx, WhichTemperatureIsShownAndWhichNever) {
  // Edge unsupported, hotspot supported: the hotspot. Neither: no number ever, never 0 °C, and
  // ADLX not asked every second. An ADLX 1.0 library, asked for its own version, which once
  // answers success without writing the temperature; a version refused is asked again as 1.0.
  const Staged staged = stage(L"hotspot", AdlAndAdlx);
  Monitor hotspot = watch(start_program(staged,
                                        strix_records(0) + strix_adlx("temps=off hotspot=61.7") +
                                            "fail ADLXInitializeWithCallerAdl=5 to=1\n"));
  Monitor neither = watch(start_program(stage(L"neither", {}).dir,
                                        strix_records(0) + strix_adlx("temps=off hotspot=off")));
  Monitor older = watch(start_program(stage(L"adlx10", {}).dir,
                                      "adlx_version=1.0\n" + strix_records(0) +
                                          strix_adlx("temps=nan,300.5,-300,256,-274.5,47") +
                                          "fail GPUTemperature=0 to=1\n"));
  ASSERT_NE(hotspot.window, nullptr);
  ASSERT_NE(neither.window, nullptr);
  ASSERT_NE(older.window, nullptr);
  EXPECT_TRUE(wait_for_label(hotspot.window, 0, reading(61)));
  // An answer with nothing written, NaN, 300.5, -300, 256 and -274.5 are no readings: the row
  // waits until 47 comes.
  const PassLabels labels = labels_by_pass(older, 1, [](const std::vector<std::string>& log) {
    return log_lines_with(log, " GPUTemperature tid=").size();
  }, 8);
  const std::vector<std::wstring> waiting{PleaseWait}, read{reading(47)};
  EXPECT_EQ(labels,
            (PassLabels{waiting, waiting, waiting, waiting, waiting, waiting, read, read}))
      << "no number before 47, and a failed read after a reading keeps it";
  EXPECT_TRUE(holds_through_passes(
      neither.program, [&] { return window_text(row_label(neither.window, 0)) == PleaseWait; },
      [](const std::vector<std::string>& log) {
        return log_lines_with(log, "ADL_Overdrive5_Temperature_Get tid=").size();
      },
      5));
  close_monitor(hotspot);
  close_monitor(neither);
  close_monitor(older);

  const auto hotspot_log = read_log(hotspot.program.log_path);
  EXPECT_FALSE(log_has(hotspot_log, " GPUTemperature tid="));
  EXPECT_TRUE(log_has(hotspot_log, "GPUHotspotTemperature tid="));
  // A version refused is asked again as 1.0.
  const auto versions = log_lines_with(hotspot_log, "ADLXInitializeWithCallerAdl tid=");
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_EQ(log_field(versions[1], "version"), "0x0001000000000000");
  const auto neither_log = read_log(neither.program.log_path);
  EXPECT_EQ(calls_of(neither_log, "GetSupportedGPUMetrics"), 1u);
  EXPECT_EQ(calls_of(neither_log, "GetCurrentGPUMetrics"), 0u);
  expect_adlx_lifetimes_kept(neither_log);
  const auto older_log = read_log(older.program.log_path);
  EXPECT_EQ(log_field(log_lines_with(older_log, "ADLXInitializeWithCallerAdl tid=").at(0),
                      "version"),
            "0x0001000000000000");
  expect_adlx_lifetimes_kept(older_log);
}

TEST(Adlx, APoweredDownGpuIsNeverAskedAndWhatFailsIsAskedAgainOnTheSchedule) {
  SystemPlugAndPlay layer;
  const Staged staged = stage(L"asleep", AdlAndAdlx);
  Monitor asleep = watch(start_program(
      staged,
      strix_records(0) + strix_adlx("temps=50") + "display bus=197 power=D3\n"));
  // ADLX's start answers success once without handing anything out, then fails.
  Monitor refused = watch(start_program(
      stage(L"refused", {}).dir,
      strix_records(0) + strix_adlx("temps=50") +
          "fail ADLXInitializeWithCallerAdl=0 to=1\nfail ADLXInitializeWithCallerAdl=3\n"
          "display bus=197 power=D0\n"));
  // The mapping fails at first, by index and by location alike: the GPU is looked for again.
  Monitor unmapped = watch(start_program(
      stage(L"unmapped", {}).dir,
      strix_records(0) + strix_adlx("temps=53") +
          "fail GetADLXGPUFromAdlAdapterIndex=3 to=1\nfail GetADLXGPUFromBdf=3 to=1\n"
          "display bus=197 power=D0\n"));
  ASSERT_NE(asleep.window, nullptr);
  ASSERT_NE(refused.window, nullptr);
  ASSERT_NE(unmapped.window, nullptr);
  EXPECT_TRUE(wait_for_label(asleep.window, 0, L"Powered down"));
  // Twelve passes, counted by the power queries: the initialise is tried again 1, 2, 4 and 8
  // passes apart, not in every pass.
  const auto power_queries = [](const std::vector<std::string>& log) {
    return log_lines_with(log, "CM_Get_DevNode_PropertyW.PowerData tid=").size();
  };
  EXPECT_TRUE(holds_through_passes(
      refused.program, [&] { return window_text(row_label(refused.window, 0)) == PleaseWait; },
      power_queries, 12));
  EXPECT_TRUE(wait_for_label(unmapped.window, 0, reading(53), 15000));
  close_monitor(asleep);
  close_monitor(refused);
  close_monitor(unmapped);
  EXPECT_EQ(calls_of(read_log(unmapped.program.log_path), "GetADLXGPUFromBdf"), 1u);

  EXPECT_FALSE(log_has(read_log(asleep.program.log_path), "amdadlx64.dll"));
  const auto log = read_log(refused.program.log_path);
  const size_t attempts = calls_of(log, "ADLXInitializeWithCallerAdl");
  EXPECT_GE(attempts, 2u);
  EXPECT_LE(attempts, 6u);
  EXPECT_FALSE(log_has(log, "GetCurrentGPUMetrics tid="));
  // The start that answered success is ended before the next; a failed one is not.
  ASSERT_EQ(calls_of(log, "ADLXTerminate"), 1u);
  const size_t first_start = log_first_line_with(log, "ADLXInitializeWithCallerAdl tid=");
  const size_t terminate = log_first_line_with(log, "ADLXTerminate tid=");
  EXPECT_LT(first_start, terminate);
  for (size_t i = first_start + 1; i < terminate && i < log.size(); ++i)
    EXPECT_EQ(log[i].find("ADLXInitializeWithCallerAdl tid="), std::string::npos)
        << "started again before the first start was ended";
}

TEST(Adlx, AdlxsCrashAndHangCostItsOwnRowOnly) {
  // The three started at once, each followed from its start: what one shows for a pass or two is
  // not missed while another starts.
  const Staged staged = stage(L"crash", AdlAndAdlx);
  Monitor crash{start_program(staged, readable_radeon() + strix_records(0) +
                                          strix_adlx("temps=50") +
                                          "crash GPUTemperature from=3\n")};
  Monitor hang{start_program(stage(L"hang", {}).dir,
                             readable_radeon() + strix_records(0) + strix_adlx("temps=50") +
                                 "hang GetCurrentGPUMetrics from=2 locked\n")};
  // ADLX's end hangs when ADL's driver restarts under the Radeon.
  Monitor terminate{start_program(stage(L"terminate", {}).dir,
                                  readable_radeon() + strix_records(0) +
                                      strix_adlx("temps=50") + "hang ADLXTerminate\n" +
                                      "restart at=6 in=atiadlxx.dll\n")};
  // The Radeon's reading climbs a degree a pass: what it shows counts the passes.
  int radeon_at_crash = 0;
  Course crashed{{window_of(crash), [&] { return shown_celsius(crash.window, 1) == 50; },
                  [&] {
                    radeon_at_crash = shown_celsius(crash.window, 0);
                    return window_text(row_label(crash.window, 1)) == NoReading;
                  },
                  // Read on, ten passes after ADLX's first reading.
                  [&] { return shown_celsius(crash.window, 0) >= 55; }}};
  // ADLX given up after five seconds, the Radeon read on by a new worker.
  Course hung{{window_of(hang), [&] { return shown_celsius(hang.window, 1) == 50; },
               [&] { return window_text(row_label(hang.window, 1)) == NoReading; },
               [&] { return shown_celsius(hang.window, 0) >= 55; }}};
  // The Radeon's driver back, and read again after ADLX was given up.
  Course restarted{{window_of(terminate), [&] {
    const auto log = read_log(terminate.program.log_path);
    return log_has(log, "ADLXTerminate") && calls_of(log, "ADL_Main_Control_Create") >= 2 &&
           last_line_with(log, "ADL_Overdrive5_Temperature_Get tid=") >
               last_line_with(log, "ADL_Main_Control_Create tid=");
  }}};
  follow({&crashed, &hung, &restarted}, 30000);
  EXPECT_EQ(crashed.reached, crashed.steps.size()) << "the crash's course stopped there";
  EXPECT_EQ(hung.reached, hung.steps.size()) << "the hang's course stopped there";
  EXPECT_EQ(restarted.reached, restarted.steps.size());
  ASSERT_TRUE(crash.window && hang.window && terminate.window);
  EXPECT_LT(radeon_at_crash, 55) << "the crash's row said No reading passes late";
  EXPECT_EQ(wait_for_error_box(crash.program, 0), nullptr);
  // Closing still ends each process within two seconds with code 0, the hung call abandoned.
  close_monitor(crash);
  close_monitor(hang);
  close_monitor(terminate);

  const auto crash_log = read_log(crash.program.log_path);
  const size_t crashed_at = log_first_line_with(crash_log, "status=crash");
  ASSERT_LT(crashed_at, crash_log.size());
  for (size_t i = crashed_at + 1; i < crash_log.size(); ++i)
    EXPECT_EQ(crash_log[i].find("amdadlx64.dll"), std::string::npos) << "called again: "
                                                                     << crash_log[i];
  const auto hang_log = read_log(hang.program.log_path);
  EXPECT_EQ(calls_of(hang_log, "GetCurrentGPUMetrics"), 2u);
  // The wake at ADLX's first use goes to the main thread, which watches from then on; one left
  // on the worker's queue is read by nobody, and the hang is seen seconds late.
  const auto hung_call = log_lines_with(hang_log, "status=hang");
  ASSERT_EQ(hung_call.size(), 1u);
  EXPECT_EQ(log_field(hung_call[0], "queued"), "") << hung_call[0];
  // A worker was left inside ADLX, which may hold ADL's locks: the close calls nothing.
  EXPECT_FALSE(log_has(hang_log, "Main_Control_Destroy tid="));
}

TEST(Adlx, ReadingsComeBackAfterAdlxsObjectsGoAndAfterAdlsDriverRestarts) {
  // ADLX's objects gone at its 3rd metrics call, as after a wake from sleep; then ADL's driver
  // restarting under a Radeon it reads, which restarts ADLX too.
  const Staged staged = stage(L"objects", AdlAndAdlx);
  Monitor objects = watch(start_program(
      staged,
      readable_radeon() + strix_records(0) + strix_adlx("temps=50,51") +
          "restart at=3 in=amdadlx64.dll away=1500 status=11\n"));
  Monitor driver = watch(start_program(stage(L"driver", {}).dir,
                                       readable_radeon() + strix_records(0) +
                                           strix_adlx("temps=52") +
                                           "restart at=4 in=atiadlxx.dll\n"));
  ASSERT_NE(objects.window, nullptr);
  ASSERT_NE(driver.window, nullptr);
  EXPECT_TRUE(wait_until(
      [&] {
        const auto log = read_log(objects.program.log_path);
        return calls_of(log, "ADLXInitializeWithCallerAdl") >= 2 &&
               log_lines_with(log, " GPUTemperature tid=").size() >= 4;
      },
      20000));
  EXPECT_TRUE(wait_until(
      [&] {
        const auto log = read_log(driver.program.log_path);
        return calls_of(log, "ADLXInitializeWithCallerAdl") >= 2 &&
               last_line_with(log, " GPUTemperature tid=") >
                   last_line_with(log, "ADLXInitializeWithCallerAdl tid=");
      },
      25000));
  EXPECT_TRUE(wait_for_label(objects.window, 1, reading(50)) ||
              wait_for_label(objects.window, 1, reading(51)));
  EXPECT_TRUE(wait_for_label(driver.window, 1, reading(52)));
  EXPECT_EQ(wait_for_error_box(objects.program, 0), nullptr);
  close_monitor(objects);
  close_monitor(driver);

  const auto log = read_log(objects.program.log_path);
  // The old objects released and ADLX terminated before it was started again.
  const auto terminates = log_lines_with(log, "ADLXTerminate tid=");
  ASSERT_GE(terminates.size(), 2u);
  EXPECT_EQ(log_field(terminates.front(), "held"), "0") << terminates.front();
  EXPECT_EQ(calls_of(log, "ADL_Main_Control_Create"), 1u) << "ADL left as it was";
  expect_each_start_on_a_new_context(log);
  expect_adlx_lifetimes_kept(log);
  // ADL's own recovery: ADLX ended before the ADL2 context it runs on went.
  const auto driver_log = read_log(driver.program.log_path);
  const size_t first_terminate = log_first_line_with(driver_log, "ADLXTerminate tid=");
  ASSERT_LT(first_terminate, driver_log.size());
  EXPECT_LT(first_terminate, log_first_line_with(driver_log, "ADL2_Main_Control_Destroy tid="));
  expect_each_start_on_a_new_context(driver_log);
  expect_adlx_lifetimes_kept(driver_log);
}
