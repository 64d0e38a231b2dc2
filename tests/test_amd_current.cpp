// Current AMD GPUs, whose drivers refuse the Overdrive5 read: their readings come through ADL2
// (the performance log, then OverdriveN), end to end against the simulated ADL, and a driver
// without ADL2, or whose Overdrive5 reads work, sees exactly the calls it always saw.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/harness.h"

namespace {

const std::wstring PleaseWait = L"Please wait";
const std::wstring Adl = L"atiadlxx.dll";

// One adapter whose Overdrive5 read fails with `status`, described further by `sensors`.
std::string current_card(const std::string& sensors, int status = -8) {
  return "adapter name=\"Radeon\" bus=3 " + sensors + "\nfail ADL_Overdrive5_Temperature_Get=" +
         std::to_string(status) + "\n";
}

std::string function_of(const std::string& line) {
  const size_t start = line.find(' ') + 1;
  return line.substr(start, line.find(' ', start) - start);
}

std::vector<std::string> functions(const std::vector<std::string>& log) {
  std::vector<std::string> names;
  for (const std::string& line : log) names.push_back(function_of(line));
  return names;
}

size_t last_index_of(const std::vector<std::string>& names, const std::string& prefix) {
  size_t found = names.size();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i].rfind(prefix, 0) == 0) found = i;
  return found;
}

// Shutdown of a run that created the ADL2 context and was not cut off: its destroy comes once,
// with the context it was given, after every other ADL2 call and before the main control's
// destroy; after that only the unload.
void expect_orderly_adl2_shutdown(const std::vector<std::string>& log) {
  const std::vector<std::string> names = functions(log);
  const auto destroys = log_lines_with(log, "ADL2_Main_Control_Destroy");
  ASSERT_EQ(destroys.size(), 1u);
  EXPECT_EQ(log_field(destroys[0], "args"),
            log_field(log_lines_with(log, "ADL2_Main_Control_Create")[0], "out"));
  EXPECT_EQ(log_field(destroys[0], "status"), "0");
  const size_t adl2_destroy = last_index_of(names, "ADL2_Main_Control_Destroy");
  const size_t adl1_destroy = last_index_of(names, "ADL_Main_Control_Destroy");
  ASSERT_LT(adl1_destroy, names.size());
  EXPECT_EQ(last_index_of(names, "ADL2_"), adl2_destroy);
  EXPECT_EQ(adl2_destroy + 1, adl1_destroy);
  EXPECT_EQ(std::vector<std::string>(names.begin() + adl1_destroy + 1, names.end()),
            std::vector<std::string>{"unload"});
}

struct Card {
  const char* what;
  std::wstring driver;
  std::string scenario;
  std::vector<std::wstring> labels;  // what label 0 shows, in turn; empty: it keeps Please wait
  int adl2_creates;                  // 0: no ADL2 call at all
  bool context_made = true;          // the one create succeeded
  bool hangs = false;                // an ADL2 call never returns: close once it hangs
};

const Card Cards[] = {
    {"current card: the log's edge sensor", Adl, current_card("edge=61,62"),
     {L"61\u00b0C  (142 \u00b0F)", L"62\u00b0C  (144 \u00b0F)", L"61\u00b0C  (142 \u00b0F)"}, 1},
    {"integrated GPU: no edge sensor, GFX", Adl, current_card("edge=off gfx=48"),
     {L"48\u00b0C  (118 \u00b0F)"}, 1},
    {"implausible sensors are passed over for SOC", Adl,
     current_card("edge=max32 gfx=min32 soc=44"), {L"44\u00b0C  (111 \u00b0F)"}, 1},
    {"older card: no log, OverdriveN", Adl,
     current_card("odn=70500", -100) + "fail ADL2_New_QueryPMLogData_Get=-8\n",
     {L"70\u00b0C  (158 \u00b0F)"}, 1},
    {"an unsupported sensor's value is not a reading", Adl, current_card("edge=off:61"), {}, 1},
    {"every sensor unsupported and OverdriveN failing", Adl,
     current_card("edge=off gfx=off soc=off odn=60000") +
         "fail ADL2_OverdriveN_Temperature_Get=-8\n",
     {}, 1},
    {"OverdriveN out of range", Adl, current_card("odn=54000000,-300000"), {}, 1},
    // Just past the highest plausible reading: a bound moved up would show 300 °C.
    {"300 degrees from the log and from OverdriveN", Adl, current_card("edge=300 odn=300000"), {},
     1},
    {"ADL2 context refused: asked once", Adl,
     current_card("edge=61") + "fail ADL2_Main_Control_Create=-1\n", {}, 1, false},
    {"no ADL2 destroy: ADL2 unused", L"variants\\no_adl2_destroy\\atiadlxx.dll",
     current_card("edge=61"), {}, 0},
    {"no performance log export: OverdriveN", L"variants\\no_pmlog\\atiadlxx.dll",
     current_card("edge=61 odn=70500"), {L"70\u00b0C  (158 \u00b0F)"}, 1},
    {"no Overdrive5 export", L"variants\\no_temperature\\atiadlxx.dll",
     "adapter bus=3 edge=61\n", {L"61\u00b0C  (142 \u00b0F)"}, 1},
    {"log call never returns", Adl,
     current_card("edge=61") + "hang ADL2_New_QueryPMLogData_Get from=2\n",
     {L"61\u00b0C  (142 \u00b0F)"}, 1, true, true},
};

