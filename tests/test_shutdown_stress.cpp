// Shutdown under stress: the real program, started on the vendors' simulated drivers, closed at
// a random moment of its first 3 s in the ways a user or the system closes a window; among the
// runs, a temperature call that never returns and a thermal error box left open. Every run must
// end with exit code 0 within 2 s (share time) of the close request. The suite makes 27 runs,
// each variant closed once in each way; scripts/stress.sh makes 100. Runs go four at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

const int Runs = stress_runs(27, 100);
constexpr int Concurrent = 4;
constexpr DWORD FirstSecondsMs = 3000;
constexpr DWORD ErrorBoxLingerMs = 500;
constexpr DWORD ExitDeadlineMs = 2000;
constexpr DWORD AppearTimeoutMs = 15000;
constexpr DWORD SuiteDeadlineMs = 300000;  // share time
const wchar_t* const Title = L"GPU Temperature";

enum class Moment { Random, WhileErrorBoxShown };

struct Variant {
  const char* name;
  const wchar_t* driver;  // in the system folder while the variant's runs go
  std::string scenario;
  Moment moment;
};

struct Outcome {
  std::string failure;       // empty when the run passed
  DWORD delay_ms = 0;        // after the start, or after the error box appeared
  DWORD exit_ms = 0;         // from the close request to the end of the process
  bool window_late = false;  // no window yet at the chosen moment: closed as it appeared
};

std::string adapters(int count, const std::string& extra = "") {
  std::string scenario;
  for (int i = 0; i < count; ++i)
    scenario += "adapter name=\"Radeon " + std::to_string(i) + "\" udid=\"PCI_VEN_1002&R" +
                std::to_string(i) + "\" bus=" + std::to_string(i + 1) + " temps=drift:40..75\n";
  return scenario + extra;
}

std::string arcs(int count, const std::string& extra = "") {
  std::string scenario;
  for (int i = 0; i < count; ++i)
    scenario +=
        "intel name=\"Arc " + std::to_string(i) + "\" temps=" + std::to_string(40 + i) + "\n";
  return scenario + extra;
}

std::string gpus(int count, const std::string& extra = "") {
  std::string scenario;
  for (int i = 0; i < count; ++i)
    scenario += "gpu name=\"GeForce " + std::to_string(i) + "\" temps=drift:40..75\n";
  return scenario + extra;
}

const std::vector<Variant>& variants() {
  static const std::vector<Variant> all = {
      {"AMD, 2 adapters", L"atiadlxx.dll", adapters(2), Moment::Random},
      {"NVIDIA, 2 GPUs", L"nvapi64.dll", gpus(2), Moment::Random},
      {"AMD, 8 adapters", L"atiadlxx.dll", adapters(8), Moment::Random},
      {"NVIDIA, 8 GPUs", L"nvapi64.dll", gpus(8), Moment::Random},
      {"AMD, temperature call never returns",
       L"atiadlxx.dll",
       adapters(2, "hang ADL_Overdrive5_Temperature_Get adapter=1\n"),
       Moment::Random},
      {"NVIDIA, thermal call never returns",
       L"nvapi64.dll",
       gpus(2, "hang NvAPI_GPU_GetThermalSettings gpu=1\n"),
       Moment::Random},
      {"Intel, 2 Arc GPUs", L"ControlLib.dll", arcs(2), Moment::Random},
      {"Intel, telemetry call never returns",
       L"ControlLib.dll",
       arcs(2, "hang ctlPowerTelemetryGet intel=1\n"),
       Moment::Random},
      {"NVIDIA, thermal error box open",
       L"nvapi64.dll",
       gpus(2, "fail NvAPI_GPU_GetThermalSettings=-1\n"),
       Moment::WhileErrorBoxShown},
  };
  return all;
}

// The thermal error box is modal to the monitor window, which is disabled while the box is shown:
// the system menu and Alt+F4 cannot close it then, only a WM_CLOSE sent by another program (as
// taskkill does). The other runs take turns with every way.
CloseBy close_way(int run, const Variant& variant) {
  static const CloseBy ways[] = {CloseBy::SystemCommand, CloseBy::CloseMessage, CloseBy::AltF4};
  if (variant.moment == Moment::WhileErrorBoxShown) return CloseBy::CloseMessage;
  return ways[(run / variants().size()) % 3];
}

HWND monitor_window(const Program& program) {
  for (HWND window : process_windows(program))
    if (window_text(window) == Title) return window;
  return nullptr;
}

bool has_ended(const Program& program) {
  return WaitForSingleObject(program.process.hProcess, 0) == WAIT_OBJECT_0;
}

// Waits until the chosen moment, then finds the window, waiting for it when it is not there yet.
HWND window_at_random_moment(const Program& program, Outcome& outcome) {
  // Waiting on the process ends early if it ends by itself, which would be a fault.
  if (WaitForSingleObject(program.process.hProcess, outcome.delay_ms) != WAIT_TIMEOUT)
    return nullptr;
  HWND window = monitor_window(program);
  if (window) return window;
  outcome.window_late = true;
  wait_until([&] { return has_ended(program) || (window = monitor_window(program)) != nullptr; },
             AppearTimeoutMs);
  return window;
}

