// Runs the monitor for a number of minutes on the simulated AMD driver with 8 GPUs whose readings
// drift on every pass, and a ninth adapter that no path can read, samples its handles, GDI and
// USER objects and private bytes every 10 s, prints the samples, and fails on any upward trend:
// from 10 s on (once the first readings have been painted) no object count may rise and stay up,
// and the private bytes may not grow by more than 64 KiB after the first minute (after 20 s in a
// soak of one minute). It fails too when the 8 readings did not change over the soak, when one
// does not show a temperature at the end, or when the ninth row does not say "Please wait".
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
// One more adapter than the drifting ones, which no path can read.
const char* const UnreadAdapter =
    "adapter name=Unread bus=99 index=99\nfail ADL_Overdrive5_Temperature_Get=-8 adapter=99\n";

std::vector<std::wstring> label_texts(HWND window) {
  std::vector<std::wstring> texts;
  for (int row = 0; row <= SoakGpus; ++row) {
    wchar_t text[256] = {};
    GetWindowTextW(GetDlgItem(window, row), text, 256);
    texts.emplace_back(text);
  }
  return texts;
}

// What the labels showed at the first sample and at the last: empty when they showed what a soak
// must, the readings changed and shown, the unread row waiting.
std::string labels_fault(const std::vector<std::wstring>& first,
                         const std::vector<std::wstring>& last) {
  if (first == last) return "the readings never changed";
  for (int row = 0; row < SoakGpus; ++row)
    if (last[row].find(L"\u00b0C  (") == std::wstring::npos)
      return "row " + std::to_string(row) + " shows no temperature";
  if (last[SoakGpus] != L"Please wait") return "the unread row does not say Please wait";
  return {};
}

// Samples until `minutes` have passed; stops early when the process ends. `first` and `last`
// receive the labels at the first sample and at the last.
std::vector<SoakSample> sample(ProbeTarget& target, HWND window, int minutes,
                               std::vector<std::wstring>* first, std::vector<std::wstring>* last) {
  std::vector<SoakSample> samples;
  for (int seconds = 0; seconds <= minutes * 60; seconds += SoakSamplePeriodSeconds) {
    if (seconds > 0 &&
        WaitForSingleObject(target.process.hProcess, SoakSamplePeriodSeconds * 1000) != WAIT_TIMEOUT)
      break;
    samples.push_back({seconds, probe_measure(target)});
    *last = label_texts(window);
    if (seconds == 0) *first = *last;
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
      "pass and one it cannot read, a sample every %d s\n",
      minutes, SoakGpus, SoakSamplePeriodSeconds);
  const std::string scenario = probe_drifting_scenario(SoakGpus) + UnreadAdapter;
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
  std::vector<std::wstring> first, last;
  const std::vector<SoakSample> samples = sample(target, window, minutes, &first, &last);
  // A short soak has no sample after its first minute: its private bytes are judged from 20 s.
  const int settle = minutes > 1 ? SettleSeconds : 20;
  std::string fault = probe_soak_fault(samples, SoakObjectsFromSeconds, settle, SoakAllowedGrowth);
  if (fault.empty() && samples.back().seconds < minutes * 60) fault = "the program ended early";
  if (fault.empty()) fault = labels_fault(first, last);
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
      "%llu KiB after %d s, readings changed and shown, the unread row waiting\n",
      SoakObjectsFromSeconds, minutes, static_cast<unsigned long long>(SoakAllowedGrowth / 1024),
      settle);
  return 0;
}
