// Measures the monitor against the bare-window baseline under the same conditions: all on the
// simulated AMD driver with 8 GPUs whose readings drift on every pass, started one after the
// other for several rounds, each left running for the same period. Prints every figure as the
// medians of both and their ratio gputherm / baseline, with the target it has to meet; then the
// same against the baseline built with gputherm's manifest (common controls 6), without targets,
// to tell what that library costs from what the program costs. On the AMD path gputherm runs
// twice: as gputherm.exe with Wine's own Plug and Play layer, which finds no device of a simulated
// GPU, and as gputherm_pnp.exe with the simulated one (scripts/bench.sh makes it native for that
// name), which finds every GPU's device awake, so that the power query is made for every row
// every pass.
// A fifth program, intel\gputherm_intel.exe, for which scripts/bench.sh disables AMD's library,
// reads 8 simulated Intel Arc GPUs through the control library. The script puts the simulated
// libraries in the system folder.
// The sixth run is gputherm.exe again, on 8 current AMD GPUs whose Overdrive5 fails, so that every
// reading goes on to ADL2's performance log. The seventh is gputherm.exe on a Ryzen machine with
// GeForce cards: ADL lists 4 Radeons and 4 GeForces, and the GeForces are read through NVAPI. The
// eighth is gputherm.exe on 8 current AMD GPUs that no ADL call reads, read through ADLX.
// These four paths are each held to a tenth of the AMD path's processor time and private bytes.
// Usage: bench_runner <folder holding gputherm.exe, gputherm_pnp.exe, baseline.exe,
//                      baseline_cc6.exe and intel\gputherm_intel.exe> [rounds] [seconds]
//                     [intel | adl2 | geforce | adlx | nvml | earlier]
// With `intel`, `adl2`, `geforce` or `adlx`, only that path and the AMD path run, and only their
// comparison is printed. With `earlier`, this build (staged again as this\gputherm.exe) runs
// against earlier\gputherm.exe, another build of it, both on the AMD path, and every figure is
// printed as a ratio, without targets.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/probe/probe.h"

namespace {

constexpr int Gpus = 8;
constexpr int DefaultRounds = 5;
constexpr int DefaultSeconds = 30;
// Start-up varies by tens of milliseconds from one start to the next under Wine, so it also gets
// rounds of its own, each program started and closed at once, in turn.
constexpr int StartRounds = 15;
constexpr DWORD WindowTimeoutMs = 30000;
constexpr DWORD ExitDeadlineMs = 2000;
constexpr double RatioLimit = 1.3;
constexpr double PathRatioLimit = 1.1;  // another path of gputherm against the AMD path
constexpr double SizeRatioLimit = 4.0;
constexpr double SizeLimitBytes = 64 * 1024;
const wchar_t* const WindowTitle = L"GPU Temperature";

struct Subject {
  const char* name;
  const wchar_t* file;
  std::wstring arguments;
  // The simulated drivers' scenario for `Gpus` GPUs: which GPUs it finds, and how it reads them.
  std::string (*scenario)(int gpus) = probe_drifting_scenario;
};

struct Run {
  std::string failure;  // empty when the run completed
  double startup_ms = 0;
  double cpu_to_ready_ms = 0;
  double cpu_ms = 0;     // over the measured period, from the window's completion
  double server_ms = 0;  // the wineserver over the same period
  ProcessFigures end;
};

struct Tally {
  int targets = 0;
  int met = 0;
};

double ns_to_ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }

double elapsed_ms(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
         static_cast<double>(frequency.QuadPart);
}

// Waits out the period while watching the process: false when it ended.
bool keep_running(const ProbeTarget& target, int seconds) {
  return WaitForSingleObject(target.process.hProcess, static_cast<DWORD>(seconds) * 1000) ==
         WAIT_TIMEOUT;
}

void close_at_once(const ProbeTarget& target, HWND window, Run& run) {
  DWORD exit_code = 1;
  if (!probe_close(target, window, ExitDeadlineMs, &exit_code))
    run.failure = "no exit after close";
  else if (exit_code != 0)
    run.failure = "exit code " + std::to_string(exit_code);
}

