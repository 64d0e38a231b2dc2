#include "tests/support/restart.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

const std::wstring NoReading = L"No reading";

// The log from the driver's restart on; empty before it.
std::vector<std::string> since_restart(const std::vector<std::string>& log) {
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].find(" restart") != std::string::npos)
      return {log.begin() + static_cast<std::ptrdiff_t>(i), log.end()};
  return {};
}

size_t successful(const std::vector<std::string>& log, const std::string& call) {
  size_t count = 0;
  for (const std::string& line : log_lines_with(log, call + " tid="))
    if (log_field(line, "status") == "0") ++count;
  return count;
}

bool rows_show(HWND window, const std::vector<std::wstring>& rows) {
  for (size_t row = 0; row < rows.size(); ++row)
    if (window_text(row_label(window, static_cast<int>(row))) != rows[row]) return false;
  return true;
}

// Passes from each attempt to the next, by the power queries of display 0 between them.
std::vector<size_t> gaps_between_attempts(const std::vector<std::string>& log,
                                          const std::string& attempt_call) {
  std::vector<size_t> gaps;
  size_t passes = 0;
  bool attempted = false;
  for (const std::string& line : log) {
    if (line.find(attempt_call + " tid=") != std::string::npos) {
      if (attempted) gaps.push_back(passes);
      attempted = true;
      passes = 0;
    } else if (line.find("PropertyW.PowerData tid=") != std::string::npos &&
               log_field(line, "args") == "0x1000") {
      ++passes;
    }
  }
  return gaps;
}

}  // namespace

std::wstring reading_text(int celsius) {
  return std::to_wstring(celsius) + L"\u00b0C  (" +
         std::to_wstring(static_cast<int>(celsius * 1.8 + 32.5)) + L" \u00b0F)";
}

void run_restart_case(const RestartVendor& vendor, const RestartCase& test) {
  SCOPED_TRACE(test.what);
  std::unique_ptr<SystemPlugAndPlay> layer;
  if (test.scenario.find("display ") != std::string::npos)
    layer = std::make_unique<SystemPlugAndPlay>();
  Monitor monitor = start_monitor(vendor.label, vendor.drivers, test.scenario);
  ASSERT_NE(monitor.window, nullptr);
  const auto& log_path = monitor.program.log_path;
  ASSERT_TRUE(wait_until([&] { return !since_restart(read_log(log_path)).empty(); }, 20000));
  const ULONGLONG restarted = GetTickCount64();
  const bool back = test.gaps.empty();
  // Back within about ten seconds of the driver's return; the rest is slack for a busy machine.
  const bool done = wait_until(
      [&] {
        const auto log = since_restart(read_log(log_path));
        const bool settled =
            back ? successful(log, vendor.reading_call) >= 2 * test.rows.size()
                 : gaps_between_attempts(log, vendor.attempt_call).size() >= test.gaps.size();
        return settled && rows_show(monitor.window, test.rows);
      },
      back ? 30000 : 60000);
  std::printf("%s: settled %llu ms after the restart\n", test.what,
              static_cast<unsigned long long>(GetTickCount64() - restarted));
  for (size_t row = 0; row < test.rows.size(); ++row)
    EXPECT_EQ(narrow(window_text(row_label(monitor.window, static_cast<int>(row)))),
              narrow(test.rows[row]))
        << "row " << row;
  EXPECT_TRUE(done);
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr) << "no box for a driver restart";
  close_monitor(monitor);
  if (back) return;
  std::vector<size_t> gaps =
      gaps_between_attempts(since_restart(read_log(log_path)), vendor.attempt_call);
  gaps.resize(std::min(gaps.size(), test.gaps.size()));
  EXPECT_EQ(gaps, test.gaps);
}

void run_stays_away_case(const RestartVendor& vendor, const std::string& gpus) {
  const std::wstring gone = L"No reading";
  run_restart_case(vendor, {"the driver stays away",
                            gpus + "display bus=1\ndisplay bus=2\ndisplay bus=3\n"
                                   "restart at=7 away=forever\n",
                            {gone, gone, gone}, {1, 2, 4, 8, 10}});
}
