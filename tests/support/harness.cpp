#include "tests/support/harness.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "facade/facade.h"

HANDLE facade_for_tests() {
  static const HANDLE heap = [] {
    const HANDLE created = HeapCreate(0, 4096, 0);
    facade_start(created, GetModuleHandleW(nullptr));
    return created;
  }();
  return heap;
}

namespace {

// How long a wait sleeps between looks. A look at another process's label or at a driver's log is
// a round trip through the wineserver and wakes the program's window thread; at a pass a second,
// 20 ms is still fifty looks a pass, and tests run side by side share two processors.
constexpr DWORD LookIntervalMs = 20;

// Ready threads per processor now, at least 1; 1 where the host's count cannot be read. The
// fourth field of /proc/loadavg ("3/345") starts with the number of runnable threads, this one
// included: it stands for the thread whose time is being judged.
double machine_slowdown() {
  static const double processors = [] {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<double>(info.dwNumberOfProcessors) : 1.0;
  }();
  const HANDLE file = CreateFileW(L"\\\\?\\unix\\proc\\loadavg", GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  char text[128] = {};
  DWORD got = 0;
  const BOOL read = ReadFile(file, text, sizeof(text) - 1, &got, nullptr);
  CloseHandle(file);
  if (!read) return 1;
  int runnable = 0;
  if (std::sscanf(text, "%*f %*f %*f %d/", &runnable) != 1) return 1;
  return std::max(1.0, runnable / processors);
}

}  // namespace

ShareClock share_clock_start() { return {GetTickCount64(), machine_slowdown(), 0}; }

double share_clock_ms(ShareClock& clock) {
  const ULONGLONG now = GetTickCount64();
  const double slowdown = machine_slowdown();
  clock.elapsed_ms +=
      static_cast<double>(now - clock.wall_ms) / std::max(slowdown, clock.slowdown);
  clock.wall_ms = now;
  clock.slowdown = slowdown;
  return clock.elapsed_ms;
}

namespace {

// Looks at `condition` until it holds or `elapsed_ms` reaches `limit_ms`.
bool look_until(const std::function<bool()>& condition, const std::function<double()>& elapsed_ms,
                DWORD limit_ms) {
  for (;;) {
    if (condition()) return true;
    if (elapsed_ms() >= limit_ms) return false;
    // Keep this thread's own windows alive while waiting.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, LookIntervalMs, QS_ALLINPUT);
  }
}

}  // namespace

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms) {
  if (timeout_ms == 0) return condition();
  ShareClock clock = share_clock_start();
  return look_until(condition, [&] { return share_clock_ms(clock); }, timeout_ms);
}

bool happens_within(const std::function<bool()>& condition, DWORD wall_ms) {
  const ULONGLONG start = GetTickCount64();
  return look_until(
      condition, [&] { return static_cast<double>(GetTickCount64() - start); }, wall_ms);
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}

int stress_runs(int in_suite, int at_full_count) {
  return GetEnvironmentVariableW(L"GPUTHERM_FULL_STRESS", nullptr, 0) > 0 ? at_full_count
                                                                          : in_suite;
}

std::wstring bin_dir() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L"\\/"));
}

std::wstring drivers_dir() { return bin_dir() + L"\\drivers"; }

std::wstring fresh_dir(const std::wstring& label) {
  static std::atomic<int> serial{0};
  const std::wstring root = bin_dir() + L"\\stage";
  CreateDirectoryW(root.c_str(), nullptr);
  for (;;) {
    const std::wstring dir = root + L"\\" + label + L"-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial++);
    if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
  }
}