void measure_period(ProbeTarget& target, HWND window, int seconds, Run& run) {
  const uint64_t cpu_ready = probe_cpu_ns(target);
  const uint64_t server_ready = probe_wineserver_cpu_ns();
  run.cpu_to_ready_ms = ns_to_ms(cpu_ready);
  if (!keep_running(target, seconds)) {
    run.failure = "ended before the period was over";
    return;
  }
  run.server_ms = ns_to_ms(probe_wineserver_cpu_ns() - server_ready);
  run.end = probe_measure(target);
  run.cpu_ms = ns_to_ms(run.end.cpu_ns - cpu_ready);
  close_at_once(target, window, run);
}

// Starts the program and waits for its complete window; `seconds` 0 closes it at once, for the
// extra start-up rounds.
Run run_once(const Subject& subject, const std::wstring& dir, int seconds) {
  Run run;
  const std::string scenario = subject.scenario(Gpus);
  LARGE_INTEGER started, ready;
  QueryPerformanceCounter(&started);
  ProbeTarget target =
      probe_start(dir, subject.file, subject.arguments,
                  {L"SIMDRV_SCENARIO=" + std::wstring(scenario.begin(), scenario.end())});
  const HWND window =
      target.process.hProcess ? probe_wait_window(target, WindowTitle, WindowTimeoutMs) : nullptr;
  QueryPerformanceCounter(&ready);
  run.startup_ms = elapsed_ms(started, ready);
  if (!window)
    run.failure = "no complete window";
  else if (seconds > 0)
    measure_period(target, window, seconds, run);
  else
    close_at_once(target, window, run);
  probe_release(target);
  return run;
}

constexpr int SubjectCount = 12;
// The baselines get as many rows as the simulated driver has GPUs.
const Subject Subjects[SubjectCount] = {
    {"gputherm", L"gputherm.exe", L""},
    {"baseline", L"baseline.exe", L"8"},
    {"baseline_cc6", L"baseline_cc6.exe", L"8"},
    {"gputherm+pnp", L"gputherm_pnp.exe", L""},
    {"gputherm+intel", L"intel\\gputherm_intel.exe", L"", probe_intel_scenario},
    {"gputherm+adl2", L"gputherm.exe", L"", probe_adl2_scenario},
    {"gputherm+geforce", L"gputherm.exe", L"", probe_geforce_scenario},
    {"gputherm+adlx", L"gputherm.exe", L"", probe_adlx_scenario},
    {"gputherm+nvidia", L"nvidia\\gputherm_nvidia.exe", L"", probe_nvidia_scenario},
    {"gputherm+nvml", L"nvidia\\gputherm_nvidia.exe", L"", probe_nvml_scenario},
    {"this build", L"this\\gputherm.exe", L""},
    {"earlier build", L"earlier\\gputherm.exe", L""}};
enum SubjectIndex {
  Gputherm,
  Baseline,
  BaselineCc6,
  GputhermPnp,
  GputhermIntel,
  GputhermAdl2,
  GputhermGeforce,
  GputhermAdlx,
  // Run by the `nvml` mode alone: NVIDIA's GPUs without ADL, through NVAPI, and compute cards
  // through NVML, the one against the other.
  GputhermNvidia,
  GputhermNvml,
  // Run by the `earlier` mode alone, each from a folder of its own, staged alike, so that the two
  // differ in nothing but the build.
  ThisBuild,
  EarlierBuild
};

const std::vector<int> EverySubject = {Gputherm,      Baseline,     BaselineCc6,
                                       GputhermPnp,   GputhermIntel, GputhermAdl2,
                                       GputhermGeforce, GputhermAdlx};

// Another way gputherm reads its GPUs, compared with the AMD path (Overdrive5), or another, and
// held to a tenth of its processor time and private bytes.
struct Path {
  int subject;
  const char* title;     // "the Intel path"
  const char* gpus;      // the GPUs it reads, for the focused run's heading
  const char* read_how;  // how it reads them, for the comparison's heading
  const wchar_t* mode;   // the last argument that runs this path and the AMD path alone
  int against = Gputherm;
  const char* against_title = "the AMD path";
};

