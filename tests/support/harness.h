// Test support: the facade brought up inside a test process, and an end-to-end harness that
// stages the program with simulated drivers, starts it and watches it as a user would.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// ---- in-process ----
// Starts the facade once in this test process (own heap) and answers that heap.
HANDLE facade_for_tests();

// ---- time ----
// A limit on a wait for something that must happen is a time on a share clock rather than the
// wall clock: the time that a thread ready to run would have had a processor. It keeps the wall
// clock's pace while no more threads are ready to run than there are processors, and goes n times
// slower while n times as many are (the host's count of runnable threads, read under Wine;
// elsewhere it is the wall clock). Load alone therefore cannot make such a limit run out, while a
// program that hangs runs it out as soon as it would on a quiet machine. What load can only
// lengthen stays on the wall clock: a lower bound on a program's own timing (a delay of a second)
// and a check that something does not happen (happens_within).
struct ShareClock {
  ULONGLONG wall_ms = 0;   // the wall clock at the last reading
  double slowdown = 1;     // ready threads per processor at the last reading, at least 1
  double elapsed_ms = 0;   // share time from the start to the last reading
};
// A share clock started now.
ShareClock share_clock_start();
// Share time since the start, in ms. The stretch since the last reading counts at the pace of the
// busier of its two ends, so reading often follows the load closely.
double share_clock_ms(ShareClock& clock);

// Waits for `condition` to hold, checking every 20 ms, at most `timeout_ms` of share time.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = 5000);
// Whether `condition` comes to hold within `wall_ms` of the wall clock, checking every 20 ms: for
// checks that something does not happen. Load can only delay what a program does, so such a check
// cannot fail for load alone, and the share clock would only make it longer.
bool happens_within(const std::function<bool()>& condition, DWORD wall_ms);

// The folder of the running test executable; gputherm.exe is built beside it.
std::wstring bin_dir();
// The folder holding the simulated drivers under their vendor file names.
std::wstring drivers_dir();
// A new empty folder for this test (under the build tree), with a unique name.
std::wstring fresh_dir(const std::wstring& label);

// Reads a file whole; empty when missing.
std::string read_file(const std::wstring& path);
// The lines of a simulated driver's call log.
std::vector<std::string> read_log(const std::wstring& path);
std::string narrow(const std::wstring& text);
std::wstring widen(const std::string& text);

// A simulated driver (`driver`, from the drivers' folder: "ControlLib.dll", or a variant such as
// "variants\\no_sensors\\ControlLib.dll") in the Wine prefix's system folder under its file name
// while it lives; afterwards the folder holds what it held before, Wine's own library of that name
// or none. The simulated one is moved aside rather than deleted, since this process may still have
// it loaded (a later load by name then answers that module). A library Wine does not bring is
// loaded from there as it is, by every process; one Wine brings only where it is native
// (SystemPlugAndPlay).
struct SystemDriver {
  explicit SystemDriver(const std::wstring& driver);
  ~SystemDriver();
  SystemDriver(const SystemDriver&) = delete;
  SystemDriver& operator=(const SystemDriver&) = delete;
  std::wstring installed;  // its path in the system folder
  std::wstring saved;      // where the file it replaced is kept, and it goes afterwards
  bool replaced = false;   // the system folder held a file of that name, now put back
};

// A simulated library of a name Wine brings itself (`driver`, from the drivers' folder:
// "cfgmgr32.dll", "winmm.dll", or a variant) in the Wine prefix's system folder while it lives;
// Wine's own is put back afterwards. A process loads it only where that name is native for it:
// with `native_for` an executable's name, Wine's per-program DllOverrides make it so for every
// later start of that program (Wine takes WINEDLLOVERRIDES from the Unix environment a process
// tree began with, never from an environment block handed to a child); with an empty name, the
// test's own WINEDLLOVERRIDES must.
struct SystemNative {
  explicit SystemNative(const std::wstring& driver,
                        const std::wstring& native_for = L"gputherm.exe");
  ~SystemNative();
  SystemNative(const SystemNative&) = delete;
  SystemNative& operator=(const SystemNative&) = delete;
  SystemDriver library;    // in place of Wine's own
  std::wstring name;       // the library's name without ".dll", as overrides name it
  std::wstring overrides;  // the registry key of the override; empty when none was set
};

// The simulated Plug and Play layer (cfgmgr32.dll), as above.
struct SystemPlugAndPlay : SystemNative {
  explicit SystemPlugAndPlay(const std::wstring& driver = L"cfgmgr32.dll",
                             const std::wstring& native_for = L"gputherm.exe")
      : SystemNative(driver, native_for) {}
};

// Simulated drivers in the system folder, where the vendors install theirs and the program loads
// them from; taken out again when the last copy of this goes.
using InstalledDrivers = std::shared_ptr<const std::vector<std::unique_ptr<SystemDriver>>>;
// Installs the named simulated drivers ("atiadlxx.dll", "nvapi.dll", or a variant such as
// "variants\\no_temperature\\atiadlxx.dll"), each under its file name.
InstalledDrivers install_drivers(const std::vector<std::wstring>& drivers);

// How many runs a stress test makes: `in_suite` in the test suite, `at_full_count` where the
// environment sets GPUTHERM_FULL_STRESS (scripts/stress.sh). The full count measures how rare a
// fault is; the suite's runs check each way of closing and each variant.
int stress_runs(int in_suite, int at_full_count);

