// Machines whose ADL lists other vendors' GPUs beside AMD's, as real drivers do: the GeForce of a
// Ryzen desktop gets its temperature through NVAPI, an Arc card through Intel's library, and ADL
// is never asked about either; and an Overdrive5 reading no GPU can reach is never shown. Each
// machine end to end against the simulated ADL, NVAPI, Intel library and Plug and Play layer.
#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

const std::wstring PleaseWait = L"Please wait";
const std::wstring NoReading = L"No reading";

std::wstring reading(int celsius) { return reading_text(celsius); }

std::wstring title(int row, const std::wstring& name) {
  return L"GPU # " + std::to_wstring(row) + L"   -   " + name;
}

// ADL's records of one GPU, one per display output, all at its PCI location.
std::string records(int outputs, int first_index, const std::string& name, const std::string& udid,
                    int bus, const std::string& more) {
  std::string lines;
  for (int i = 0; i < outputs; ++i) {
    const std::string suffix = udid.empty() ? "" : udid + "&0" + std::to_string(i + 2) + "A";
    lines += "adapter name=\"" + name + "\" udid=\"" + suffix + "\" index=" +
             std::to_string(first_index + i) + " bus=" + std::to_string(bus) + " " + more + "\n";
  }
  return lines;
}

const std::string GeForceUdid = "PCI_VEN_10DE&DEV_2705&SUBSYS_89581043&REV_A1_4&1BABDF5B&0&0009";

// The 9800X3D desktop: the processor's Radeon, one record per output (indices 0 to 5), refusing
// Overdrive5 and supporting no sensor of the log; the GeForce at bus 1 (indices 6 to 8), whose
// records say function 1, where NVAPI, which knows no function, has it at 0.
std::string ryzen_desktop(const std::string& gpu_temps) {
  return records(6, 0, "AMD Radeon(TM) Graphics",
                 "PCI_VEN_1002&DEV_13C0&SUBSYS_88771043&REV_C9_4&2A1E7E3&0&0041", 124,
                 "edge=off gfx=off soc=off") +
         records(3, 6, "NVIDIA GeForce RTX 4070 Ti SUPER", GeForceUdid, 1,
                 "vendor=0x10DE function=1") +
         "fail ADL_Overdrive5_Temperature_Get=-5\n"
         "gpu name=\"NVIDIA GeForce RTX 4070 Ti SUPER\" bus=1 device=0 temps=" +
         gpu_temps + "\n";
}

// A Radeon at bus 3 whose reading climbs a degree a pass, and a GeForce at bus 1 that ADL lists.
std::string radeon_and_geforce(const std::string& more) {
  std::string temps = "45000";
  for (int celsius = 46; celsius < 75; ++celsius) temps += "," + std::to_string(celsius * 1000);
  return "adapter name=\"Radeon\" udid=\"PCI_VEN_1002&DEV_744C\" bus=3 temps=" + temps + "\n" +
         records(1, 1, "GeForce", GeForceUdid, 1, "vendor=0x10DE") + "gpu bus=1 temps=60,61\n" +
         more;
}

// A log line's arguments, as the driver logged them.
std::string arguments(const std::string& line) {
  const size_t start = line.find(" args=") + 6;
  return line.substr(start, line.find(' ', start) - start);
}

// The ADL adapter index a temperature call was about, or -1 for another line.
int adl_index_read(const std::string& line) {
  const std::string args = arguments(line) + ",";
  const auto field = [&](int n) {
    size_t start = 0;
    for (int i = 0; i < n; ++i) start = args.find(',', start) + 1;
    return static_cast<int>(std::strtol(args.c_str() + start, nullptr, 0));
  };
  if (line.find("ADL_Overdrive5_Temperature_Get tid=") != std::string::npos) return field(0);
  if (line.find("ADL2_New_QueryPMLogData_Get tid=") != std::string::npos ||
      line.find("ADL2_OverdriveN_Temperature_Get tid=") != std::string::npos)
    return field(1);
  return -1;
}

// True when ADL was asked for the temperature of an adapter with one of these indices.
bool adl_asked_about(const std::vector<std::string>& log, std::initializer_list<int> indices) {
  for (const std::string& line : log)
    for (const int index : indices)
      if (adl_index_read(line) == index) return true;
  return false;
}

