// Laptops: a GPU that Windows has powered down is not woken to be read, end to end against the
// simulated NVAPI, ADL and Plug and Play layer; and no vendor library is taken from the working
// directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "tests/support/harness.h"

namespace {

const std::wstring PoweredDown = L"Powered down";
const std::wstring PleaseWait = L"Please wait";

std::wstring reading(int celsius) {
  return std::to_wstring(celsius) + L"\u00b0C  (" +
         std::to_wstring(static_cast<int>(celsius * 1.8 + 32.5)) + L" \u00b0F)";
}

std::string gpu(int bus, int celsius, const std::string& more = "") {
  return "gpu bus=" + std::to_string(bus) + " temps=" + std::to_string(celsius) + " " + more +
         "\n";
}

std::string display(int bus, const std::string& power, const std::string& more = "") {
  return "display bus=" + std::to_string(bus) + " power=" + power + " " + more + "\n";
}

// The position a log line's first argument names: a display's node (0x1000 + position) or a
// GPU's handle (0x10DE0000 + 0x10 * (position + 1)).
int position_in(const std::string& line) {
  const unsigned long long value = std::stoull(log_field(line, "args"), nullptr, 16);
  return value >= 0x10DE0000 ? static_cast<int>((value - 0x10DE0000) / 0x10 - 1)
                             : static_cast<int>(value - 0x1000);
}

// The texts each label has shown, in turn, from the first that is not "Please wait".
using LabelHistory = std::vector<std::vector<std::wstring>>;

void note_labels(HWND window, LabelHistory& history) {
  for (size_t row = 0; row < history.size(); ++row) {
    const std::wstring text = window_text(row_label(window, static_cast<int>(row)));
    auto& shown = history[row];
    if (text != PleaseWait && (shown.empty() || shown.back() != text)) shown.push_back(text);
  }
}

// Every thermal call for a GPU with a display follows a query of that display answering D0 in
// the same pass, and every D0 answer is followed by one.
void expect_reads_only_when_awake(const std::vector<std::string>& log, int gpus_with_displays) {
  std::map<int, bool> awake;
  for (const std::string& line : log) {
    if (line.find("PropertyW.PowerData tid=") != std::string::npos) {
      const int gpu = position_in(line);
      EXPECT_FALSE(awake[gpu]) << "GPU " << gpu << " was found awake and not read";
      awake[gpu] = log_field(line, "out") == "D0";
    } else if (line.find("NvAPI_GPU_GetThermalSettings tid=") != std::string::npos) {
      const int gpu = position_in(line);
      if (gpu >= gpus_with_displays) continue;
      EXPECT_TRUE(awake[gpu]) << "GPU " << gpu << " read while powered down: " << line;
      awake[gpu] = false;
    }
  }
}

size_t queries_of(const std::vector<std::string>& log, int position) {
  size_t count = 0;
  for (const std::string& line : log_lines_with(log, "PropertyW.PowerData tid="))
    count += position_in(line) == position;
  return count;
}

}  // namespace