// Waits for the thermal error box, then lets it stand a little, as a user reading it would.
HWND window_while_box_shown(const Program& program, Outcome& outcome) {
  const HWND box = wait_for_error_box(program, AppearTimeoutMs);
  if (!box) return nullptr;
  outcome.delay_ms %= ErrorBoxLingerMs;
  WaitForSingleObject(program.process.hProcess, outcome.delay_ms);
  if (!IsWindow(box)) return nullptr;
  return monitor_window(program);
}

void remove_staged(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do DeleteFileW((dir + L"\\" + entry.cFileName).c_str());
    while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(dir.c_str());
}

Outcome run_once(int run, DWORD delay_ms) {
  const Variant& variant = variants()[run % variants().size()];
  Outcome outcome;
  outcome.delay_ms = delay_ms;
  Program program = start_program(stage(L"stress", {}), variant.scenario);
  if (!program.process.hProcess) {
    outcome.failure = "the program did not start (error " + std::to_string(GetLastError()) + ")";
    return outcome;
  }
  const HWND window = variant.moment == Moment::Random ? window_at_random_moment(program, outcome)
                                                       : window_while_box_shown(program, outcome);
  if (!window) {
    outcome.failure =
        has_ended(program) ? "the program ended by itself" : "no window (or no error box) to close";
  } else {
    request_close(window, close_way(run, variant));
    const ULONGLONG asked = GetTickCount64();
    DWORD code = 1;
    const bool exited = wait_exit(program, ExitDeadlineMs, &code);
    outcome.exit_ms = static_cast<DWORD>(GetTickCount64() - asked);
    if (!exited)
      outcome.failure = "still running 2 s (share time) after the close request";
    else if (code != 0)
      outcome.failure = "exit code " + std::to_string(code);
  }
  cleanup(program);
  remove_staged(program.dir);
  return outcome;
}

struct Pool {
  const std::vector<DWORD>* delays;
  std::vector<Outcome>* outcomes;
  std::vector<int> runs;  // the runs whose driver is installed now
  std::atomic<size_t> next;
};

DWORD WINAPI run_from_pool(void* parameter) {
  auto* pool = static_cast<Pool*>(parameter);
  for (size_t i; (i = pool->next++) < pool->runs.size();) {
    const int run = pool->runs[i];
    (*pool->outcomes)[run] = run_once(run, (*pool->delays)[run]);
  }
  return 0;
}

// The runs whose variant uses `driver`, in order.
std::vector<int> runs_with(const wchar_t* driver) {
  std::vector<int> runs;
  for (int run = 0; run < Runs; ++run)
    if (std::wstring(variants()[run % variants().size()].driver) == driver) runs.push_back(run);
  return runs;
}

std::vector<DWORD> random_moments(unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<DWORD> moment(0, FirstSecondsMs - 1);
  std::vector<DWORD> delays(Runs);
  for (DWORD& delay : delays) delay = moment(random);
  return delays;
}

void print_summary(const std::vector<Outcome>& outcomes, ULONGLONG total_ms, unsigned seed) {
  std::printf("%d runs, %d at a time, in %.1f s (seed %u)\n", Runs, Concurrent, total_ms / 1000.0,
              seed);
  for (size_t v = 0; v < variants().size(); ++v) {
    int runs = 0, late = 0;
    DWORD slowest = 0;
    for (size_t run = v; run < outcomes.size(); run += variants().size()) {
      ++runs;
      if (outcomes[run].window_late) ++late;
      if (outcomes[run].exit_ms > slowest) slowest = outcomes[run].exit_ms;
    }
    std::printf("  %-38s %2d runs, %2d closed as the window appeared, slowest exit %4lu ms\n",
                variants()[v].name, runs, late, slowest);
  }
}

}  // namespace

TEST(ShutdownStress, EveryRunClosedAtARandomMomentExitsWithZeroWithinTwoSeconds) {
  const unsigned seed = static_cast<unsigned>(GetTickCount64() ^ GetCurrentProcessId());
  const std::vector<DWORD> delays = random_moments(seed);
  std::vector<Outcome> outcomes(Runs);
  variants();  // built before the workers share it
  const ULONGLONG started = GetTickCount64();
  ShareClock spent = share_clock_start();
  // The system folder holds one driver of a name at a time, and AMD's is found before NVIDIA's
  // and Intel's: the runs go vendor by vendor.
  for (const wchar_t* driver : {L"atiadlxx.dll", L"nvapi64.dll", L"ControlLib.dll"}) {
    const InstalledDrivers installed = install_drivers({driver});
    Pool pool{&delays, &outcomes, runs_with(driver), {0}};
    HANDLE workers[Concurrent];
    for (HANDLE& worker : workers)
      worker = CreateThread(nullptr, 0, run_from_pool, &pool, 0, nullptr);
    const double left_ms = SuiteDeadlineMs - share_clock_ms(spent);
    ASSERT_TRUE(left_ms > 0 && wait_until([&] {
      return WaitForMultipleObjects(Concurrent, workers, TRUE, 0) == WAIT_OBJECT_0;
    }, static_cast<DWORD>(left_ms)))
        << "the runs took over " << SuiteDeadlineMs / 1000 << " s of share time";
    for (HANDLE worker : workers) CloseHandle(worker);
  }
  print_summary(outcomes, GetTickCount64() - started, seed);
  for (int run = 0; run < Runs; ++run) {
    const Outcome& outcome = outcomes[run];
    EXPECT_EQ(outcome.failure, "")
        << "run " << run << " (" << variants()[run % variants().size()].name << ", closed at "
        << outcome.delay_ms << " ms, seed " << seed << ")";
  }
}
