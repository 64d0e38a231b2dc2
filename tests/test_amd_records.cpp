// A GPU that ADL lists once per display output, read through whichever of its records answers,
// end to end against the simulated ADL, ADLX and Plug and Play layer. Each machine shows the rows
// and the calls each record received.
#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

const std::wstring PleaseWait = L"Please wait";
const std::wstring Rx5700Xt = L"AMD Radeon RX 5700 XT";
constexpr int Records = 8;

const std::string Overdrive5 = "ADL_Overdrive5_Temperature_Get";

// The RX 5700 XT as a 2021 driver answered: eight records of the one GPU at bus 3, indices 0 to
// 7, and 100 to 107 after ADL's restart. Every call on a record answers ADL_ERR or "not
// supported", but on record `answering` (none for -1), whose Overdrive5 answers 47 °C, then 48.
std::string rx_5700_xt(int answering) {
  std::string lines;
  for (int i = 0; i < Records; ++i)
    lines += "adapter name=\"AMD Radeon RX 5700 XT\" udid=\"PCI_VEN_1002&DEV_731F&0" +
             std::to_string(i) + "\" index=" + std::to_string(i) + " bus=3" +
             (i == answering ? " temps=47000,48000\n" : "\n");
  for (const int restart : {0, 100})
    for (int i = 0; i < Records; ++i)
      if (i != answering)
        lines += "fail " + Overdrive5 + "=-1 adapter=" + std::to_string(restart + i) + "\n";
  return lines;
}

// The ADL adapter index a logged ADL call names: the first argument, the second for ADL2's.
int record_of(const std::string& line) {
  const size_t args = line.find(" args=") + 6;
  size_t at = args;
  if (line.find(" ADL2_") != std::string::npos) at = line.find(',', args) + 1;
  return std::stoi(line.substr(at, line.find(',', at) - at));
}

// How many calls of `function` (every temperature call for "_Get tid=") named each ADL index.
std::vector<size_t> calls_by_record(const std::vector<std::string>& log,
                                    const std::string& function, int count = 200) {
  std::vector<size_t> calls(static_cast<size_t>(count));
  for (const std::string& line : log_lines_with(log, function + " tid="))
    if (line.find("Temperature_Get") != std::string::npos ||
        line.find("QueryPMLogData_Get") != std::string::npos)
      ++calls.at(static_cast<size_t>(record_of(line)));
  return calls;
}

// Passes, counted by the calls on the row's own record.
PassCount passes_of_record(int index) {
  return [index](const std::vector<std::string>& log) {
    return calls_by_record(log, Overdrive5)[static_cast<size_t>(index)];
  };
}

Monitor watch(const Program& program) {
  return Monitor{program, wait_for_window(program, L"GPU Temperature")};
}

bool loaded_adlx(const Monitor& monitor) {
  return log_has(read_log(monitor.program.log_path), "amdadlx64.dll");
}

// The 5700 XT read through record 5: records 0 asked in two passes, 1 to 4 once (every ADL call
// each), 5 from the second pass on, 6 and 7 never.
void expect_read_through_record_5(const std::vector<std::string>& log) {
  const std::vector<size_t> overdrive5 = calls_by_record(log, Overdrive5);
  const std::vector<size_t> every_call = calls_by_record(log, "_Get");
  EXPECT_EQ(overdrive5[0], 2u) << "its own record, in its first two passes only";
  EXPECT_EQ(every_call[0], 6u);
  for (int record = 1; record < 5; ++record) {
    EXPECT_EQ(overdrive5[static_cast<size_t>(record)], 1u) << "record " << record;
    EXPECT_EQ(every_call[static_cast<size_t>(record)], 3u) << "record " << record;
  }
  EXPECT_GE(overdrive5[5], 2u);
  EXPECT_EQ(every_call[5], overdrive5[5]) << "Overdrive5 answers on record 5: nothing else asked";
  EXPECT_EQ(every_call[6] + every_call[7], 0u);
}

}  // namespace