TEST(Laptop, RowsFollowTheirGpusPowerStates) {
  SystemPlugAndPlay layer;
  const std::string scenario =
      gpu(1, 40) + display(1, "D3,D3,D0") +   // wakes in the third pass
      gpu(2, 41) + display(2, "D0") +         // awake: read every pass
      gpu(3, 42, "device=1") + display(3, "D3", "device=1") +  // asleep, at device 1: never read
      gpu(4, 43) + display(4, "D0,D3x5,D0") + // a short sleep keeps the reading
      gpu(5, 44) + display(5, "D0,D3x12,D0") +  // a long one shows it after ten passes
      gpu(6, 45) + display(6, "D0,D3,loop") +   // flickers every pass
      gpu(7, 46) + display(7, "D0") +           // awake, but the driver says not powered
      gpu(8, 47) +                              // no device: only the driver's word
      "fail NvAPI_GPU_GetThermalSettings=-220 gpu=6 from=2 to=13\n"
      "fail NvAPI_GPU_GetThermalSettings=-220 gpu=7 to=2\n";
  Program program = start_program(stage(L"laptop", {L"nvapi64.dll"}), scenario);
  Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
  ASSERT_NE(monitor.window, nullptr);

  LabelHistory history(8);
  // Row 4's device answers D0 once, then D3: its label after the 9th and the 10th D3.
  std::wstring after_nine;
  size_t queries_when_gone = 0;
  EXPECT_TRUE(wait_until(
      [&] {
        note_labels(monitor.window, history);
        const size_t queries = queries_of(read_log(program.log_path), 4);
        if (queries == 10 && after_nine.empty())
          after_nine = window_text(row_label(monitor.window, 4));
        if (history[4].size() == 2 && !queries_when_gone) queries_when_gone = queries;
        EXPECT_EQ(wait_for_error_box(program, 0), nullptr) << "no box for a GPU asleep";
        return history[4].size() == 3 && history[6].size() == 3 && history[7].size() == 2;
      },
      25000));
  close_monitor(monitor);

  EXPECT_EQ(history[0], (std::vector<std::wstring>{PoweredDown, reading(40)}));
  EXPECT_EQ(history[1], std::vector<std::wstring>{reading(41)});
  EXPECT_EQ(history[2], std::vector<std::wstring>{PoweredDown});
  EXPECT_EQ(history[3], std::vector<std::wstring>{reading(43)});
  EXPECT_EQ(history[4], (std::vector<std::wstring>{reading(44), PoweredDown, reading(44)}));
  EXPECT_EQ(after_nine, reading(44));
  EXPECT_EQ(queries_when_gone, 11u) << "gone at the tenth powered-down pass";
  EXPECT_EQ(history[5], std::vector<std::wstring>{reading(45)});
  EXPECT_EQ(history[6], (std::vector<std::wstring>{reading(46), PoweredDown, reading(46)}));
  EXPECT_EQ(history[7], (std::vector<std::wstring>{PoweredDown, reading(47)}));

  const auto log = read_log(program.log_path);
  expect_reads_only_when_awake(log, 7);
  EXPECT_EQ(log_lines_with(log, "CM_Get_Device_ID_List_SizeW tid=").size(), 2u)
      << "the display devices once, and the compute accelerators, where a compute GPU could be";
  EXPECT_EQ(log_field(log_lines_with(log, "CM_Get_Device_ID_ListW")[0], "args"),
            "{4d36e968-e325-11ce-bfc1-08002be10318}");
  EXPECT_NE(log_lines_with(log, "CM_Get_Device_ID_ListW")[0].find(",0x300 "), std::string::npos);
  EXPECT_EQ(log_lines_with(log, "NvAPI_GPU_GetBusId tid=").size(), 8u);
  EXPECT_EQ(log_lines_with(log, "NvAPI_GPU_GetBusSlotId tid=").size(), 8u);
  EXPECT_TRUE(log_has(log, "cfgmgr32.dll unload")) << "an orderly end unloads it as usual";
}

// Only "not powered" is no failure: any other status still ends the readings with one box, and
// then no row goes on showing a number that nothing refreshes.
TEST(Laptop, NotPoweredIsNoFailureButOtherStatusesStillAre) {
  Program program = run_program(L"laptop-status", {L"nvapi64.dll"},
                                gpu(1, 40) + gpu(2, 41) + gpu(3, 42) +
                                    "fail NvAPI_GPU_GetThermalSettings=-220 gpu=0 to=1\n"
                                    "fail NvAPI_GPU_GetThermalSettings=-1 gpu=1 from=3\n"
                                    "fail NvAPI_GPU_GetThermalSettings=-220 gpu=2\n");
  Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(40))) << "read again after -220";
  EXPECT_EQ(answer_error_boxes(program, 1),
            std::vector<std::wstring>{L"Unable to get thermal settings"});
  const std::vector<std::wstring> ended{L"No reading", L"No reading", PoweredDown};
  const auto labels = [&] {
    std::vector<std::wstring> texts;
    for (int row = 0; row < 3; ++row) texts.push_back(window_text(row_label(monitor.window, row)));
    return texts;
  };
  EXPECT_TRUE(wait_until([&] { return labels() == ended; }));
  const size_t calls = log_lines_with(read_log(program.log_path), "GetThermalSettings tid=").size();
  // Passes come once a second: by now the worker would have read again or shown a box.
  EXPECT_FALSE(
      happens_within([&] { return wait_for_error_box(program, 0) || labels() != ended; }, 2500));
  close_monitor(monitor);
  const auto log = log_lines_with(read_log(program.log_path), "GetThermalSettings tid=");
  EXPECT_EQ(log.size(), calls);
  EXPECT_EQ(log_field(log.back(), "status"), "-1") << "no call after the failing one";
}

