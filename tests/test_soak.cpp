// The soak's judgement of its samples. The soak itself, which runs the monitor for minutes, is
// scripts/soak.sh (`bash scripts/soak.sh 1` is the one-minute form).
#include <gtest/gtest.h>

#include <vector>

#include "tools/probe/probe.h"

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
