// The monitor on an NVIDIA machine, end to end: rows named after the GPUs, readings against the
// simulated NVAPI, the thermal record it is handed, and what the user sees when NVAPI fails.
#include <gtest/gtest.h>

#include <iterator>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

std::string gpu(const char* name, const char* temps) {
  return std::string("gpu name=\"") + name + "\" temps=" + temps + "\n";
}

Monitor start_monitor(const std::string& scenario,
                      const std::vector<std::wstring>& drivers = {L"nvapi64.dll"}) {
  return ::start_monitor(L"nvidia", drivers, scenario);
}

std::vector<std::string> thermal_calls(const Program& program) {
  return log_lines_with(read_log(program.log_path), "NvAPI_GPU_GetThermalSettings tid=");
}

}  // namespace

TEST(NvidiaMonitor, TwoGpusGiveNamedRowsWithReadingsAndAVersionOneRecord) {
  Monitor monitor = start_monitor(gpu("GeForce A", "41") + gpu("GeForce B", "-5"));
  ASSERT_NE(monitor.window, nullptr);
  const SIZE client = client_size(monitor.window);
  EXPECT_EQ(client.cx, 280);
  EXPECT_EQ(client.cy, 122);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{L"GPU # 0   -   GeForce A", L"GPU # 1   -   GeForce B"}));
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(GetDlgItem(monitor.window, 10 + row), row_frame(monitor.window, row));
    EXPECT_TRUE(rect_is(rect_in_parent(row_frame(monitor.window, row)), 24, 55 * row + 8, 233, 50));
    EXPECT_TRUE(rect_is(rect_in_parent(row_label(monitor.window, row)), 25, 55 * row + 20, 230, 35));
  }
  EXPECT_TRUE(wait_for_label(monitor.window, 0, L"41\u00b0C  (106 \u00b0F)"));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"-5\u00b0C  (23 \u00b0F)"));
  // Later passes hand back the record the driver wrote into: it must be set again every time.
  EXPECT_TRUE(wait_until([&] { return thermal_calls(monitor.program).size() >= 4; }));
  close_monitor(monitor);

  const auto calls = thermal_calls(monitor.program);
  ASSERT_GE(calls.size(), 4u);
  for (const std::string& call : calls) {
    EXPECT_NE(call.find(",0,0x"), std::string::npos) << "sensor index 0: " << call;
    EXPECT_NE(call.find(" version=0x00010044 sensors=0 controller=-1 target=1 "),
              std::string::npos)
        << call;
  }
}

TEST(NvidiaMonitor, LabelTextsOfReadings) {
  const struct {
    const char* temps;
    const wchar_t* text;
  } readings[] = {
      {"-5", L"-5\u00b0C  (23 \u00b0F)"},
      {"min32", L"-2147483648\u00b0C  (-3865470534 \u00b0F)"},
      {"max32", L"2147483647\u00b0C  (3865470597 \u00b0F)"},
  };
  std::string scenario;
  for (const auto& reading : readings) scenario += gpu("G", reading.temps);
  Monitor monitor = start_monitor(scenario);
  ASSERT_NE(monitor.window, nullptr);
  for (int row = 0; row < static_cast<int>(std::size(readings)); ++row) {
    EXPECT_TRUE(wait_for_label(monitor.window, row, readings[row].text))
        << "row " << row << " reads " << narrow(window_text(row_label(monitor.window, row)));
  }
  close_monitor(monitor);
}

TEST(NvidiaMonitor, NamesThatFailOrRunToTheBufferEndStayInBounds) {
  Monitor monitor = start_monitor(gpu("A", "40") + gpu("B", "41") +
                                  "gpu name=\"Endless\" noterm\n"
                                  "fail NvAPI_GPU_GetFullName=-1 gpu=1\n");
  ASSERT_NE(monitor.window, nullptr);
  std::wstring endless;
  while (endless.size() < 64) endless += L"Endless";
  endless.resize(64);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{L"GPU # 0   -   A", L"GPU # 1   -    ",
                                       L"GPU # 2   -   " + endless}));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"41\u00b0C  (106 \u00b0F)"));
  close_monitor(monitor);
}

TEST(NvidiaMonitor, FailedThermalReadStopsTheWorkerAfterOneBox) {
  const std::string scenario =
      gpu("A", "41") + gpu("B", "42") + "fail NvAPI_GPU_GetThermalSettings=-1 gpu=1\n";
  for (bool dismiss : {true, false}) {
    Monitor monitor = start_monitor(scenario);
    ASSERT_NE(monitor.window, nullptr);
    HWND box = wait_for_error_box(monitor.program);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(message_box_text(box), L"Unable to get thermal settings");
    const std::wstring reading = L"41\u00b0C  (106 \u00b0F)";
    EXPECT_EQ(window_text(row_label(monitor.window, 0)), reading);
    EXPECT_EQ(window_text(row_label(monitor.window, 1)), L"Please wait");
    if (dismiss) {
      press_ok(box);
      EXPECT_TRUE(wait_until([&] { return !IsWindow(box); }));
      // Nothing reads row 0 again, so its number goes; row 1 never showed one.
      EXPECT_TRUE(wait_for_label(monitor.window, 0, L"No reading"));
      // Passes come once a second: by now the worker would have read again and shown a box.
      EXPECT_FALSE(happens_within(
          [&] {
            return window_text(row_label(monitor.window, 0)) != L"No reading" ||
                   window_text(row_label(monitor.window, 1)) != L"Please wait" ||
                   wait_for_error_box(monitor.program, 0) != nullptr;
          },
          2500));
    }
    // Closing works with the box still open, too. The box is modal to the window, which then
    // takes no close command from its title bar, only a close request (as "End task" sends).
    close_monitor(monitor, dismiss ? CloseBy::SystemCommand : CloseBy::CloseMessage);
    const auto calls = thermal_calls(monitor.program);
    ASSERT_EQ(calls.size(), 2u) << "nothing read after the failing call";
    EXPECT_NE(calls[1].find("status=-1"), std::string::npos);
    EXPECT_EQ(log_lines_with(read_log(monitor.program.log_path), "NvAPI_EnumPhysicalGPUs tid=")
                  .size(),
              1u)
        << "a plain failure is no driver restart";
  }
}

