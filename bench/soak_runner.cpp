// Runs the monitor for a number of minutes on the simulated AMD driver with 8 GPUs whose readings
// drift on every pass, samples its handles, GDI and USER objects and private bytes every 10 s,
// prints the samples, and fails on any upward trend: from 10 s on (once the first readings have
// been painted) no object count may rise and stay up, and the private bytes may not grow by more
// than 64 KiB after the first minute.
// Usage: soak_runner <folder holding gputherm.exe> [minutes]
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/probe/probe.h"

namespace {

constexpr int DefaultMinutes = 10;
constexpr int SettleSeconds = 60;
constexpr DWORD WindowTimeoutMs = 30000;
constexpr DWORD ExitDeadlineMs = 2000;

// Samples until `minutes` have passed; stops early when the process ends.
std::vector<SoakSample> sample(ProbeTarget& target, int minutes) {
  std::vector<SoakSample> samples;
  for (int seconds = 0; seconds <= minutes * 60; seconds += SoakSamplePeriodSeconds) {
    if (seconds > 0 &&
        WaitForSingleObject(target.process.hProcess, SoakSamplePeriodSeconds * 1000) != WAIT_TIMEOUT)
      break;
    samples.push_back({seconds, probe_measure(target)});
    std::printf("%s\n", probe_format_sample(samples.back()).c_str());
    std::fflush(stdout);
  }
  return samples;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: soak_runner <folder with gputherm.exe> [minutes]\n");
    return 2;
  }
  const std::wstring dir = argv[1];
  const int minutes = argc > 2 && _wtoi(argv[2]) > 0 ? _wtoi(argv[2]) : DefaultMinutes;
  std::printf(
      "soak: gputherm for %d min on %d simulated AMD GPUs whose readings drift on every "
      "pass, a sample every %d s\n",
      minutes, SoakGpus, SoakSamplePeriodSeconds);
  const std::string scenario = probe_drifting_scenario(SoakGpus);
  ProbeTarget target =
      probe_start(dir, L"gputherm.exe", L"",
                  {L"SIMDRV_SCENARIO=" + std::wstring(scenario.begin(), scenario.end())});
  const HWND window = target.process.hProcess
                          ? probe_wait_window(target, L"GPU Temperature", WindowTimeoutMs)
                          : nullptr;
  if (!window) {
    std::printf("FAILED: the window never became complete\n");
    probe_release(target);
    return 1;
  }
  const std::vector<SoakSample> samples = sample(target, minutes);
  // A short soak has no sample after its first minute: its private bytes are judged from 20 s.
  const int settle = minutes > 1 ? SettleSeconds : 20;
  std::string fault = probe_soak_fault(samples, SoakObjectsFromSeconds, settle, SoakAllowedGrowth);
  if (fault.empty() && samples.back().seconds < minutes * 60) fault = "the program ended early";
  DWORD exit_code = 1;
  if (fault.empty() && !probe_close(target, window, ExitDeadlineMs, &exit_code))
    fault = "no exit within 2 s of the close request";
  else if (fault.empty() && exit_code != 0)
    fault = "exit code " + std::to_string(exit_code);
  probe_release(target);
  if (!fault.empty()) {
    std::printf("FAILED: %s\n", fault.c_str());
    return 1;
  }
  std::printf(
      "passed: no object count rose and stayed up from %d s to %d min, private bytes within "
      "%llu KiB after %d s\n",
      SoakObjectsFromSeconds, minutes, static_cast<unsigned long long>(SoakAllowedGrowth / 1024),
      settle);
  return 0;
}