std::string read_file(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::vector<std::string> read_log(const std::wstring& path) {
  std::vector<std::string> lines;
  std::istringstream stream(read_file(path));
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

InstalledDrivers install_drivers(const std::vector<std::wstring>& drivers) {
  auto installed = std::make_shared<std::vector<std::unique_ptr<SystemDriver>>>();
  for (const std::wstring& driver : drivers)
    installed->push_back(std::make_unique<SystemDriver>(driver));
  return installed;
}

Staged stage(const std::wstring& label, const std::vector<std::wstring>& drivers) {
  const std::wstring dir = fresh_dir(label);
  CopyFileW((bin_dir() + L"\\gputherm.exe").c_str(), (dir + L"\\gputherm.exe").c_str(), FALSE);
  return {dir, install_drivers(drivers)};
}

namespace {

std::wstring system_folder() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, length < MAX_PATH ? length : 0);
}

std::wstring file_name_of(const std::wstring& path) {
  return path.substr(path.find_last_of(L'\\') + 1);
}

}  // namespace

SystemDriver::SystemDriver(const std::wstring& driver)
    : installed(system_folder() + L"\\" + file_name_of(driver)),
      saved(fresh_dir(L"system-" + file_name_of(driver)) + L"\\" + file_name_of(driver)),
      replaced(GetFileAttributesW(installed.c_str()) != INVALID_FILE_ATTRIBUTES) {
  if (replaced) {
    EXPECT_TRUE(CopyFileW(installed.c_str(), saved.c_str(), FALSE));
  }
  EXPECT_TRUE(CopyFileW((drivers_dir() + L"\\" + driver).c_str(), installed.c_str(), FALSE));
}

SystemDriver::~SystemDriver() {
  // Moved aside rather than overwritten or deleted: this very process may still have it loaded.
  EXPECT_TRUE(
      MoveFileExW(installed.c_str(), (saved + L".simulated").c_str(), MOVEFILE_REPLACE_EXISTING));
  if (replaced) {
    EXPECT_TRUE(CopyFileW(saved.c_str(), installed.c_str(), FALSE));
  }
}

SystemNative::SystemNative(const std::wstring& driver, const std::wstring& native_for)
    : library(driver), name(file_name_of(driver)) {
  name.resize(name.size() - 4);  // ".dll"
  if (native_for.empty()) return;
  overrides = L"Software\\Wine\\AppDefaults\\" + native_for + L"\\DllOverrides";
  EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), name.c_str(), REG_SZ, L"native",
                            sizeof(L"native")),
            ERROR_SUCCESS);
}

// The library goes back after this, as its member is destroyed.
SystemNative::~SystemNative() {
  if (!overrides.empty()) RegDeleteKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), name.c_str());
}

namespace {

// The parent's environment plus the simulated drivers' scenario and log.
std::wstring environment_with(const std::wstring& scenario, const std::wstring& log) {
  std::wstring block;
  wchar_t* parent = GetEnvironmentStringsW();
  for (const wchar_t* entry = parent; *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    if (text.rfind(L"SIMDRV_", 0) == 0) continue;
    block += text;
    block.push_back(L'\0');
  }
  FreeEnvironmentStringsW(parent);
  block += L"SIMDRV_SCENARIO=" + scenario;
  block.push_back(L'\0');
  block += L"SIMDRV_LOG=" + log;
  block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

struct WindowSearch {
  DWORD process;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_process_window(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == search->process && IsWindowVisible(window)) search->found.push_back(window);
  return TRUE;
}

HWND find_titled(const Program& program, const wchar_t* title, const wchar_t* class_wanted) {
  for (HWND window : process_windows(program))
    if (window_text(window) == title && (!class_wanted || class_name(window) == class_wanted))
      return window;
  return nullptr;
}

}  // namespace

Program start_program(const std::wstring& dir, const std::string& scenario,
                      const std::wstring& working_dir) {
  Program program;
  program.dir = dir;
  program.log_path = dir + L"\\calls.log";
  std::wstring environment = environment_with(widen(scenario), program.log_path);
  std::wstring command = L"\"" + dir + L"\\gputherm.exe\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  // Under Wine a start fails now and then while other processes start and end around it (seen
  // once in some hundreds of starts, with the staged files in place and no driver loaded). The
  // program has run none of its code then, so starting it again skips nothing of it.
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                       CREATE_UNICODE_ENVIRONMENT, environment.data(),
                       (working_dir.empty() ? dir : working_dir).c_str(), &startup,
                       &program.process))
      break;
    std::fprintf(stderr, "start %d of %s failed with error %lu\n", attempt,
                 narrow(dir).c_str(), GetLastError());
  }
  return program;
}