TEST(NvidiaMonitor, SetUpFailuresLeaveAnEmptyWindowWhoseWorkerOnlyWaits) {
  const std::string two = gpu("A", "41") + gpu("B", "42");
  const struct {
    std::vector<std::wstring> drivers;
    std::string scenario;
    const wchar_t* box;
  } cases[] = {
      {{L"nvapi64.dll"}, two + "fail NvAPI_Initialize=-1\n", L"Unable to Initialize NVAPI."},
      {{L"nvapi.dll"}, two, L"Unable to Initialize NVAPI."},
      {{L"nvapi64.dll"}, two + "fail NvAPI_EnumPhysicalGPUs=-1\n",
       L"Unable to take number of physical gpus."},
  };
  for (const auto& test : cases) {
    Program program = run_program(L"nvidia-setup", test.drivers, test.scenario);
    EXPECT_EQ(answer_error_boxes(program, 1), std::vector<std::wstring>{test.box})
        << test.scenario;
    Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
    ASSERT_NE(monitor.window, nullptr) << test.scenario;
    const SIZE client = client_size(monitor.window);
    EXPECT_EQ(client.cx, 288);
    EXPECT_EQ(client.cy, 97);
    EXPECT_EQ(row_count(monitor.window), 0) << test.scenario;
    EXPECT_FALSE(happens_within(
        [&] {
          return !thermal_calls(program).empty() || wait_for_error_box(program, 0) != nullptr;
        },
        1500))
        << test.scenario;
    close_monitor(monitor);
  }
}

TEST(NvidiaMonitor, UpToSixtyFourGpusAreShownAndLargerCountsAreClamped) {
  for (const char* count : {"count=64\n", "count=200\n"}) {
    Monitor monitor = start_monitor(count);
    ASSERT_NE(monitor.window, nullptr) << count;
    EXPECT_EQ(row_count(monitor.window), 64) << count;
    EXPECT_EQ(GetDlgItem(monitor.window, 64), row_frame(monitor.window, 0)) << "frames after labels";
    EXPECT_EQ(window_text(row_frame(monitor.window, 63)), L"GPU # 63   -   Simulated GPU 63");
    EXPECT_TRUE(wait_for_label(monitor.window, 63, L"50\u00b0C  (122 \u00b0F)")) << count;
    close_monitor(monitor);
    EXPECT_EQ(log_lines_with(read_log(monitor.program.log_path), "NvAPI_GPU_GetFullName tid=").size(),
              64u);
  }
}

namespace {

const RestartVendor Nvidia{L"nvidia-restart", {L"nvapi64.dll"}, "NvAPI_GPU_GetThermalSettings",
                           "NvAPI_Initialize"};
const std::string RestartGpus =
    gpu("GeForce A", "41") + gpu("GeForce B", "52") + gpu("GeForce C", "63");

}  // namespace

TEST(NvidiaMonitor, ReadingsComeBackByThemselvesAfterTheDriverRestarts) {
  const std::vector<std::wstring> own{reading_text(41), reading_text(52), reading_text(63)};
  const std::wstring gone = L"No reading";
  const RestartCase cases[] = {
      {"listed in reverse, new handles", RestartGpus + "restart at=7 order=reverse away=2000\n",
       own, {}},
      {"the session lost: NVAPI initialised again",
       RestartGpus + "restart at=7 order=reverse status=-4 away=2000\n", own, {}},
      {"a GPU gone", RestartGpus + "restart at=7 drop=1\n", {own[0], gone, own[2]}, {}},
  };
  for (const RestartCase& test : cases) run_restart_case(Nvidia, test);

  // A GPU missing from the listing after the restart, listed again a few seconds later: the
  // listing made ten passes after the one that missed it finds it, and its row is read through
  // its new handle. Passes are counted by the first GPU's reads, one a pass.
  Monitor back = start_monitor(RestartGpus + "restart at=7 drop=1 back=3000\n");
  ASSERT_NE(back.window, nullptr);
  const auto read_again = [&] {
    for (const std::string& line : thermal_calls(back.program))
      if (line.find("args=0x10DE1020,0,") != std::string::npos && log_field(line, "status") == "0")
        return true;
    return false;
  };
  const auto passes = [&] {
    size_t count = 0;
    for (const std::string& line : thermal_calls(back.program))
      count += line.find("args=0x10DE0010,") != std::string::npos ||
               line.find("args=0x10DE1010,") != std::string::npos;
    return count;
  };
  wait_until([&] { return read_again() || passes() >= 20; }, 60000);
  EXPECT_TRUE(read_again()) << "after " << passes() << " passes";
  EXPECT_TRUE(wait_for_label(back.window, 1, own[1]));
  close_monitor(back);
}

TEST(NvidiaMonitor, WhileTheDriverStaysAwayItIsSetUpAgainLessAndLessOften) {
  run_stays_away_case(Nvidia, RestartGpus);
}
