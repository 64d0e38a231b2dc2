// The monitor on an AMD machine, end to end: rows, titles, geometry and readings against the
// simulated ADL, and what the user sees when ADL answers badly.
#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

std::string adapter(const char* name, int bus, int device, int function, const char* temps) {
  return std::string("adapter name=\"") + name + "\" udid=\"PCI_VEN_1002&" + name +
         "\" bus=" + std::to_string(bus) + " device=" + std::to_string(device) +
         " function=" + std::to_string(function) + " temps=" + temps + "\n";
}

Monitor start_monitor(const std::string& scenario,
                      const std::vector<std::wstring>& drivers = {L"atiadlxx.dll"}) {
  return ::start_monitor(L"amd", drivers, scenario);
}

}  // namespace

TEST(AmdMonitor, TwoAdaptersGiveNamedRowsWithReadingsAndAnOrderlyShutdown) {
  Monitor monitor = start_monitor(adapter("Radeon A", 3, 0, 0, "45999") +
                                  adapter("Radeon B", 8, 0, 0, "100000"));
  ASSERT_NE(monitor.window, nullptr);
  const SIZE client = client_size(monitor.window);
  EXPECT_EQ(client.cx, 280);
  EXPECT_EQ(client.cy, 122);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{L"GPU # 0   -   Radeon A", L"GPU # 1   -   Radeon B"}));
  EXPECT_TRUE(rect_is(rect_in_parent(row_frame(monitor.window, 1)), 14, 63, 253, 50));
  EXPECT_TRUE(rect_is(rect_in_parent(row_label(monitor.window, 1)), 15, 75, 250, 35));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, L"45\u00b0C  (113 \u00b0F)"));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"100\u00b0C  (212 \u00b0F)"));
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  const auto create = log_lines_with(log, "ADL_Main_Control_Create");
  ASSERT_EQ(create.size(), 1u);
  EXPECT_EQ(create[0].find("args=0,"), std::string::npos) << "needs a real allocation callback";
  EXPECT_NE(create[0].find(",1 status=0"), std::string::npos);
  EXPECT_TRUE(log_has(log, "ADL_Adapter_AdapterInfo_Get")) << "asked with two records";
  EXPECT_NE(log_lines_with(log, "ADL_Adapter_AdapterInfo_Get")[0].find(",3144 "),
            std::string::npos);
  EXPECT_TRUE(log_has(log, "ADL_Overdrive5_Temperature_Get tid=") &&
              log_has(log, "args=1,0,"));
  // The main control is destroyed after the last reading, at shutdown.
  ASSERT_FALSE(log.empty());
  size_t destroy = log.size(), last_reading = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].find("ADL_Main_Control_Destroy") != std::string::npos) destroy = i;
    if (log[i].find("ADL_Overdrive5_Temperature_Get") != std::string::npos) last_reading = i;
  }
  EXPECT_LT(destroy, log.size());
  EXPECT_GT(destroy, last_reading);
}

TEST(AmdMonitor, LabelTextsOfReadings) {
  const struct {
    const char* thousandths;
    const wchar_t* text;
  } readings[] = {
      {"0", L"0\u00b0C  (32 \u00b0F)"},
      {"-40000", L"-40\u00b0C  (-40 \u00b0F)"},
      {"-5000", L"-5\u00b0C  (23 \u00b0F)"},
      {"-500", L"0\u00b0C  (32 \u00b0F)"},  // truncated toward zero
      {"37999", L"37\u00b0C  (99 \u00b0F)"},  // 98.6 rounds up from the whole degree
      // The bounds of what a GPU can read; a value beyond them is no reading.
      {"255999", L"255\u00b0C  (491 \u00b0F)"},
      {"-273999", L"-273\u00b0C  (-459 \u00b0F)"},
  };
  std::string scenario;
  int bus = 1;
  for (const auto& reading : readings) scenario += adapter("R", bus++, 0, 0, reading.thousandths);
  Monitor monitor = start_monitor(scenario);
  ASSERT_NE(monitor.window, nullptr);
  int row = 0;
  for (const auto& reading : readings) {
    EXPECT_TRUE(wait_for_label(monitor.window, row, reading.text))
        << "row " << row << " reads " << narrow(window_text(row_label(monitor.window, row)));
    ++row;
  }
  close_monitor(monitor);
}