size_t calls_of(const std::vector<std::string>& log, const std::string& function) {
  return log_lines_with(log, function + " tid=").size();
}

// Passes counted by ADL's reading calls for one adapter.
PassCount adl_passes(int index) {
  return [index](const std::vector<std::string>& log) {
    size_t count = 0;
    for (const std::string& line : log)
      count += line.find("ADL_Overdrive5_Temperature_Get tid=") != std::string::npos &&
               adl_index_read(line) == index;
    return count;
  };
}

// Waits until label `row` reads `text`, for at most `passes` passes, however long they take.
bool shows_within_passes(const Monitor& monitor, int row, const std::wstring& text,
                         size_t passes) {
  const auto shows = [&] { return window_text(row_label(monitor.window, row)) == text; };
  wait_until(
      [&] { return shows() || adl_passes(0)(read_log(monitor.program.log_path)) >= passes; },
      60000);
  return shows();
}

// Label `row` keeps `text` until the log shows the third pass begin.
bool keeps(const Monitor& monitor, int row, const std::wstring& text, const PassCount& passes) {
  return holds_through_passes(
      monitor.program, [&] { return window_text(row_label(monitor.window, row)) == text; }, passes,
      3);
}

// NVAPI's end comes before ADL's, and no NVIDIA call follows it.
void expect_nvapi_unloaded_before_adl(const std::vector<std::string>& log) {
  const auto unloads = log_lines_with(log, "NvAPI_Unload tid=");
  ASSERT_FALSE(unloads.empty());
  size_t unload = log.size();
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i] == unloads.back()) unload = i;
  EXPECT_LT(unload, log_first_line_with(log, "ADL_Main_Control_Destroy tid="));
  for (size_t i = unload + 1; i < log.size(); ++i)
    EXPECT_EQ(log[i].find(" NvAPI_"), std::string::npos) << log[i];
}

Monitor watch(const Program& program) {
  return Monitor{program, wait_for_window(program, L"GPU Temperature")};
}

Monitor start(const wchar_t* label, const std::vector<std::wstring>& drivers,
              const std::string& scenario) {
  return start_monitor(label, drivers, scenario);
}

}  // namespace

TEST(OtherVendors, RyzenDesktopsGeForceIsReadThroughNvapi) {
  Monitor monitor =
      start(L"ryzen", {L"atiadlxx.dll", L"nvapi64.dll"}, ryzen_desktop("41,42"));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{title(0, L"AMD Radeon(TM) Graphics"),
                                       title(1, L"NVIDIA GeForce RTX 4070 Ti SUPER")}));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(41)));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(42)));
  EXPECT_TRUE(keeps(monitor, 0, PleaseWait, adl_passes(0)));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  EXPECT_FALSE(adl_asked_about(log, {6, 7, 8}));
  EXPECT_TRUE(adl_asked_about(log, {0}));
  EXPECT_EQ(calls_of(log, "NvAPI_Initialize"), 1u);
  EXPECT_EQ(calls_of(log, "NvAPI_EnumPhysicalGPUs"), 1u);
  EXPECT_EQ(calls_of(log, "NvAPI_GPU_GetBusId"), 1u);
  EXPECT_EQ(calls_of(log, "NvAPI_GPU_GetBusSlotId"), 1u);
  EXPECT_EQ(calls_of(log, "NvAPI_GPU_GetFullName"), 0u) << "the row has ADL's name";
  EXPECT_GE(calls_of(log, "NvAPI_GPU_GetThermalSettings"), 2u);
  expect_nvapi_unloaded_before_adl(log);
}