void check_label0(const Monitor& monitor, const Card& card) {
  for (const std::wstring& text : card.labels)
    EXPECT_TRUE(wait_for_label(monitor.window, 0, text))
        << "reads " << narrow(window_text(row_label(monitor.window, 0)));
  if (!card.labels.empty()) return;
  // Two passes would have written a reading: the label keeps "Please wait" until the log shows
  // the third begin. Every pass asks Overdrive5 first.
  EXPECT_TRUE(holds_through_passes(
      monitor.program, [&] { return window_text(row_label(monitor.window, 0)) == PleaseWait; },
      [](const std::vector<std::string>& log) {
        return log_lines_with(log, "ADL_Overdrive5_Temperature_Get tid=").size();
      },
      3))
      << "reads " << narrow(window_text(row_label(monitor.window, 0)));
}

void check_calls(const std::vector<std::string>& log, const Card& card) {
  const auto creates = log_lines_with(log, "ADL2_Main_Control_Create");
  ASSERT_EQ(creates.size(), static_cast<size_t>(card.adl2_creates));
  if (card.adl2_creates == 0) {
    EXPECT_FALSE(log_has(log, "ADL2_"));
  } else if (!card.context_made) {
    EXPECT_EQ(log_lines_with(log, "ADL2_").size(), 1u) << "nothing but the one refused create";
  } else if (card.hangs) {
    EXPECT_FALSE(log_has(log, "Main_Control_Destroy")) << "no driver call after a cut-off";
  } else {
    expect_orderly_adl2_shutdown(log);
  }
}

}  // namespace

TEST(AmdCurrentGpus, ReadingsThroughAdl2WhereOverdrive5Fails) {
  for (const Card& card : Cards) {
    SCOPED_TRACE(card.what);
    Monitor monitor = start_monitor(L"amd-current", {card.driver}, card.scenario);
    ASSERT_NE(monitor.window, nullptr);
    check_label0(monitor, card);
    if (card.hangs) {
      EXPECT_TRUE(wait_until([&] { return log_has(read_log(monitor.program.log_path), "hang"); }));
    }
    close_monitor(monitor);
    check_calls(read_log(monitor.program.log_path), card);
  }
}

// An old and a current adapter side by side, and a hidden duplicate of the current one: each
// row takes its own path, and the hidden adapter is read by none.
const std::string MixedMachine =
    "adapter name=\"Old\" bus=1 index=0 temps=45000 edge=80\n"
    "adapter name=\"New\" bus=2 index=1 edge=61\n"
    "adapter name=\"Twin\" bus=2 index=2 edge=62\n"
    "fail ADL_Overdrive5_Temperature_Get=-8 adapter=1\n"
    "fail ADL_Overdrive5_Temperature_Get=-8 adapter=2\n";