TEST(AmdRecords, Rx5700XtIsReadThroughTheRecordThatAnswers) {
  // Drivers before 2023 had no ADLX. After ADL's restart, whose three failing passes end the
  // readings, the row starts again from its own record.
  Monitor older = start_monitor(L"rx5700", {L"atiadlxx.dll"}, rx_5700_xt(5));
  Monitor restarting = watch(
      start_program(stage(L"rx5700-restart", {}).dir, rx_5700_xt(5) + "restart at=9\n"));
  ASSERT_NE(older.window, nullptr);
  ASSERT_NE(restarting.window, nullptr);
  EXPECT_EQ(row_count(older.window), 1);
  EXPECT_TRUE(wait_for_label(older.window, 0, reading_text(47)));
  EXPECT_TRUE(wait_for_label(older.window, 0, reading_text(48)));
  EXPECT_TRUE(wait_until(
      [&] {
        const auto log = read_log(restarting.program.log_path);
        return log_has(log, "restart at=9") && calls_by_record(log, Overdrive5)[105] >= 2;
      },
      30000));
  EXPECT_TRUE(wait_for_label(restarting.window, 0, reading_text(48)));
  close_monitor(older);
  close_monitor(restarting);
  expect_read_through_record_5(read_log(older.program.log_path));
  auto log = read_log(restarting.program.log_path);
  const size_t restart = log_first_line_with(log, "restart at=9");
  log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(restart));
  const std::vector<size_t> after = calls_by_record(log, Overdrive5);
  EXPECT_EQ(after[100], 2u) << "its own record first again";
  EXPECT_EQ(after[101] + after[102] + after[103] + after[104], 4u);

  // With ADLX beside it, the row is still read through ADL's answering record: ADLX never loads.
  Monitor current = start_monitor(L"rx5700-adlx", {L"atiadlxx.dll", L"amdadlx64.dll"},
                                  rx_5700_xt(5) + "adlx bus=3 temps=90\n");
  ASSERT_NE(current.window, nullptr);
  EXPECT_TRUE(wait_for_label(current.window, 0, reading_text(48)));
  EXPECT_TRUE(holds_through_passes(
      current.program,
      [&] { return window_text(row_label(current.window, 0)) != reading_text(90); },
      passes_of_record(5), 4));
  close_monitor(current);
  expect_read_through_record_5(read_log(current.program.log_path));
  EXPECT_FALSE(loaded_adlx(current));
}

TEST(AmdRecords, AGpuNoRecordReadsWaitsOrGoesToAdlx) {
  // No ADLX: the row waits, its own record asked every pass, the others once and then again ten
  // passes after the round before, not every second.
  Monitor unread = start_monitor(L"unread", {L"atiadlxx.dll"}, rx_5700_xt(-1));
  ASSERT_NE(unread.window, nullptr);
  EXPECT_TRUE(holds_through_passes(
      unread.program, [&] { return window_text(row_label(unread.window, 0)) == PleaseWait; },
      passes_of_record(0), 14));
  close_monitor(unread);
  const std::vector<size_t> calls = calls_by_record(read_log(unread.program.log_path), "_Get");
  const size_t passes = calls[0] / 3;
  ASSERT_GE(passes, 13u);
  for (int record = 1; record < Records; ++record) {
    SCOPED_TRACE("record " + std::to_string(record));
    EXPECT_GE(calls[static_cast<size_t>(record)], 2u * 3) << "asked again, in pass 12";
    EXPECT_LE(calls[static_cast<size_t>(record)], (1 + (passes - 2) / 10) * 3);
  }

  // ADLX present: after one round over the other records in the second pass, ADLX reads the row
  // in that pass, as without them; ADL is not asked about it again.
  Monitor adlx = start_monitor(L"unread-adlx", {L"atiadlxx.dll", L"amdadlx64.dll"},
                               rx_5700_xt(-1) + "adlx bus=3 temps=52\n");
  ASSERT_NE(adlx.window, nullptr);
  EXPECT_TRUE(wait_for_label(adlx.window, 0, reading_text(52)));
  EXPECT_TRUE(wait_until(
      [&] {
        return log_lines_with(read_log(adlx.program.log_path), " GPUTemperature tid=").size() >= 3;
      },
      8000));
  close_monitor(adlx);
  const auto log = read_log(adlx.program.log_path);
  const size_t first_adlx = log_first_line_with(log, "amdadlx64.dll load");
  ASSERT_LT(first_adlx, log.size());
  const std::vector<std::string> before_adlx(
      log.begin(), log.begin() + static_cast<std::ptrdiff_t>(first_adlx));
  const std::vector<size_t> before = calls_by_record(before_adlx, Overdrive5);
  EXPECT_EQ(before[0], 2u);
  for (int record = 1; record < Records; ++record)
    EXPECT_EQ(before[static_cast<size_t>(record)], 1u) << "record " << record;
  EXPECT_EQ(calls_by_record(log, "_Get"), calls_by_record(before_adlx, "_Get"))
      << "no ADL temperature call once ADLX reads the row";
}

