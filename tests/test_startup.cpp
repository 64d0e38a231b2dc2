// The program as a user meets it: which vendor library it picks, what it says when there is
// none, and that it always ends with exit code 0. Observed through the simulated drivers' logs.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/harness.h"

namespace {

constexpr DWORD ExitDeadlineMs = 5000;

bool log_mentions_any_call_of(const std::vector<std::string>& log, const std::string& module) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& line) { return line.rfind(module + " ", 0) == 0; });
}

// Closes the monitor window and expects the process to end with exit code 0.
void close_and_expect_clean_exit(Program& program, CloseBy how = CloseBy::SystemCommand) {
  const HWND window = wait_for_window(program, L"GPU Temperature");
  ASSERT_NE(window, nullptr) << "the monitor window never appeared";
  request_close(window, how);
  DWORD code = 1;
  EXPECT_TRUE(wait_exit(program, ExitDeadlineMs, &code)) << "no exit after the close request";
  EXPECT_EQ(code, 0u);
}

const char* const TwoAdapters =
    "adapter name=\"Radeon Sim A\" udid=\"PCI_VEN_1002&DEV_0001\" bus=3 temps=45000\n"
    "adapter name=\"Radeon Sim B\" udid=\"PCI_VEN_1002&DEV_0002\" bus=4 temps=50000\n"
    "gpu name=\"GeForce Sim\" temps=40\n";

}  // namespace

TEST(Startup, WithoutAnyVendorLibraryOneErrorBoxThenExitZero) {
  Program program = run_program(L"none", {}, "");
  const HWND box = wait_for_error_box(program);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(message_box_text(box), L"Unable to load API library");
  EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
  EXPECT_EQ(wait_for_window(program, L"GPU Temperature", 0), nullptr);
  press_ok(box);
  DWORD code = 1;
  EXPECT_TRUE(wait_exit(program, ExitDeadlineMs, &code));
  EXPECT_EQ(code, 0u);
  cleanup(program);
}

TEST(Startup, OnlyTheSecondAdlNameSelectsAmd) {
  Program program = run_program(L"adlxy", {L"atiadlxy.dll"}, TwoAdapters);
  close_and_expect_clean_exit(program);
  const auto log = read_log(program.log_path);
  EXPECT_TRUE(log_has(log, "atiadlxy.dll load"));
  EXPECT_FALSE(log_has(log, "atiadlxx.dll"));
  cleanup(program);
}

TEST(Startup, AmdWinsOverNvidiaAndNvapiIsNeverOpened) {
  Program program = run_program(L"both", {L"atiadlxx.dll", L"atiadlxy.dll", L"nvapi64.dll",
                                          L"nvapi.dll"}, TwoAdapters);
  close_and_expect_clean_exit(program, CloseBy::CloseMessage);
  const auto log = read_log(program.log_path);
  EXPECT_TRUE(log_has(log, "atiadlxx.dll load"));
  EXPECT_FALSE(log_mentions_any_call_of(log, "atiadlxy.dll"));
  EXPECT_FALSE(log_mentions_any_call_of(log, "nvapi64.dll"));
  EXPECT_FALSE(log_mentions_any_call_of(log, "nvapi.dll"));
  cleanup(program);
}

TEST(Startup, OnlyNvapiDllSelectsNvidia) {
  Program program = run_program(L"nvapi", {L"nvapi.dll"}, TwoAdapters);
  const auto log_before_close = [&] { return read_log(program.log_path); };
  EXPECT_TRUE(wait_until([&] { return log_has(log_before_close(), "nvapi.dll load"); }));
  // The NVIDIA set-up reaches NVAPI only through "nvapi64.dll", which is missing here: it says
  // so, and the window opens without rows.
  EXPECT_EQ(answer_error_boxes(program, 1), std::vector<std::wstring>{L"Unable to Initialize NVAPI."});
  close_and_expect_clean_exit(program, CloseBy::AltF4);
  cleanup(program);
}

// A library left beside the program or in its working directory, under any name the program
// loads, must never run inside it: on each vendor's path and on none, everything comes from the
// system folder. For the names Wine brings itself, Windows' order is emulated: a native library
// first, as Windows takes a file of the program's folder before its own.
TEST(Startup, NoLibraryBesideTheProgramOrInItsWorkingDirectoryIsLoaded) {
  const wchar_t* const loaded_names[] = {L"atiadlxx.dll", L"atiadlxy.dll", L"nvapi64.dll",
                                         L"nvapi.dll",    L"winmm.dll",    L"cfgmgr32.dll",
                                         L"ControlLib.dll"};
  SystemNative timer(L"winmm.dll");
  SystemPlugAndPlay layer;
  const struct {
    const char* what;
    std::vector<std::wstring> drivers;
    std::string scenario;
    std::string module;  // the vendor library that reads; empty for none
  } cases[] = {
      {"AMD", {L"atiadlxx.dll"}, "adapter name=\"A\" bus=1 temps=45000\n", "atiadlxx.dll"},
      {"NVIDIA", {L"nvapi64.dll"}, "gpu name=\"G\" temps=45\n", "nvapi64.dll"},
      {"Intel", {L"ControlLib.dll"}, "intel name=\"Arc\" temps=45\n", "ControlLib.dll"},
      {"no vendor library", {}, "", ""},
  };
  const auto lines_starting = [](const std::vector<std::string>& log, const std::string& start) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& line) { return line.rfind(start, 0) == 0; });
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const Staged staged = stage(L"planted", test.drivers);
    const std::wstring working = fresh_dir(L"planted-cwd");
    for (const wchar_t* name : loaded_names)
      for (const std::wstring& folder : {staged.dir, working})
        ASSERT_TRUE(CopyFileW((drivers_dir() + L"\\planted\\planted.dll").c_str(),
                              (folder + L"\\" + name).c_str(), FALSE));
    Program program = start_program(staged, test.scenario, working);
    if (test.module.empty()) {
      EXPECT_EQ(answer_error_boxes(program, 1),
                std::vector<std::wstring>{L"Unable to load API library"});
      DWORD code = 1;
      EXPECT_TRUE(wait_exit(program, ExitDeadlineMs, &code));
      EXPECT_EQ(code, 0u);
    } else {
      Monitor monitor{program, wait_for_window(program, L"GPU Temperature")};
      EXPECT_NE(monitor.window, nullptr);
      if (monitor.window) {
        EXPECT_TRUE(wait_for_label(monitor.window, 0, L"45\u00b0C  (113 \u00b0F)"));
        close_monitor(monitor);
      }
    }
    cleanup(program);
    const auto log = read_log(program.log_path);
    for (const std::string& line : log_lines_with(log, "planted "))
      ADD_FAILURE() << "loaded: " << line;
    if (test.module.empty()) continue;
    EXPECT_EQ(lines_starting(log, test.module + " load"), 1);
    EXPECT_EQ(lines_starting(log, "cfgmgr32.dll load"), 1);
    const auto periods = log_lines_with(log, "winmm.dll timeBeginPeriod");
    EXPECT_EQ(periods.size(), 1u) << "once, on the first delay";
    for (const std::string& line : periods) EXPECT_EQ(log_field(line, "args"), "period=1");
  }
}