TEST(AmdMonitor, DuplicateAndBuslessAdaptersAreHidden) {
  const struct {
    std::string scenario;
    std::vector<std::wstring> titles;
    int client_height;
  } cases[] = {
      {adapter("A", 1, 0, 0, "1000") + adapter("B", 2, 0, 0, "2000") + adapter("C", 1, 0, 0, "3000"),
       {L"GPU # 0   -   A", L"GPU # 1   -   B"}, 122},
      {adapter("A", 0, 0, 0, "1000") + adapter("B", 3, 0, 0, "2000"), {L"GPU # 0   -   B"}, 97},
      {adapter("A", 0, 0, 0, "1000") + adapter("B", 0, 0, 0, "2000"), {}, 97},
      {adapter("A", 1, 0, 0, "1000") + adapter("B", 1, 0, 1, "2000"),
       {L"GPU # 0   -   A", L"GPU # 1   -   B"}, 122},
      {adapter("A", 5, 1, 0, "1000") + adapter("B", 5, 1, 0, "2000") +
           adapter("C", 5, 1, 0, "3000") + adapter("D", 5, 1, 0, "4000"),
       {L"GPU # 0   -   A"}, 97},
      {adapter("Lone", 0, 0, 0, "1000"), {L"GPU # 0   -   Lone"}, 97},
  };
  for (const auto& test : cases) {
    Monitor monitor = start_monitor(test.scenario);
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_EQ(frame_titles(monitor.window), test.titles) << test.scenario;
    EXPECT_EQ(client_size(monitor.window).cy, test.client_height) << test.scenario;
    // Label r belongs to the r-th shown adapter: row 1 of the first case reads adapter B.
    if (test.titles.size() == 2) {
      EXPECT_TRUE(wait_for_label(monitor.window, 1, L"2\u00b0C  (36 \u00b0F)")) << test.scenario;
    }
    close_monitor(monitor);
    const auto log = read_log(monitor.program.log_path);
    const auto readings = log_lines_with(log, "ADL_Overdrive5_Temperature_Get");
    for (const std::string& line : readings)
      EXPECT_EQ(line.find("args=2,"), std::string::npos) << "a hidden adapter was read";
  }
}

TEST(AmdMonitor, FailedReadingKeepsItsLabelAndLaterRowsKeepTheirNumbers) {
  Monitor monitor = start_monitor(adapter("A", 1, 0, 0, "40000") + adapter("B", 2, 0, 0, "41000") +
                                  "fail ADL_Overdrive5_Temperature_Get=-1 adapter=0\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"41\u00b0C  (106 \u00b0F)"));
  // Wait for a second pass over row 1, so that row 0 has failed at least twice.
  EXPECT_TRUE(wait_until([&] {
    return log_lines_with(read_log(monitor.program.log_path), "args=1,0,").size() >= 2;
  }));
  EXPECT_EQ(window_text(row_label(monitor.window, 0)), L"Please wait");
  close_monitor(monitor);
}

TEST(AmdMonitor, SetUpFailuresAreReportedAndTheWindowStillOpens) {
  const std::string two = adapter("A", 1, 0, 0, "40000") + adapter("B", 2, 0, 0, "41000");
  const struct {
    std::vector<std::wstring> drivers;
    std::string scenario;
    std::vector<std::wstring> boxes;
    int rows;
  } cases[] = {
      {{L"atiadlxx.dll"}, two + "fail ADL_Main_Control_Create=-1\ninit=lenient\n",
       {L"Unable to Create Main Control"}, 2},
      {{L"variants\\no_create\\atiadlxx.dll"}, two + "init=lenient\n",
       {L"Unable to Create Main Control"}, 2},
      {{L"atiadlxx.dll"}, "count=0\n",
       {L"Unable to get the number of adapters", L"Unable to get adapter's info"}, 0},
      {{L"atiadlxx.dll"}, "count=-1\n",
       {L"Unable to get the number of adapters", L"Unable to get adapter's info"}, 0},
      {{L"variants\\no_count\\atiadlxx.dll"}, two,
       {L"Unable to get the number of adapters", L"Unable to get adapter's info"}, 0},
      // Information refused: a row per reported adapter, built from empty records.
      {{L"atiadlxx.dll"}, two + "fail ADL_Adapter_AdapterInfo_Get=-1\n",
       {L"Unable to get adapter's info"}, 2},
      {{L"variants\\no_adapterinfo\\atiadlxx.dll"}, two, {L"Unable to get adapter's info"}, 2},
  };
  for (const auto& test : cases) {
    Program program = run_program(L"amd-setup", test.drivers, test.scenario);
    EXPECT_EQ(answer_error_boxes(program, test.boxes.size()), test.boxes) << test.scenario;
    Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
    ASSERT_NE(monitor.window, nullptr) << test.scenario;
    EXPECT_EQ(row_count(monitor.window), test.rows) << test.scenario;
    if (test.boxes.back() == L"Unable to get adapter's info") {
      EXPECT_EQ(client_size(monitor.window).cy, 97) << "no adapter counts as displayed";
      if (test.rows > 0) {
        EXPECT_EQ(window_text(row_frame(monitor.window, 0)), L"GPU # 0   -   ");
      }
    }
    close_monitor(monitor);
  }
}

TEST(AmdMonitor, TwelveAdaptersGiveTwelveCompleteRows) {
  std::string scenario;
  for (int bus = 1; bus <= 12; ++bus) scenario += adapter("R", bus, 0, 0, "30000");
  Monitor monitor = start_monitor(scenario);
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(client_size(monitor.window).cy, 12 * 61);
  for (int row = 0; row < 12; ++row) {
    EXPECT_EQ(window_text(row_frame(monitor.window, row)),
              L"GPU # " + std::to_wstring(row) + L"   -   R");
    EXPECT_TRUE(rect_is(rect_in_parent(row_frame(monitor.window, row)), 14, 55 * row + 8, 253, 50));
    EXPECT_TRUE(rect_is(rect_in_parent(row_label(monitor.window, row)), 15, 55 * row + 20, 250, 35));
    EXPECT_TRUE(wait_for_label(monitor.window, row, L"30\u00b0C  (86 \u00b0F)")) << row;
  }
  close_monitor(monitor);
}

TEST(AmdMonitor, ReadingsFollowTheDriverOncePerPass) {
  Monitor monitor = start_monitor(adapter("A", 1, 0, 0, "40000,41000"));
  ASSERT_NE(monitor.window, nullptr);
  ASSERT_TRUE(wait_for_label(monitor.window, 0, L"40\u00b0C  (104 \u00b0F)"));
  const ULONGLONG first = GetTickCount64();
  ShareClock clock = share_clock_start();
  EXPECT_TRUE(wait_for_label(monitor.window, 0, L"41\u00b0C  (106 \u00b0F)", 3000));
  EXPECT_GE(GetTickCount64() - first, 800u);
  EXPECT_LE(share_clock_ms(clock), 1500.0);
  close_monitor(monitor);
}

// ADL says nothing when the driver goes away: every awake row failing three passes in a row, after
// readings came, is the sign. Rows that never read are no such sign.
namespace {

const RestartVendor Amd{L"amd-restart", {L"atiadlxx.dll"}, "ADL_Overdrive5_Temperature_Get",
                        "ADL_Main_Control_Create"};
const std::string RestartCards = adapter("A", 1, 0, 0, "41000") +
                                 adapter("B", 2, 0, 0, "52000") + adapter("C", 3, 0, 0, "63000");

}  // namespace

TEST(AmdMonitor, ReadingsComeBackByThemselvesAfterTheDriverRestarts) {
  const std::vector<std::wstring> own{reading_text(41), reading_text(52), reading_text(63)};
  const std::wstring gone = L"No reading";
  const RestartCase cases[] = {
      {"listed in reverse, new indices", RestartCards + "restart at=7 order=reverse away=2000\n",
       own, {}},
      {"an adapter gone", RestartCards + "restart at=7 drop=1\n", {own[0], gone, own[2]}, {}},
  };
  for (const RestartCase& test : cases) run_restart_case(Amd, test);
}

TEST(AmdMonitor, WhileTheDriverStaysAwayItIsSetUpAgainLessAndLessOften) {
  run_stays_away_case(Amd, RestartCards);
}

TEST(AmdMonitor, RowsThatNeverReadAreNoSignOfARestart) {
  Monitor monitor = start_monitor(RestartCards + "fail ADL_Overdrive5_Temperature_Get=-1\n" +
                                  "fail ADL2_Main_Control_Create=-1\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_until(
      [&] {
        return log_lines_with(read_log(monitor.program.log_path), "Overdrive5_Temperature_Get")
                   .size() >= 18;
      },
      15000));
  close_monitor(monitor);
  EXPECT_EQ(log_lines_with(read_log(monitor.program.log_path), "ADL_Main_Control_Create").size(),
            1u)
      << "rows that never read: ADL created once";
}