// ---- end-to-end ----
struct Program {
  PROCESS_INFORMATION process{};
  std::wstring dir;          // staged folder
  std::wstring log_path;     // the simulated drivers' call log
  InstalledDrivers drivers;  // in the system folder until cleanup
};

// gputherm.exe copied into a fresh folder, and the drivers it is to find installed.
struct Staged {
  std::wstring dir;
  InstalledDrivers drivers;
};
Staged stage(const std::wstring& label, const std::vector<std::wstring>& drivers);
// Starts the program in `dir` with `scenario` (the simulated drivers' scenario text) and a log, in
// `working_dir` (by default that folder).
Program start_program(const std::wstring& dir, const std::string& scenario,
                      const std::wstring& working_dir = {});
// Starts a staged program; its drivers stay installed while the Program lives.
Program start_program(const Staged& staged, const std::string& scenario,
                      const std::wstring& working_dir = {});
// Stages and starts in one step.
Program run_program(const std::wstring& label, const std::vector<std::wstring>& drivers,
                    const std::string& scenario);

// A visible top-level window of the process with the given title, or null after the timeout;
// returns once the window's thread is back waiting for messages.
HWND wait_for_window(const Program& program, const wchar_t* title, DWORD timeout_ms = 10000);
// The process's message box titled "error", or null after the timeout.
HWND wait_for_error_box(const Program& program, DWORD timeout_ms = 10000);
// The text shown by a message box.
std::wstring message_box_text(HWND box);
// Presses the box's OK button.
void press_ok(HWND box);
// Visible top-level windows of the process.
std::vector<HWND> process_windows(const Program& program);

std::wstring window_text(HWND window);
std::wstring class_name(HWND window);
// Direct children of `parent`, in z-order.
std::vector<HWND> child_windows(HWND parent);
// Client size of a window.
SIZE client_size(HWND window);
// A child's rectangle in its parent's client coordinates.
RECT rect_in_parent(HWND child);

enum class CloseBy { CloseMessage, SystemCommand, AltF4 };
// Asks the window to close the way a user would.
void request_close(HWND window, CloseBy how = CloseBy::SystemCommand);
// Waits for the process to end, at most `timeout_ms` of share time; false on timeout.
// `exit_code` receives its exit code.
bool wait_exit(const Program& program, DWORD timeout_ms, DWORD* exit_code);
// Ends the process if it still runs and closes its handles.
void cleanup(Program& program);

// ---- the monitor window ----
struct Monitor {
  Program program;
  HWND window = nullptr;  // the "GPU Temperature" window, once complete; null if it never came
};
// Stages the program with `drivers`, starts it with `scenario` and waits for its window.
Monitor start_monitor(const wchar_t* label, const std::vector<std::wstring>& drivers,
                      const std::string& scenario);
// Closes the window as a user would and expects the process to end with code 0 within 2 s of
// share time.
void close_monitor(Monitor& monitor, CloseBy how = CloseBy::SystemCommand);
// The frame titles of the rows, in row order.
std::vector<std::wstring> frame_titles(HWND window);
// True when `rect` is at (x, y) with that size.
bool rect_is(const RECT& rect, LONG x, LONG y, LONG width, LONG height);
// Label r (control identifier r) and the frame titled for row r of the monitor window.
HWND row_label(HWND window, int row);
HWND row_frame(HWND window, int row);
// Number of frames in the window: one per displayed GPU.
int row_count(HWND window);
// Waits until label `row` reads `text`; false after the timeout.
bool wait_for_label(HWND window, int row, const std::wstring& text, DWORD timeout_ms = 5000);
// Expects the "error" boxes with these texts, one after another, pressing OK on each. Answers
// the texts actually seen (an empty text where no box came within the timeout).
std::vector<std::wstring> answer_error_boxes(const Program& program, size_t count,
                                             DWORD timeout_ms = 10000);
// The index of the first line of the log that contains `fragment`; the log's size when none does.
size_t log_first_line_with(const std::vector<std::string>& log, const std::string& fragment);
// True when a line of the log contains `fragment`.
bool log_has(const std::vector<std::string>& log, const std::string& fragment);
// The value of ` key=` in a log line, up to the next space or comma; empty when absent.
std::string log_field(const std::string& line, const std::string& key);
// The log lines that contain `fragment`, in order.
std::vector<std::string> log_lines_with(const std::vector<std::string>& log,
                                        const std::string& fragment);

// Passes counted over a call log, as a test counts them for what it runs: one call a pass.
using PassCount = std::function<size_t(const std::vector<std::string>&)>;

// True when `holds` is true at every look until `pass_count` over the program's call log reaches
// `passes`; false at the first look where it is not, or when the count does not get there within
// the timeout. A pass writes its labels after its call is in the log and before the next pass's
// call, so a count of n + 1 covers everything the first n passes showed. For checks that
// something does not happen: the passes that matter end the wait, not a length of time.
bool holds_through_passes(const Program& program, const std::function<bool()>& holds,
                          const PassCount& pass_count, size_t passes, DWORD timeout_ms = 30000);

// What labels 0 .. rows - 1 showed as each of the first `passes` passes left them: entry [p][r]
// is label r after pass p + 1, a pass being counted by `pass_count` over the call log (one call a
// pass). Each entry is the last look before the next pass began, a second after the labels were
// written. An entry stays empty when its pass did not come within the timeout.
using PassLabels = std::vector<std::vector<std::wstring>>;
PassLabels labels_by_pass(const Monitor& monitor, int rows, const PassCount& pass_count,
                          size_t passes, DWORD timeout_ms = 30000);