Program start_program(const Staged& staged, const std::string& scenario,
                      const std::wstring& working_dir) {
  Program program = start_program(staged.dir, scenario, working_dir);
  program.drivers = staged.drivers;
  return program;
}

Program run_program(const std::wstring& label, const std::vector<std::wstring>& drivers,
                    const std::string& scenario) {
  return start_program(stage(label, drivers), scenario);
}

std::vector<HWND> process_windows(const Program& program) {
  WindowSearch search{program.process.dwProcessId, {}};
  EnumWindows(collect_process_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND wait_for_window(const Program& program, const wchar_t* title, DWORD timeout_ms) {
  HWND window = nullptr;
  wait_until([&] { return (window = find_titled(program, title, nullptr)) != nullptr; },
             timeout_ms);
  // The program shows its window before it fills it; a message sent to it is answered only once
  // its thread waits for messages again, that is, when the window is complete. Sent in short
  // tries, so that the limit is on the share clock; a try that times out is answered later.
  const auto answered = [&] {
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, LookIntervalMs, &answer) != 0;
  };
  if (window) wait_until([&] { return answered() || !IsWindow(window); }, timeout_ms);
  return window;
}

HWND wait_for_error_box(const Program& program, DWORD timeout_ms) {
  HWND box = nullptr;
  wait_until([&] { return (box = find_titled(program, L"error", L"#32770")) != nullptr; },
             timeout_ms);
  return box;
}

std::wstring message_box_text(HWND box) {
  // The text of a message box is its static control 0xFFFF.
  return window_text(GetDlgItem(box, 0xFFFF));
}

void press_ok(HWND box) {
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

std::wstring window_text(HWND window) {
  if (!window) return {};
  wchar_t text[1024];
  const int length = GetWindowTextW(window, text, 1024);
  return std::wstring(text, length > 0 ? length : 0);
}

std::wstring class_name(HWND window) {
  wchar_t name[256];
  const int length = GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? length : 0);
}

std::vector<HWND> child_windows(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

SIZE client_size(HWND window) {
  RECT rect{};
  GetClientRect(window, &rect);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

RECT rect_in_parent(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void request_close(HWND window, CloseBy how) {
  switch (how) {
    case CloseBy::CloseMessage:
      PostMessageW(window, WM_CLOSE, 0, 0);
      break;
    case CloseBy::SystemCommand:
      PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
    case CloseBy::AltF4:
      // What the default window procedure turns Alt+F4 into.
      PostMessageW(window, WM_SYSKEYDOWN, VK_F4, 1 << 29);
      break;
  }
}

bool wait_exit(const Program& program, DWORD timeout_ms, DWORD* exit_code) {
  const HANDLE process = program.process.hProcess;
  if (!process) return false;
  if (!wait_until([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, timeout_ms))
    return false;
  if (exit_code) GetExitCodeProcess(program.process.hProcess, exit_code);
  return true;
}

void cleanup(Program& program) {
  if (program.process.hProcess) {
    if (WaitForSingleObject(program.process.hProcess, 0) != WAIT_OBJECT_0) {
      TerminateProcess(program.process.hProcess, 99);
      WaitForSingleObject(program.process.hProcess, 5000);
    }
    CloseHandle(program.process.hProcess);
    CloseHandle(program.process.hThread);
    program.process = {};
  }
  program.drivers.reset();
}

HWND row_label(HWND window, int row) { return GetDlgItem(window, row); }

HWND row_frame(HWND window, int row) {
  // Frames follow the labels: from 10, or after the last label when there are more rows.
  for (HWND child : child_windows(window)) {
    const std::wstring prefix = L"GPU # " + std::to_wstring(row) + L"   -   ";
    if (class_name(child) == L"Button" && window_text(child).rfind(prefix, 0) == 0) return child;
  }
  return nullptr;
}

int row_count(HWND window) {
  int frames = 0;
  for (HWND child : child_windows(window))
    if (class_name(child) == L"Button") ++frames;
  return frames;
}

bool wait_for_label(HWND window, int row, const std::wstring& text, DWORD timeout_ms) {
  return wait_until([&] { return window_text(row_label(window, row)) == text; }, timeout_ms);
}

std::vector<std::wstring> answer_error_boxes(const Program& program, size_t count,
                                             DWORD timeout_ms) {
  std::vector<std::wstring> texts;
  HWND previous = nullptr;
  for (size_t i = 0; i < count; ++i) {
    HWND box = nullptr;
    // A box that was answered may linger for a moment: wait for a different one.
    wait_until([&] {
      box = wait_for_error_box(program, 0);
      return box && box != previous && IsWindow(box);
    }, timeout_ms);
    if (!box || box == previous) {
      texts.emplace_back();
      continue;
    }
    texts.push_back(message_box_text(box));
    press_ok(box);
    previous = box;
  }
  return texts;
}

size_t log_first_line_with(const std::vector<std::string>& log, const std::string& fragment) {
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].find(fragment) != std::string::npos) return i;
  return log.size();
}

bool log_has(const std::vector<std::string>& log, const std::string& fragment) {
  return !log_lines_with(log, fragment).empty();
}

std::string log_field(const std::string& line, const std::string& key) {
  const size_t start = line.find(" " + key + "=");
  if (start == std::string::npos) return {};
  const size_t value = start + key.size() + 2;
  return line.substr(value, line.find_first_of(" ,", value) - value);
}

std::vector<std::string> log_lines_with(const std::vector<std::string>& log,
                                        const std::string& fragment) {
  std::vector<std::string> lines;
  for (const std::string& line : log)
    if (line.find(fragment) != std::string::npos) lines.push_back(line);
  return lines;
}

Monitor start_monitor(const wchar_t* label, const std::vector<std::wstring>& drivers,
                      const std::string& scenario) {
  Monitor monitor;
  monitor.program = run_program(label, drivers, scenario);
  monitor.window = wait_for_window(monitor.program, L"GPU Temperature");
  return monitor;
}

void close_monitor(Monitor& monitor, CloseBy how) {
  ASSERT_NE(monitor.window, nullptr);
  request_close(monitor.window, how);
  DWORD code = 1;
  EXPECT_TRUE(wait_exit(monitor.program, 2000, &code))
      << "no exit within 2 s (share time) of the close";
  EXPECT_EQ(code, 0u);
  cleanup(monitor.program);
}

std::vector<std::wstring> frame_titles(HWND window) {
  std::vector<std::wstring> titles;
  for (int row = 0; row < row_count(window); ++row)
    titles.push_back(window_text(row_frame(window, row)));
  return titles;
}

bool rect_is(const RECT& rect, LONG x, LONG y, LONG width, LONG height) {
  return rect.left == x && rect.top == y && rect.right - rect.left == width &&
         rect.bottom - rect.top == height;
}

bool holds_through_passes(const Program& program, const std::function<bool()>& holds,
                          const PassCount& pass_count, size_t passes, DWORD timeout_ms) {
  bool broken = false;
  const bool counted = wait_until(
      [&] {
        // The count first: a look after it sees at least what the passes it counts showed.
        const size_t count = pass_count(read_log(program.log_path));
        broken = !holds();
        return broken || count >= passes;
      },
      timeout_ms);
  return counted && !broken;
}

PassLabels labels_by_pass(const Monitor& monitor, int rows, const PassCount& pass_count,
                          size_t passes, DWORD timeout_ms) {
  PassLabels seen(passes);
  wait_until(
      [&] {
        // Labels first: a pass writes them only after its call is in the log, so labels read
        // before a count of n show no pass later than n.
        std::vector<std::wstring> labels;
        for (int row = 0; row < rows; ++row)
          labels.push_back(window_text(row_label(monitor.window, row)));
        const size_t count = pass_count(read_log(monitor.program.log_path));
        if (count >= 1 && count <= passes) seen[count - 1] = labels;
        return count > passes;
      },
      timeout_ms);
  return seen;
}