TEST(OtherVendors, OlderAndNewerEncodingsOfTheVendor) {
  // A 2009 driver: vendor 1002 and 10 ("10DE" read as a decimal number), no PCI vendor in the
  // identifiers, a name ending in seven spaces, two records per GPU. Beside them a GeForce whose
  // identifier ends right after its PCI vendor, and whose iVendorID says AMD's.
  const std::string radeon = "ATI Radeon HD 4300/4500 Series       ";
  const Staged staged = stage(L"pair", {L"atiadlxx.dll", L"nvapi64.dll"});
  const std::string pair_scenario =
      records(2, 0, radeon, "", 2, "vendor=1002 temps=52000") +
      records(2, 2, "NVIDIA GeForce 9600 GT", "", 1, "vendor=10") +
      "adapter name=\"GeForce RTX 3050\" udid=\"PCI_VEN_10DE\" index=4 bus=7 vendor=0x1002\n"
      "gpu name=\"NVIDIA GeForce 9600 GT\" bus=1 temps=60\ngpu bus=7 temps=61\n";
  Monitor pair = watch(start_program(staged, pair_scenario));
  // A Ryzen AI Max whose records say -1002: AMD's own, read through ADL, and NVAPI never loaded.
  Monitor ryzen_ai = watch(start_program(
      stage(L"ai", {}).dir, "adapter name=\"AMD Radeon(TM) 8060S Graphics\" bus=197 vendor=-1002 "
                            "edge=55\nfail ADL_Overdrive5_Temperature_Get=-8\n"));
  ASSERT_NE(pair.window, nullptr);
  ASSERT_NE(ryzen_ai.window, nullptr);
  EXPECT_EQ(frame_titles(pair.window),
            (std::vector<std::wstring>{title(0, widen(radeon)), title(1, L"NVIDIA GeForce 9600 GT"),
                                       title(2, L"GeForce RTX 3050")}));
  EXPECT_TRUE(wait_for_label(pair.window, 0, reading(52)));
  EXPECT_TRUE(wait_for_label(pair.window, 1, reading(60)));
  EXPECT_TRUE(wait_for_label(pair.window, 2, reading(61)));
  EXPECT_TRUE(wait_for_label(ryzen_ai.window, 0, reading(55)));
  close_monitor(pair);
  close_monitor(ryzen_ai);

  const auto pair_log = read_log(pair.program.log_path);
  EXPECT_TRUE(adl_asked_about(pair_log, {0}));
  EXPECT_FALSE(adl_asked_about(pair_log, {1, 2, 3, 4}));
  expect_nvapi_unloaded_before_adl(pair_log);
  const auto ai_log = read_log(ryzen_ai.program.log_path);
  EXPECT_TRUE(log_has(ai_log, "ADL2_New_QueryPMLogData_Get tid="));
  EXPECT_FALSE(log_has(ai_log, "nvapi64.dll")) << "loaded with no NVIDIA GPU to read";
}

TEST(OtherVendors, AnAsleepGeForceIsNeverAsked) {
  // An AMD-processor laptop: the Radeon awake; one GeForce powered down, one awake whose driver
  // answers that it is not powered.
  SystemPlugAndPlay layer;
  const std::string scenario =
      "adapter name=\"AMD Radeon(TM) 890M\" udid=\"PCI_VEN_1002&DEV_150E\" bus=101 "
      "temps=47000\n" +
      records(1, 1, "NVIDIA GeForce RTX 4060 Laptop GPU", GeForceUdid, 1, "") +
      records(1, 2, "NVIDIA GeForce RTX 4050 Laptop GPU", "PCI_VEN_10DE&DEV_28A1", 2, "") +
      "gpu bus=1 temps=50\ngpu bus=2 temps=51\n"
      "display bus=101 power=D0\ndisplay bus=1 power=D3\ndisplay bus=2 power=D0\n"
      "fail NvAPI_GPU_GetThermalSettings=-220\n";
  Monitor monitor = start(L"laptop", {L"atiadlxx.dll", L"nvapi64.dll"}, scenario);
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(47)));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"Powered down"));
  EXPECT_TRUE(wait_for_label(monitor.window, 2, L"Powered down"));
  EXPECT_TRUE(keeps(monitor, 1, L"Powered down", adl_passes(0)));
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  EXPECT_FALSE(adl_asked_about(log, {1, 2}));
  const auto thermal = log_lines_with(log, "NvAPI_GPU_GetThermalSettings tid=");
  ASSERT_FALSE(thermal.empty());
  for (const std::string& line : thermal)
    EXPECT_EQ(log_field(line, "args"), "0x10DE0020") << "asleep GPU asked: " << line;
}

