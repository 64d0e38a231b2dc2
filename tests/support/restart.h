// A graphics driver that restarts under the running monitor, end to end against a simulated
// driver's restart mode: what the rows show once it is back, and how often the monitor tries
// while it stays away. Shared by each vendor's tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/harness.h"

struct RestartVendor {
  const wchar_t* label;
  std::vector<std::wstring> drivers;
  std::string reading_call;  // the call a pass makes per row, as the log names it
  std::string attempt_call;  // the one call each attempt to set the session up again makes
};

struct RestartCase {
  const char* what;
  std::string scenario;  // with a `restart` line; `display` lines bring the Plug and Play layer
  // What each row shows at the end: a reading, or "No reading" for a GPU that is gone.
  std::vector<std::wstring> rows;
  // While the driver stays away: the passes between one attempt and the next, counted by the
  // power queries of display 0, one a pass. Empty where the driver comes back.
  std::vector<size_t> gaps;
};

// The label text of a reading.
std::wstring reading_text(int celsius);
// Runs the case: waits for the restart, then for every row to show what it must after at least
// two successful reading calls per row since the restart (or, for a driver that stays away, for
// the attempts), with no message box, and closes the window.
void run_restart_case(const RestartVendor& vendor, const RestartCase& test);
// The driver restarts at the 7th reading call of three GPUs (`gpus`, on buses 1 to 3) and stays
// away: every row says "No reading", and the attempts come 1, 2, 4, 8 and 10 passes apart.
void run_stays_away_case(const RestartVendor& vendor, const std::string& gpus);
