// The short soak: a minute of the monitor on 8 simulated AMD GPUs whose readings change on every
// pass, sampled every 10 s with the benchmark's probe. Objects must stay as they were and the
// private bytes flat; scripts/soak.sh runs the long form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "tools/probe/probe.h"

namespace {

constexpr int SoakSeconds = 60;
// Memory, which the long soak judges after its first minute, is judged here from the third
// sample on.
constexpr int SettleSeconds = 20;
constexpr DWORD ExitDeadlineMs = 2000;

std::vector<std::wstring> label_texts(HWND window) {
  std::vector<std::wstring> texts;
  for (int row = 0; row < SoakGpus; ++row) texts.push_back(window_text(row_label(window, row)));
  return texts;
}

std::string report(const std::vector<SoakSample>& samples) {
  std::string lines;
  for (const SoakSample& sample : samples) lines += probe_format_sample(sample) + "\n";
  return lines;
}

}  // namespace

TEST(Soak, AMinuteOfChangingReadingsKeepsObjectsAndPrivateBytesFlat) {
  // One more adapter that no path can read: it says "Please wait" all along.
  Program program = run_program(L"soak", {L"atiadlxx.dll"},
                                probe_drifting_scenario(SoakGpus) +
                                    "adapter name=Unread bus=99 index=99\n"
                                    "fail ADL_Overdrive5_Temperature_Get=-8 adapter=99\n");
  const HWND window = wait_for_window(program, L"GPU Temperature");
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(row_count(window), SoakGpus + 1);
  ProbeTarget target = probe_attach(program.process);
  std::vector<SoakSample> samples;
  std::vector<std::vector<std::wstring>> texts;
  for (int seconds = 0; seconds <= SoakSeconds; seconds += SoakSamplePeriodSeconds) {
    // Waiting on the process, not sleeping: a crash ends the soak at once.
    if (seconds > 0) {
      ASSERT_EQ(WaitForSingleObject(program.process.hProcess, SoakSamplePeriodSeconds * 1000),
                static_cast<DWORD>(WAIT_TIMEOUT))
          << "the program ended after " << seconds << " s\n"
          << report(samples);
    }
    samples.push_back({seconds, probe_measure(target)});
    texts.push_back(label_texts(window));
  }
  std::printf("%s", report(samples).c_str());
  EXPECT_EQ(probe_soak_fault(samples, SoakObjectsFromSeconds, SettleSeconds, SoakAllowedGrowth), "")
      << report(samples);
  EXPECT_NE(texts.front(), texts.back()) << "the readings never changed";
  for (const std::wstring& text : texts.back())
    EXPECT_NE(text.find(L"\u00b0C  ("), std::wstring::npos) << narrow(text);
  EXPECT_EQ(window_text(row_label(window, SoakGpus)), L"Please wait");

  request_close(window);
  DWORD code = 1;
  EXPECT_TRUE(wait_exit(program, ExitDeadlineMs, &code)) << "no exit after close";
  EXPECT_EQ(code, 0u);
  cleanup(program);
}

namespace {

SoakSample sample(int seconds, uint32_t gdi, uint64_t private_kib = 1000) {
  ProcessFigures figures;
  figures.found = true;
  figures.handles = 64;
  figures.gdi_objects = gdi;
  figures.user_objects = 20;
  figures.private_bytes = private_kib * 1024;
  return {seconds, figures};
}

}  // namespace

// The judgement itself: a leak must fail the soak, and what Wine does for a moment must not.
TEST(Soak, JudgementFailsLeaksAndToleratesMomentaryObjects) {
  const auto fault = [](std::vector<SoakSample> samples) {
    return probe_soak_fault(samples, 10, 20, 64 * 1024);
  };
  EXPECT_EQ(fault({sample(0, 100), sample(10, 144), sample(20, 144), sample(30, 144)}), "");
  EXPECT_EQ(fault({sample(0, 100), sample(10, 145), sample(20, 144), sample(30, 144)}), "")
      << "a count that falls";
  EXPECT_EQ(fault({sample(10, 144), sample(20, 145), sample(30, 144), sample(40, 144)}), "")
      << "one high sample";
  EXPECT_NE(fault({sample(10, 144), sample(20, 144), sample(30, 145), sample(40, 145)}), "")
      << "one object more for good";
  EXPECT_NE(fault({sample(10, 144), sample(20, 145), sample(30, 146), sample(40, 147)}), "")
      << "one more on every sample";
  EXPECT_NE(fault({sample(10, 144, 1000), sample(20, 144, 1000), sample(30, 144, 1065)}), "")
      << "private bytes grown by 65 KiB";
  EXPECT_EQ(fault({sample(10, 144, 1000), sample(20, 144, 1000), sample(30, 144, 1064)}), "");
  EXPECT_EQ(fault({sample(0, 100)}), "no sample late enough to judge");
}