TEST(OtherVendors, NvapisCrashCostsItsOwnRowOnly) {
  Monitor monitor = start(L"crash", {L"atiadlxx.dll", L"nvapi64.dll"},
                          radeon_and_geforce("crash NvAPI_GPU_GetThermalSettings from=3\n"));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(61)));
  EXPECT_TRUE(wait_until([&] {
    return log_has(read_log(monitor.program.log_path), "GetThermalSettings tid=") &&
           log_has(read_log(monitor.program.log_path), "status=crash");
  }));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, NoReading, 3000)) << "at once, not ten s later";
  // The Radeon goes on: 45 in the first pass, 49 in the fifth, two after the crash.
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(49), 10000));
  EXPECT_EQ(window_text(row_label(monitor.window, 1)), NoReading);
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  const size_t crash = log_first_line_with(log, "status=crash");
  for (size_t i = crash + 1; i < log.size(); ++i)
    EXPECT_EQ(log[i].find("nvapi64.dll NvAPI"), std::string::npos) << "called again: " << log[i];
  EXPECT_FALSE(adl_asked_about(log, {1}));
}

TEST(OtherVendors, NvapisHangCostsItsOwnRowOnly) {
  Monitor monitor = start(L"hang", {L"atiadlxx.dll", L"nvapi64.dll"},
                          radeon_and_geforce("hang NvAPI_GPU_GetThermalSettings from=3 locked\n"));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_until(
      [&] { return log_has(read_log(monitor.program.log_path), "status=hang-locked"); }, 10000));
  // NVAPI given up after five seconds, the Radeon read on by a new worker.
  EXPECT_TRUE(wait_for_label(monitor.window, 1, NoReading, 10000));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(49), 12000));
  // Closing still ends the process within two seconds, the hung call abandoned.
  close_monitor(monitor);
  EXPECT_EQ(calls_of(read_log(monitor.program.log_path), "NvAPI_GPU_GetThermalSettings"), 3u);
}

TEST(OtherVendors, NvapisCallReturningAfterItWasGivenUpChangesNothing) {
  Monitor monitor = start(L"late", {L"atiadlxx.dll", L"nvapi64.dll"},
                          radeon_and_geforce("sleep NvAPI_GPU_GetThermalSettings=6500 from=3\n"));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 1, NoReading, 12000));
  // The late answer arrives within these passes; the worker that waited for it writes nothing.
  EXPECT_TRUE(keeps(monitor, 1, NoReading, adl_passes(0)));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(50), 8000));
  close_monitor(monitor);
  const auto log = read_log(monitor.program.log_path);
  EXPECT_EQ(calls_of(log, "NvAPI_GPU_GetThermalSettings"), 3u);
  // ADL is read by one worker at a time: the one given up never reads it again.
  std::vector<std::string> workers;
  for (const std::string& line : log_lines_with(log, "ADL_Overdrive5_Temperature_Get tid=")) {
    const std::string tid = log_field(line, "tid");
    if (workers.empty() || workers.back() != tid) workers.push_back(tid);
  }
  EXPECT_EQ(workers.size(), 2u);
}

TEST(OtherVendors, NvapisRestartLeavesAdlUntouched) {
  Monitor monitor = start(L"restart", {L"atiadlxx.dll", L"nvapi64.dll"},
                          radeon_and_geforce("restart at=3 in=nvapi64.dll\n"));
  ASSERT_NE(monitor.window, nullptr);
  // Readings come back through the new handle once the driver is back.
  EXPECT_TRUE(wait_until(
      [&] {
        const auto log = read_log(monitor.program.log_path);
        return log_lines_with(log, "args=0x10DE1010,0,").size() >= 2;
      },
      20000));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(60)) ||
              wait_for_label(monitor.window, 1, reading(61)));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  EXPECT_TRUE(log_has(log, "nvapi64.dll restart at=3"));
  EXPECT_FALSE(log_has(log, "atiadlxx.dll restart"));
  EXPECT_GE(calls_of(log, "NvAPI_EnumPhysicalGPUs"), 2u);
  EXPECT_EQ(calls_of(log, "ADL_Main_Control_Create"), 1u) << "ADL set up again";
  EXPECT_EQ(calls_of(log, "ADL_Main_Control_Destroy"), 1u);
  EXPECT_EQ(calls_of(log, "ADL_Adapter_AdapterInfo_Get"), 1u);
  expect_nvapi_unloaded_before_adl(log);
}

TEST(OtherVendors, WithoutNvapiTheRowWaitsAndAdlIsNotAsked) {
  Monitor monitor = start(L"no-nvapi", {L"atiadlxx.dll"}, radeon_and_geforce(""));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{title(0, L"Radeon"), title(1, L"GeForce")}));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(45)));
  EXPECT_TRUE(keeps(monitor, 1, PleaseWait, adl_passes(0)));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);
  EXPECT_FALSE(adl_asked_about(read_log(monitor.program.log_path), {1}));
}