TEST(AmdCurrentGpus, EachRowOnItsOwnPathAndHiddenAdaptersUnread) {
  Monitor monitor = start_monitor(L"amd-mixed", {Adl}, MixedMachine);
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(row_count(monitor.window), 2);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, L"45\u00b0C  (113 \u00b0F)"));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"61\u00b0C  (142 \u00b0F)"));
  close_monitor(monitor);
  const auto log = read_log(monitor.program.log_path);
  const auto log_reads = log_lines_with(log, "ADL2_New_QueryPMLogData_Get");
  ASSERT_FALSE(log_reads.empty());
  for (const std::string& line : log_reads)
    EXPECT_NE(line.find(",1,0x"), std::string::npos) << "only the current row: " << line;
  for (const std::string& line : log_lines_with(log, "ADL_Overdrive5_Temperature_Get"))
    EXPECT_EQ(line.find("args=2,"), std::string::npos) << "the hidden adapter was read";
  EXPECT_FALSE(log_has(log, "ADL2_OverdriveN")) << "the log gave its reading";
  expect_orderly_adl2_shutdown(log);
}

// Drivers that cannot serve ADL2, and drivers whose Overdrive5 reads all work, see the calls
// the monitor has always made: the set-up, Overdrive5 reads, the main control's destroy.
TEST(AmdCurrentGpus, OlderDriversSeeOnlyTheOverdrive5Calls) {
  const struct {
    std::wstring driver;
    std::string scenario;
  } runs[] = {
      {L"variants\\adl1_only\\atiadlxx.dll", MixedMachine},
      {Adl, "adapter bus=1 temps=45000 edge=80\nadapter bus=2 temps=46000 odn=70000\n"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.scenario);
    Monitor monitor = start_monitor(L"amd-older", {run.driver}, run.scenario);
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_TRUE(wait_for_label(monitor.window, 0, L"45\u00b0C  (113 \u00b0F)"));
    EXPECT_TRUE(wait_until([&] {
      return log_lines_with(read_log(monitor.program.log_path), "args=1,0,").size() >= 2;
    }));
    close_monitor(monitor);
    std::vector<std::string> names = functions(read_log(monitor.program.log_path));
    ASSERT_GE(names.size(), 6u);
    const auto reads = std::remove(names.begin() + 4, names.end() - 2,
                                   std::string("ADL_Overdrive5_Temperature_Get"));
    names.erase(reads, names.end() - 2);
    EXPECT_EQ(names, (std::vector<std::string>{"load", "ADL_Main_Control_Create",
                                               "ADL_Adapter_NumberOfAdapters_Get",
                                               "ADL_Adapter_AdapterInfo_Get",
                                               "ADL_Main_Control_Destroy", "unload"}));
  }
}

// A reading stays through nine passes without one and gives way to "No reading" at the tenth;
// the next reading shows at once. Row 0's paths all fail in passes 3 to 14, row 1's log answers
// an implausible value then, and row 2's every other pass.
TEST(AmdCurrentGpus, AReadingGoesStaleAfterTenPassesWithoutOne) {
  std::string implausible;
  for (int pass = 3; pass <= 14; ++pass) implausible += "max32,";
  const std::string scenario = "adapter bus=1 edge=61,61,62\nadapter bus=2 edge=61,61," +
                               implausible +
                               "62\nadapter bus=3 edge=61,max32\n"
                               "fail ADL_Overdrive5_Temperature_Get=-8\n"
                               "fail ADL2_New_QueryPMLogData_Get=-8 adapter=0 from=3 to=14\n";
  Monitor monitor = start_monitor(L"amd-stale", {Adl}, scenario);
  ASSERT_NE(monitor.window, nullptr);
  const PassLabels labels = labels_by_pass(
      monitor, 3,
      [](const std::vector<std::string>& log) {
        // A pass begins with its first row's call.
        return (log_lines_with(log, "ADL_Overdrive5_Temperature_Get tid=").size() + 2) / 3;
      },
      15);
  close_monitor(monitor);
  const std::wstring first = L"61\u00b0C  (142 \u00b0F)";
  for (size_t pass = 1; pass <= labels.size(); ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    const std::wstring stale = pass <= 11 ? first : L"No reading";
    EXPECT_EQ(labels[pass - 1],
              (std::vector<std::wstring>{pass == 15 ? L"62\u00b0C  (144 \u00b0F)" : stale,
                                         pass == 15 ? L"62\u00b0C  (144 \u00b0F)" : stale, first}));
  }
}