const Path Paths[] = {
    {GputhermIntel, "the Intel path", "simulated Intel Arc GPUs",
     "simulated Arc GPUs read through the telemetry", L"intel"},
    {GputhermAdl2, "the ADL2 path",
     "simulated current AMD GPUs read through ADL2's performance log",
     "simulated current AMD GPUs, Overdrive5 failing, read through ADL2's performance log",
     L"adl2"},
    {GputhermGeforce, "the GeForce beside a Ryzen path",
     "simulated Radeons and GeForces that ADL lists, the GeForces read through NVAPI",
     "simulated GPUs that ADL lists, half Radeons read through Overdrive5, half GeForces read "
     "through NVAPI in the same passes",
     L"geforce"},
    {GputhermAdlx, "the ADLX path", "simulated current AMD GPUs that only ADLX reads",
     "simulated current AMD GPUs, every ADL temperature call failing, read through ADLX",
     L"adlx"},
    {GputhermNvml, "the NVML path", "simulated compute cards that only NVML lists",
     "simulated compute cards in TCC mode, NVAPI finding no GPU, read through NVML", L"nvml",
     GputhermNvidia, "the NVIDIA path"},
};

// Every round runs each of `subjects` once; the first to go turns from round to round, so that a
// drift of the machine favours none. False when a run failed.
bool run_rounds(const std::wstring& dir, int rounds, int seconds, const std::vector<int>& subjects,
                std::vector<Run>* runs) {
  bool all_completed = true;
  const size_t count = subjects.size();
  for (int round = 0; round < rounds; ++round) {
    for (size_t turn = 0; turn < count; ++turn) {
      const int which = subjects[(static_cast<size_t>(round) + turn) % count];
      const Run run = run_once(Subjects[which], dir, seconds);
      std::printf("round %d %s: start-up %.1f ms, processor time %.1f ms%s\n", round + 1,
                  Subjects[which].name, run.startup_ms, run.cpu_ms,
                  run.failure.empty() ? "" : (", FAILED: " + run.failure).c_str());
      std::fflush(stdout);
      if (!run.failure.empty())
        all_completed = false;
      else
        runs[which].push_back(run);
    }
  }
  return all_completed;
}