// The Arc card at device 1, function 0 of its bus, found there by its function; its reading in
// whole degrees, truncated, as Intel's own rows show it.
TEST(OtherVendors, AnArcCardThatAdlListsIsReadThroughIntelsLibrary) {
  Monitor monitor =
      start(L"arc", {L"atiadlxx.dll", L"ControlLib.dll"},
            "adapter name=\"Radeon\" udid=\"PCI_VEN_1002&DEV_744C\" bus=3 temps=45000\n"
            "adapter name=\"Intel(R) Arc(TM) A770 Graphics\" udid=\"PCI_VEN_8086&DEV_56A0\" bus=5 "
            "device=1\n"
            "intel name=\"Intel(R) UHD Graphics\" integrated bus=0 device=2\n"
            "intel name=\"Intel(R) Arc(TM) A770 Graphics\" bus=5 device=1 temps=44.5\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(45)));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(44)));
  close_monitor(monitor);
  const auto log = read_log(monitor.program.log_path);
  EXPECT_FALSE(adl_asked_about(log, {1}));
  for (const std::string& line : log_lines_with(log, "ctlPowerTelemetryGet tid="))
    EXPECT_EQ(log_field(line, "args"), "0x80860020") << "the Arc card only";
  EXPECT_LT(log_first_line_with(log, "ctlClose tid="),
            log_first_line_with(log, "ADL_Main_Control_Destroy"));
}

// Two machines side by side. On one, NVAPI's first listing fails: the GeForce is found by a later
// one and read. On the other the GeForce's reads begin to fail after two readings: the last one
// stays for ten passes without a reading, then goes.
TEST(OtherVendors, AGeForceListedLateIsReadAndOneNoLongerReadGoesStale) {
  const Staged staged = stage(L"listed-late", {L"atiadlxx.dll", L"nvapi64.dll"});
  Monitor late =
      watch(start_program(staged, radeon_and_geforce("fail NvAPI_EnumPhysicalGPUs=-1 to=1\n")));
  Monitor failing = watch(start_program(
      stage(L"failing", {}).dir,
      radeon_and_geforce("fail NvAPI_GPU_GetThermalSettings=-1 from=3\n")));
  ASSERT_NE(late.window, nullptr);
  ASSERT_NE(failing.window, nullptr);
  EXPECT_TRUE(wait_for_label(failing.window, 1, reading(61)));
  // Kept through pass 10, the eighth without a reading (ADL's pass 11 begins after it), and gone
  // in pass 12, the tenth.
  EXPECT_TRUE(holds_through_passes(
      failing.program, [&] { return window_text(row_label(failing.window, 1)) == reading(61); },
      adl_passes(0), 11));
  EXPECT_TRUE(shows_within_passes(failing, 1, NoReading, 14));
  // The listing ten passes after the one that failed finds it.
  EXPECT_TRUE(shows_within_passes(late, 1, reading(60), 16));
  close_monitor(late);
  close_monitor(failing);
  EXPECT_GE(calls_of(read_log(late.program.log_path), "NvAPI_EnumPhysicalGPUs"), 2u);
}

TEST(OtherVendors, AnImpossibleOverdrive5ReadingIsNeverShown) {
  Monitor monitor =
      start(L"impossible", {L"atiadlxx.dll"},
            "adapter name=\"HD 5750\" bus=3 temps=199409000,511000\n"
            "adapter name=\"R9 M265X\" bus=4 temps=511000,199409000 edge=47\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(47))) << "ADL2 asked after it";
  EXPECT_TRUE(keeps(monitor, 0, PleaseWait, adl_passes(0)));
  close_monitor(monitor);
  // Each impossible reading is followed by ADL2's, as after any failed Overdrive5 read.
  const auto log = read_log(monitor.program.log_path);
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].find("ADL_Overdrive5_Temperature_Get tid=") == std::string::npos) continue;
    size_t next = i + 1;
    while (next < log.size() && adl_index_read(log[next]) < 0) ++next;
    if (next == log.size()) break;
    EXPECT_NE(log[next].find("ADL2_"), std::string::npos) << log[next];
    EXPECT_EQ(adl_index_read(log[next]), adl_index_read(log[i])) << log[next];
  }
}