TEST(AmdRecords, KeptRecordsAnsweringAndPoweredDownGpusAskNoOtherRecord) {
  // An RX 9070 XT's four records (&02A to &05A) at bus 3, whose kept record's log answers from its
  // second pass on, and an older card beside it, read through Overdrive5: today's calls exactly.
  std::string rx9070;
  for (int output = 2; output < 6; ++output)
    rx9070 += "adapter name=\"AMD Radeon RX 9070 XT\" udid=\"PCI_VEN_1002&DEV_7550&0" +
              std::to_string(output) + "A\" index=" + std::to_string(output - 2) +
              " bus=3 edge=61\n";
  rx9070 += "adapter name=\"Radeon RX 580\" index=4 bus=5 temps=45000\n"
            "adapter name=\"Radeon RX 580\" index=5 bus=5 temps=46000\n"
            "fail ADL_Overdrive5_Temperature_Get=-8 adapter=0\n"
            "fail ADL2_New_QueryPMLogData_Get=-1 adapter=0 to=1\n";
  SystemPlugAndPlay layer;
  Monitor kept = start_monitor(L"kept", {L"atiadlxx.dll", L"amdadlx64.dll"},
                               rx9070 + "display bus=3; display bus=5\n");
  // A laptop's powered-down GPU, listed four times, whose records answer nothing.
  Monitor asleep = watch(start_program(stage(L"asleep", {}).dir,
                                       rx_5700_xt(-1) + "display bus=3 power=D3\n"));
  ASSERT_NE(kept.window, nullptr);
  ASSERT_NE(asleep.window, nullptr);
  EXPECT_TRUE(wait_for_label(kept.window, 0, reading_text(61)));
  EXPECT_TRUE(wait_for_label(kept.window, 1, reading_text(45)));
  EXPECT_TRUE(wait_for_label(asleep.window, 0, L"Powered down"));
  const auto power_queries = [](const std::vector<std::string>& log) {
    return log_lines_with(log, "CM_Get_DevNode_PropertyW.PowerData tid=").size();
  };
  EXPECT_TRUE(holds_through_passes(
      kept.program, [&] { return window_text(row_label(kept.window, 0)) == reading_text(61); },
      [&](const std::vector<std::string>& log) { return power_queries(log) / 2; }, 5));
  EXPECT_TRUE(holds_through_passes(
      asleep.program,
      [&] { return window_text(row_label(asleep.window, 0)) == L"Powered down"; }, power_queries,
      4));
  close_monitor(kept);
  close_monitor(asleep);
  const auto log = read_log(kept.program.log_path);
  const std::vector<size_t> calls = calls_by_record(log, "_Get");
  EXPECT_EQ(calls[1] + calls[2] + calls[3] + calls[5], 0u) << "only the kept records are asked";
  EXPECT_GE(calls[0], 5u);
  EXPECT_FALSE(log_has(log, "amdadlx64.dll"));
  EXPECT_EQ(calls_by_record(read_log(asleep.program.log_path), "_Get"), std::vector<size_t>(200))
      << "no record of the powered-down GPU asked";
}