// Rounds that only start each program and close it once its window is complete; every start of
// a program, these and those of the measured runs, goes to `starts`.
bool run_start_rounds(const std::wstring& dir, const std::vector<Run>* runs,
                      std::vector<Run>* starts) {
  bool all_completed = true;
  for (const int which : EverySubject) starts[which] = runs[which];
  const size_t count = EverySubject.size();
  for (int round = 0; round < StartRounds; ++round) {
    std::printf("start-up round %d:", round + 1);
    for (size_t turn = 0; turn < count; ++turn) {
      const int which = EverySubject[(static_cast<size_t>(round) + turn) % count];
      const Run run = run_once(Subjects[which], dir, 0);
      std::printf(" %s %.1f ms%s", Subjects[which].name, run.startup_ms,
                  run.failure.empty() ? "" : (" FAILED: " + run.failure).c_str());
      if (!run.failure.empty())
        all_completed = false;
      else
        starts[which].push_back(run);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  return all_completed;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

using Figure = double (*)(const Run&);

double median_of(const std::vector<Run>& runs, Figure figure) {
  std::vector<double> values;
  for (const Run& run : runs) values.push_back(figure(run));
  return median(values);
}

double ratio(double numerator, double denominator) {
  return denominator > 0 ? numerator / denominator : 0;
}

const char* verdict(bool met, Tally& tally) {
  ++tally.targets;
  if (met) ++tally.met;
  return met ? "met" : "NOT met";
}

// A figure compared as a ratio; `limit` 0 means it has no target.
struct RatioLine {
  const char* name;  // completed by " over N s" or " after N s" when `when` says so
  const char* when;
  const char* unit;
  Figure value;
  double limit;
  bool wine_only;    // the wineserver's figures exist only under Wine
  bool every_start;  // the median over every start, not only the measured runs
};

// A count that must equal the baseline's plus `allowed_extra`.
struct ObjectLine {
  const char* name;
  Figure value;
  int allowed_extra;
  const char* extra;
  const char* under_wine;  // what the count is limited to under Wine
};

double kib(uint64_t bytes) { return static_cast<double>(bytes) / 1024; }

const RatioLine RatioLines[] = {
    {"start of the process to the complete window", "", "ms",
     [](const Run& r) { return r.startup_ms; }, RatioLimit, false, true},
    {"processor time (user + system)", "over", "ms", [](const Run& r) { return r.cpu_ms; },
     RatioLimit, false, false},
    {"processor time (user + system) from start to the complete window", "", "ms",
     [](const Run& r) { return r.cpu_to_ready_ms; }, 0, false, false},
    {"wineserver processor time", "over", "ms", [](const Run& r) { return r.server_ms; }, 0, true, false},
    {"private bytes (committed private memory)", "after", "KiB",
     [](const Run& r) { return kib(r.end.private_bytes); }, RatioLimit, false, false},
    {"resident private memory", "after", "KiB",
     [](const Run& r) { return kib(r.end.resident_private); }, 0, false, false},
    {"peak working set", "after", "KiB", [](const Run& r) { return kib(r.end.peak_working_set); },
     RatioLimit, false, false},
};

double handles(const Run& run) { return run.end.handles; }
double gdi_objects(const Run& run) { return run.end.gdi_objects; }
double user_objects(const Run& run) { return run.end.user_objects; }

const ObjectLine ObjectLines[] = {
    {"handles", handles, 0, "", ""},
    {"GDI objects", gdi_objects, 1, " (the font)", ""},
    {"USER objects", user_objects, 1, " (the hidden relay window)", " (windows)"},
};

std::string line_name(const char* name, const char* when, int seconds) {
  if (!*when) return name;
  return std::string(name) + " " + when + " " + std::to_string(seconds) + " s";
}

// gputherm's runs and those of the program it is compared with.
struct Comparison {
  const char* name;
  const std::vector<Run>& gputherm;
  const std::vector<Run>& other;
  const std::vector<Run>& gputherm_starts;
  const std::vector<Run>& other_starts;
  const char* other_name;
  int seconds;
  Tally* tally;  // null: no targets, an indented block
};

void print_ratio_line(const RatioLine& line, const Comparison& c) {
  const double gv = median_of(line.every_start ? c.gputherm_starts : c.gputherm, line.value);
  const double ov = median_of(line.every_start ? c.other_starts : c.other, line.value);
  const int decimals = std::string(line.unit) == "ms" ? 1 : 0;
  std::printf("%s%s: %s %.*f %s, %s %.*f %s, ratio %.2f", c.tally ? "" : "  ",
              line_name(line.name, line.when, c.seconds).c_str(), c.name, decimals, gv, line.unit,
              c.other_name, decimals, ov, line.unit, ratio(gv, ov));
  if (c.tally && line.limit > 0)
    std::printf("; target at most %.1fx: %s\n", line.limit,
                verdict(ratio(gv, ov) <= line.limit, *c.tally));
  else
    std::printf(c.tally ? " (no target)\n" : "\n");
}

void print_object_line(const ObjectLine& line, const Comparison& c) {
  const double gv = median_of(c.gputherm, line.value), ov = median_of(c.other, line.value);
  std::printf("%s%s%s: %s %.0f, %s %.0f, ratio %.2f, difference %+.0f", c.tally ? "" : "  ",
              line_name(line.name, "after", c.seconds).c_str(),
              probe_under_wine() ? line.under_wine : "", c.name, gv, c.other_name, ov,
              ratio(gv, ov), gv - ov);
  if (c.tally)
    std::printf("; target baseline + %d%s: %s\n", line.allowed_extra, line.extra,
                verdict(gv == ov + line.allowed_extra, *c.tally));
  else
    std::printf("\n");
}

// Another path may cost at most a tenth more than the AMD path in processor time and memory.
void print_path_targets(const char* name, const std::vector<Run>& path, const char* against,
                        const std::vector<Run>& amd, int seconds, Tally& tally) {
  for (const RatioLine& line : RatioLines) {
    const std::string figure = line.name;
    if (figure != "processor time (user + system)" &&
        figure != "private bytes (committed private memory)")
      continue;
    const double pv = median_of(path, line.value), av = median_of(amd, line.value);
    std::printf("%s: %s %.1f %s, %s %.1f %s, ratio %.2f; target at most %.1fx: %s\n",
                line_name(line.name, line.when, seconds).c_str(), name, pv, line.unit, against, av,
                line.unit, ratio(pv, av), PathRatioLimit,
                verdict(ratio(pv, av) <= PathRatioLimit, tally));
  }
}

void print_lines(const Comparison& c) {
  for (const RatioLine& line : RatioLines)
    if (!line.wine_only || probe_under_wine()) print_ratio_line(line, c);
  for (const ObjectLine& line : ObjectLines) print_object_line(line, c);
}

double file_size(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<double>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

void print_sizes(const std::wstring& dir, Tally& tally) {
  const double g = file_size(dir + L"\\gputherm.exe");
  const double b = file_size(dir + L"\\baseline.exe");
  std::printf(
      "executable size, stripped: gputherm %.0f bytes, baseline %.0f bytes, ratio %.2f; "
      "target at most %.0fx and under %.0f bytes: %s\n",
      g, b, ratio(g, b), SizeRatioLimit, SizeLimitBytes,
      verdict(ratio(g, b) <= SizeRatioLimit && g < SizeLimitBytes, tally));
}

std::string wine_version() {
  using Version = const char*(__cdecl*)();
  const auto version = reinterpret_cast<Version>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  return version ? std::string("Wine ") + version() : std::string("Windows");
}

int argument(int argc, wchar_t** argv, int index, int fallback) {
  const int value = argc > index ? _wtoi(argv[index]) : 0;
  return value > 0 ? value : fallback;
}

// The path's two targets against the AMD path, then its other figures against it, without.
void print_path_comparison(const Path& path, const std::vector<Run>* runs,
                           const std::vector<Run>* starts, int seconds) {
  const int which = path.subject;
  const int against = path.against;
  const char* name = Subjects[which].name;
  std::printf("%s, %d %s, against %s:\n", path.title, Gpus, path.read_how, path.against_title);
  Tally tally;
  print_path_targets(name, runs[which], Subjects[against].name, runs[against], seconds, tally);
  print_lines({name, runs[which], runs[against], starts[which], starts[against],
               Subjects[against].name, seconds, nullptr});
  std::printf("targets met on %s: %d of %d\n", path.title, tally.met, tally.targets);
}

// The path named by `mode`, or null.
const Path* path_for_mode(const std::wstring& mode) {
  for (const Path& path : Paths)
    if (mode == path.mode) return &path;
  return nullptr;
}

// One path against the AMD path alone, in turn: more rounds in the same time, for a figure that
// differs by a tenth. Start-up is then taken from the measured runs only.
int compare_path(const Path& path, const std::wstring& dir, int rounds, int seconds) {
  std::vector<Run> runs[SubjectCount];
  const bool all_completed = run_rounds(dir, rounds, seconds, {path.against, path.subject}, runs);
  if (runs[path.against].empty() || runs[path.subject].empty()) {
    std::printf("no complete run of both paths\n");
    return 1;
  }
  print_path_comparison(path, runs, runs, seconds);
  std::printf("every run closed with exit code 0 within %lu ms: %s\n", ExitDeadlineMs,
              all_completed ? "yes" : "NO");
  return all_completed ? 0 : 1;
}

// gputherm against another build of it, both on the AMD path, in turn: what a change costs or
// saves, every figure a ratio without targets. Start-up is taken from the measured runs only.
int compare_builds(const std::wstring& dir, int rounds, int seconds) {
  std::vector<Run> runs[SubjectCount];
  const bool all_completed = run_rounds(dir, rounds, seconds, {ThisBuild, EarlierBuild}, runs);
  if (runs[ThisBuild].empty() || runs[EarlierBuild].empty()) {
    std::printf("no complete run of both builds\n");
    return 1;
  }
  std::printf("this build against the earlier one, no targets:\n");
  print_lines({"this build", runs[ThisBuild], runs[EarlierBuild], runs[ThisBuild],
               runs[EarlierBuild], "earlier build", seconds, nullptr});
  std::printf("every run closed with exit code 0 within %lu ms: %s\n", ExitDeadlineMs,
              all_completed ? "yes" : "NO");
  return all_completed ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf(
        "usage: bench_runner <folder with gputherm.exe, gputherm_pnp.exe, "
        "baseline.exe, baseline_cc6.exe, intel\\gputherm_intel.exe> [rounds] [seconds] "
        "[intel | adl2 | geforce | adlx | nvml | earlier]\n");
    return 2;
  }
  const std::wstring dir = argv[1];
  const int rounds = argument(argc, argv, 2, DefaultRounds);
  const int seconds = argument(argc, argv, 3, DefaultSeconds);
  const Path* focus = argc > 4 ? path_for_mode(argv[4]) : nullptr;
  const bool earlier = argc > 4 && std::wstring(argv[4]) == L"earlier";
  if (earlier)
    std::printf(
        "benchmark: gputherm against an earlier build of it under %s, %d simulated AMD GPUs "
        "whose readings drift on every pass, %d rounds in turn, %d s each, medians\n",
        wine_version().c_str(), Gpus, rounds, seconds);
  else if (focus)
    std::printf(
        "benchmark: gputherm on %d %s against %s under %s, readings that change on every pass, "
        "%d rounds in turn, %d s each, medians\n",
        Gpus, focus->gpus, focus->against_title, wine_version().c_str(), rounds, seconds);
  else
    std::printf(
        "benchmark: gputherm against the bare-window baseline under %s, %d simulated AMD "
        "GPUs whose readings drift on every pass, %d rounds in turn, %d s each, and %d start-up "
        "rounds, medians\n",
        wine_version().c_str(), Gpus, rounds, seconds, StartRounds);
  std::printf("processor time source: %s\n",
              probe_under_wine() ? "the host process's scheduler run time of all its threads"
                                 : "GetProcessTimes");
  if (earlier) return compare_builds(dir, rounds, seconds);
  if (focus) return compare_path(*focus, dir, rounds, seconds);
  std::vector<Run> runs[SubjectCount], starts[SubjectCount];
  bool all_completed = run_rounds(dir, rounds, seconds, EverySubject, runs);
  all_completed = run_start_rounds(dir, runs, starts) && all_completed;
  for (const int which : EverySubject) {
    if (runs[which].empty()) {
      std::printf("no complete run of %s\n", Subjects[which].name);
      return 1;
    }
  }
  Tally tally;
  print_sizes(dir, tally);
  print_lines({"gputherm", runs[Gputherm], runs[Baseline], starts[Gputherm], starts[Baseline],
               "baseline", seconds, &tally});
  std::printf("targets met: %d of %d\n", tally.met, tally.targets);
  std::printf(
      "against baseline_cc6, the baseline built with gputherm's manifest (common "
      "controls 6), no targets:\n");
  print_lines({"gputherm", runs[Gputherm], runs[BaselineCc6], starts[Gputherm],
               starts[BaselineCc6], "baseline_cc6", seconds, nullptr});
  std::printf(
      "with the simulated Plug and Play layer, every GPU's device found awake and queried every "
      "pass, against baseline_cc6:\n");
  Tally layer_tally;
  print_lines({"gputherm+pnp", runs[GputhermPnp], runs[BaselineCc6], starts[GputhermPnp],
               starts[BaselineCc6], "baseline_cc6", seconds, &layer_tally});
  std::printf("targets met with the layer: %d of %d\n", layer_tally.met, layer_tally.targets);
  std::printf("the layer's own cost, against gputherm without it, no targets:\n");
  print_lines({"gputherm+pnp", runs[GputhermPnp], runs[Gputherm], starts[GputhermPnp],
               starts[Gputherm], "gputherm", seconds, nullptr});
  for (const Path& path : Paths)
    if (path.against == Gputherm) print_path_comparison(path, runs, starts, seconds);
  std::printf("every run closed with exit code 0 within %lu ms: %s\n", ExitDeadlineMs,
              all_completed ? "yes" : "NO");
  return all_completed ? 0 : 1;
}