// One adapter that reads, fails two passes (calls 3 and 4), reads again, then fails three (7 to
// 9): only a third failing pass in a row is the sign, so ADL's main control is destroyed and
// created again once, at the start of the pass after call 9, and never for the shorter run.
TEST(AmdMonitor, OnlyTheThirdFailingPassInARowIsTakenForTheDriverGoneAway) {
  Monitor monitor = start_monitor(adapter("A", 1, 0, 0, "41000") +
                                  "fail ADL_Overdrive5_Temperature_Get=-1 from=3 to=4\n"
                                  "fail ADL_Overdrive5_Temperature_Get=-1 from=7 to=9\n");
  ASSERT_NE(monitor.window, nullptr);
  const std::string reading = "ADL_Overdrive5_Temperature_Get tid=";
  EXPECT_TRUE(wait_until(
      [&] { return log_lines_with(read_log(monitor.program.log_path), reading).size() >= 11; },
      30000));
  close_monitor(monitor);
  // The main control's life against the readings, in log order: C created, D destroyed, R one
  // Overdrive5 call.
  std::string trace;
  for (const std::string& line : read_log(monitor.program.log_path)) {
    if (line.find(reading) != std::string::npos) trace += 'R';
    else if (line.find("ADL_Main_Control_Create tid=") != std::string::npos) trace += 'C';
    else if (line.find("ADL_Main_Control_Destroy tid=") != std::string::npos) trace += 'D';
  }
  const std::string expected = "C" + std::string(9, 'R') + "DC" + std::string(2, 'R');
  EXPECT_EQ(trace.substr(0, expected.size()), expected);
  EXPECT_EQ(trace.find_first_not_of('R', expected.size()), trace.size() - 1)
      << "then only readings until the shutdown's destroy: " << trace;
}
