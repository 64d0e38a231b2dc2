// The program as unpacked from the release ZIP (the package test unpacks it and names the folder
// in GPUTHERM_UNPACKED): with a driver in the system folder, it shows a reading and closes with
// exit code 0.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/harness.h"

TEST(Package, UnpackedProgramShowsAReadingAndEndsWithExitZero) {
  const char* unpacked = std::getenv("GPUTHERM_UNPACKED");
  ASSERT_NE(unpacked, nullptr) << "runs through CTest, after the package test";
  const std::wstring dir = widen(unpacked);
  SystemDriver driver(L"atiadlxx.dll");

  Monitor monitor;
  monitor.program = start_program(dir, "adapter name=\"A\" bus=1 temps=45000");
  monitor.window = wait_for_window(monitor.program, L"GPU Temperature");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_TRUE(wait_for_label(monitor.window, 0, L"45\u00b0C  (113 \u00b0F)"));
  close_monitor(monitor);
}