// Adapter 0 is a current card, read through ADL2 when awake; adapter 1 is hidden as its
// duplicate. Displays beside its location differ only in device or function number. Adapters
// 3 and 4 cannot be read once they have slept.
TEST(Laptop, AmdAdapterAsleepIsNotAskedByAnyPathAndNotShownStale) {
  SystemPlugAndPlay layer;
  const std::string scenario =
      "adapter bus=3 edge=60\nadapter bus=3\nadapter bus=4 index=2 temps=45000\n"
      "adapter bus=5 temps=47000\nadapter bus=6\n"
      "fail ADL_Overdrive5_Temperature_Get=-8 adapter=0\n"
      "fail ADL_Overdrive5_Temperature_Get=-1 adapter=3 from=5\n"
      "fail ADL_Overdrive5_Temperature_Get=-1 adapter=4\n" +
      display(3, "D3") + display(3, "D0", "function=1") + display(3, "D0", "device=1") +
      display(4, "D0") + display(5, "D0x4,D3x5,D0") + display(6, "D3,D3,D0");
  Program program = start_program(stage(L"laptop-amd", {L"atiadlxx.dll"}), scenario);
  Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(row_count(monitor.window), 4);
  // Passes counted by row 2's power queries, made before row 3's in each pass.
  const PassLabels labels = labels_by_pass(
      monitor, 4, [](const std::vector<std::string>& log) { return queries_of(log, 4); }, 15);
  close_monitor(monitor);
  for (size_t pass = 1; pass <= labels.size(); ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    EXPECT_EQ(labels[pass - 1],
              (std::vector<std::wstring>{
                  PoweredDown, reading(45),
                  // Read 4 passes, asleep 5, then awake and failing: the tenth without a reading.
                  pass < 14 ? reading(47) : L"No reading",
                  // Powered down, then awake and failing.
                  pass < 3 ? PoweredDown : L"No reading"}));
  }

  const auto log = read_log(program.log_path);
  const auto adl2_reads = log_lines_with(log, "ADL2_New_QueryPMLogData_Get");
  for (const std::string& line : adl2_reads)
    EXPECT_EQ(line.find(",0,0x"), std::string::npos) << "the sleeping current card: " << line;
  EXPECT_FALSE(adl2_reads.empty()) << "the failing adapters were asked of ADL2";
  for (const std::string& line : log_lines_with(log, "ADL_Overdrive5_Temperature_Get"))
    EXPECT_NE(log_field(line, "args"), "0") << "the sleeping adapter: " << line;
  const int sleeper = static_cast<int>(queries_of(log, 0));
  EXPECT_GE(sleeper, 15);
  EXPECT_LE(std::abs(sleeper - static_cast<int>(queries_of(log, 3))), 1)
      << "each row's device once a pass";
  EXPECT_EQ(queries_of(log, 1) + queries_of(log, 2), 0u) << "the neighbours are no match";
}

TEST(Laptop, WithoutOneUsableDeviceARowIsReadAsToday) {
  const std::string asleep = display(1, "D3");
  enum Layer { Called, NotCalled, NotLoaded };
  const struct {
    const char* what;
    const wchar_t* system_layer;  // null: Wine's own
    Layer layer;
    std::string scenario;
    int rows_read;  // rows 0 .. rows_read - 1 show readings; a further row, if any, sleeps
  } cases[] = {
      {"each row's own reason", L"cfgmgr32.dll", Called,
       gpu(1, 40) + display(9, "D3") +                          // no device at its location
           gpu(2, 41) + display(2, "D3") + display(2, "D3") +   // two
           gpu(3, 42) + display(3, "D3") +                      // power query failing
           gpu(4, 43) + display(4, "D3") + gpu(5, 44) + display(5, "D3") +  // bus calls failing
           gpu(6, 45) + display(6, "D3") +                      // none of these: asleep
           "fail CM_Get_DevNode_PropertyW.PowerData=0x25 display=3\n"
           "fail NvAPI_GPU_GetBusId=-1 gpu=3\nfail NvAPI_GPU_GetBusSlotId=-1 gpu=4\n",
       5},
      {"a device whose bus cannot be read", L"cfgmgr32.dll", Called,
       gpu(1, 40) + asleep + "display bus=none\n", 1},
      {"no bus call in the driver", L"cfgmgr32.dll", Called,
       gpu(1, 40) + asleep + "missing NvAPI_GPU_GetBusId\n", 1},
      {"a layer without the property call", L"variants\\no_property\\cfgmgr32.dll", NotCalled,
       gpu(1, 40) + asleep, 1},
      // Under Wine this holds in the default load order only: a native override makes Wine look
      // for a library of a built-in name in the program's folder, whatever path it was given.
      {"a layer beside the program only", nullptr, NotLoaded, gpu(1, 40) + asleep, 1},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    std::unique_ptr<SystemPlugAndPlay> layer;
    if (test.system_layer) layer = std::make_unique<SystemPlugAndPlay>(test.system_layer);
    std::vector<std::wstring> drivers{L"nvapi64.dll"};
    if (test.layer == NotLoaded) drivers.push_back(L"cfgmgr32.dll");
    Program program = start_program(stage(L"laptop-today", drivers), test.scenario);
    Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
    ASSERT_NE(monitor.window, nullptr);
    for (int row = 0; row < test.rows_read; ++row)
      EXPECT_TRUE(wait_for_label(monitor.window, row, reading(40 + row))) << "row " << row;
    if (row_count(monitor.window) > test.rows_read) {
      EXPECT_TRUE(wait_for_label(monitor.window, test.rows_read, PoweredDown));
    }
    close_monitor(monitor);
    const auto log = read_log(program.log_path);
    EXPECT_EQ(log_has(log, "cfgmgr32.dll CM_"), test.layer == Called);
    EXPECT_EQ(log_has(log, "cfgmgr32.dll load"), test.layer != NotLoaded);
  }
}

TEST(Laptop, EverythingAwakeAddsOnlyTheBusCalls) {
  // The calls up to the sixth reading, less the bus calls and their look-ups.
  const auto vendor_calls = [](const std::vector<std::string>& log, const std::string& module,
                               const char* reading_call) {
    std::vector<std::string> calls;
    size_t readings = 0;
    for (const std::string& line : log) {
      if (line.rfind(module, 0) != 0 || line.find("GetBus") != std::string::npos ||
          line.find("0x1BE0B8E5") != std::string::npos ||
          line.find("0x2A0A350F") != std::string::npos)
        continue;
      std::string call = line.substr(0, line.find(' ', module.size() + 1));
      if (call.find("QueryInterface") != std::string::npos) call += " " + log_field(line, "args");
      calls.push_back(call + " " + log_field(line, "out"));
      if (line.find(reading_call) != std::string::npos && ++readings == 6) break;
    }
    EXPECT_EQ(readings, 6u);
    return calls;
  };
  const struct {
    std::wstring driver;
    std::string module;
    const char* reading_call;
    std::string scenario;
  } vendors[] = {
      {L"nvapi64.dll", "nvapi64.dll", "NvAPI_GPU_GetThermalSettings",
       gpu(1, 40) + gpu(2, 41, "device=3")},
      {L"atiadlxx.dll", "atiadlxx.dll", "ADL_Overdrive5_Temperature_Get",
       "adapter bus=1 temps=40000\nadapter bus=2 device=3 temps=41000\n"},
  };
  for (const auto& vendor : vendors) {
    SCOPED_TRACE(vendor.module);
    std::vector<std::string> logs[2];
    for (const bool with_layer : {false, true}) {
      std::unique_ptr<SystemPlugAndPlay> layer;
      if (with_layer) layer = std::make_unique<SystemPlugAndPlay>();
      const std::string scenario =
          vendor.scenario + display(1, "D0") + display(2, "D0", "device=3");
      Program program = start_program(stage(L"laptop-awake", {vendor.driver}), scenario);
      Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
      ASSERT_NE(monitor.window, nullptr);
      EXPECT_TRUE(wait_until(
          [&] {
            return log_lines_with(read_log(program.log_path), vendor.reading_call).size() >= 6;
          },
          8000));
      close_monitor(monitor);
      logs[with_layer] = read_log(program.log_path);
    }
    EXPECT_FALSE(log_has(logs[0], "PowerData")) << "without the layer nothing is found";
    EXPECT_TRUE(log_has(logs[1], "PowerData"));
    EXPECT_EQ(vendor_calls(logs[1], vendor.module, vendor.reading_call),
              vendor_calls(logs[0], vendor.module, vendor.reading_call));
  }
}

TEST(Laptop, NoLibraryIsTakenFromTheWorkingDirectory) {
  const std::wstring downloads = fresh_dir(L"downloads");
  ASSERT_TRUE(CopyFileW((drivers_dir() + L"\\atiadlxx.dll").c_str(),
                        (downloads + L"\\atiadlxx.dll").c_str(), FALSE));
  Program program = start_program(stage(L"laptop-cwd", {L"nvapi64.dll"}), gpu(1, 40),
                                  downloads);
  Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(40)));
  close_monitor(monitor);
  const auto log = read_log(program.log_path);
  EXPECT_TRUE(log_has(log, "nvapi64.dll load"));
  EXPECT_FALSE(log_has(log, "atiadlxx.dll")) << "the planted library was loaded";
}

TEST(Laptop, AWorkerCutOffInThePowerQueryEndsTheProgramWithoutCallingIt) {
  SystemPlugAndPlay layer;
  Program program = start_program(stage(L"laptop-hang", {L"nvapi64.dll"}),
                                  gpu(1, 40) + display(1, "D0") +
                                      "hang CM_Get_DevNode_PropertyW.PowerData from=2\n");
  Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_until([&] { return log_has(read_log(program.log_path), "status=hang"); }));
  close_monitor(monitor);
  EXPECT_FALSE(log_has(read_log(program.log_path), "cfgmgr32.dll unload"));
}
