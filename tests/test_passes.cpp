// The reading cycles run for hours: after the first pass, a pass must allocate nothing.
// The cycles run in this process against the simulated drivers, under the program's own state,
// with the simulated Plug and Play layer finding every GPU's device awake, so that every pass
// also asks each row's power state (CTest makes cfgmgr32 native for this test).
#include <gtest/gtest.h>

#include "app/program.h"
#include "backends/amd/amd.h"
#include "backends/intel/intel.h"
#include "backends/nvidia/nvidia.h"
#include "backends/nvidia/nvml_rows.h"
#include "tests/support/harness.h"

namespace {

constexpr int Gpus = 8;

// Passes the driver has seen, counted from the reading calls in its log, `per_pass` a pass.
size_t passes(const std::wstring& log, const char* reading_call, int per_pass = Gpus) {
  return log_lines_with(read_log(log), reading_call).size() / per_pass;
}

void open_window_with_labels() {
  window_open(0, 0, 0, 288, 97, L"GPU Temperature", WINDOW_MINIMIZE_BOX | WINDOW_SCREEN_CENTERED);
  for (int row = 0; row < Gpus; ++row)
    label_create(row, 15, 55 * row + 20, 250, 35, L"Please wait", LABEL_CENTER);
}

// Adapters and GPUs on buses 1 to 8, and a display device, awake, on each of those buses; and
// four compute accelerators of NVIDIA's on buses 9 to 12. The Plug and Play layer keeps them all
// for the whole test: it reads its scenario once, as it loads.
const wchar_t* const DriftingGpus =
    L"count=8\nadapter temps=drift:40..75\ngpu temps=drift:40..75\n"
    L"display;display;display;display;display;display;display;display\n"
    L"display id=PCI\\VEN_10DE&DEV_1B38\\9 bus=9 class=compute\n"
    L"display id=PCI\\VEN_10DE&DEV_1B38\\10 bus=10 class=compute\n"
    L"display id=PCI\\VEN_10DE&DEV_1B38\\11 bus=11 class=compute\n"
    L"display id=PCI\\VEN_10DE&DEV_1B38\\12 bus=12 class=compute\n";

std::wstring use_driver_log(const wchar_t* label, const wchar_t* scenario = DriftingGpus) {
  const std::wstring log = fresh_dir(label) + L"\\calls.log";
  SetEnvironmentVariableW(L"SIMDRV_LOG", log.c_str());
  SetEnvironmentVariableW(L"SIMDRV_SCENARIO", scenario);
  return log;
}

// Runs the cycle until it has made `total` passes; answers the allocations made after the
// first two.
uint64_t allocations_after_warm_up(ThreadProcedure cycle, const std::wstring& log,
                                   const char* reading_call, size_t total, int per_pass = Gpus) {
  const ThreadNumber worker = thread_create(cycle, 189);
  EXPECT_TRUE(wait_until([&] { return passes(log, reading_call, per_pass) >= 2; }, 10000));
  const uint64_t before = facade_allocations();
  EXPECT_TRUE(
      wait_until([&] { return passes(log, reading_call, per_pass) >= total; }, total * 1500));
  const uint64_t after = facade_allocations();
  EXPECT_FALSE(thread_kill(worker)) << "the cycle stops at its delay";
  return after - before;
}

}  // namespace

TEST(ReadingPasses, AllocateNothingAfterTheFirst) {
  SystemPlugAndPlay layer(L"cfgmgr32.dll", L"");
  const InstalledDrivers drivers = install_drivers({L"atiadlxx.dll", L"nvapi64.dll"});
  program_start();
  open_window_with_labels();

  const std::wstring amd_log = use_driver_log(L"passes-amd");
  ASSERT_NE(library_open_system(VendorLibrary, L"atiadlxx.dll"), nullptr);
  ASSERT_TRUE(amd_setup());
  ASSERT_EQ(State.DisplayedGpuCount, Gpus);
  EXPECT_EQ(allocations_after_warm_up(amd_reading_cycle, amd_log,
                                      "ADL_Overdrive5_Temperature_Get", 6),
            0u);
  EXPECT_NE(window_text(gadget_handle(7)), L"Please wait");
  EXPECT_GE(log_lines_with(read_log(amd_log), "PropertyW.PowerData").size(), 6u * Gpus)
      << "every row's power asked every pass";

  const std::wstring nvidia_log = use_driver_log(L"passes-nvidia");
  State.GpuCount = 0;
  ASSERT_TRUE(nvidia_setup());
  ASSERT_EQ(State.GpuCount, Gpus);
  EXPECT_EQ(allocations_after_warm_up(nvidia_reading_cycle, nvidia_log,
                                      "NvAPI_GPU_GetThermalSettings", 6),
            0u);

  // GeForces beside P40s that NVAPI does not list, read through NVML in the same passes.
  SystemDriver nvml(L"nvml.dll");
  std::wstring p40s;
  for (int gpu = 0; gpu < Gpus / 2; ++gpu)
    p40s += L"gpu bus=" + std::to_wstring(gpu + 1) + L" temps=drift:40..75\nnvml bus=" +
            std::to_wstring(gpu + 9) + L" temps=drift:40..75\n";
  const std::wstring nvml_log = use_driver_log(L"passes-nvml", p40s.c_str());
  State.GpuCount = 0;
  ASSERT_TRUE(nvidia_setup());
  ASSERT_EQ(State.DisplayedGpuCount, Gpus);
  EXPECT_EQ(allocations_after_warm_up(nvidia_reading_cycle, nvml_log, "nvmlDeviceGetTemperature",
                                      6, Gpus / 2),
            0u);
  EXPECT_NE(window_text(gadget_handle(7)), L"Please wait") << "a P40 read";
  nvml_rows_end();

  // Current AMD GPUs, read through ADL2 because their Overdrive5 reads fail.
  std::wstring current = L"fail ADL_Overdrive5_Temperature_Get=-8\n";
  for (int gpu = 0; gpu < Gpus; ++gpu) current += L"adapter edge=drift:40..75\n";
  const std::wstring adl2_log = use_driver_log(L"passes-adl2", current.c_str());
  ASSERT_TRUE(amd_setup());
  EXPECT_EQ(allocations_after_warm_up(amd_reading_cycle, adl2_log, "ADL2_New_QueryPMLogData_Get",
                                      6),
            0u);

  // GPUs that ADL lists twice, read through their second records: their kept ones answer nothing.
  std::wstring twice = L"display;display;display;display\n";
  for (int gpu = 0; gpu < Gpus / 2; ++gpu)
    twice += L"adapter bus=" + std::to_wstring(gpu + 1) + L"\nadapter bus=" +
             std::to_wstring(gpu + 1) + L" temps=drift:40..75\n"
             L"fail ADL_Overdrive5_Temperature_Get=-1 adapter=" + std::to_wstring(2 * gpu) + L"\n";
  const std::wstring twice_log = use_driver_log(L"passes-twice", twice.c_str());
  ASSERT_TRUE(amd_setup());
  EXPECT_EQ(allocations_after_warm_up(amd_reading_cycle, twice_log,
                                      "ADL_Overdrive5_Temperature_Get", 6, Gpus / 2),
            0u);
  const auto reads = log_lines_with(read_log(twice_log), "ADL_Overdrive5_Temperature_Get");
  EXPECT_EQ(log_field(reads.back(), "args"), "7") << "the last row read through its second record";

  // A Ryzen's Radeons beside GeForces that ADL lists too, read through NVAPI in the same passes.
  std::wstring geforces;
  for (int gpu = 0; gpu < Gpus; ++gpu)
    geforces += gpu < Gpus / 2 ? L"adapter temps=drift:40..75\n"
                               : L"adapter udid=PCI_VEN_10DE&DEV_2705\ngpu bus=" +
                                     std::to_wstring(gpu + 1) + L" temps=drift:40..75\n";
  geforces += L"display;display;display;display;display;display;display;display\n";
  const std::wstring geforce_log = use_driver_log(L"passes-geforce", geforces.c_str());
  ASSERT_TRUE(amd_setup());
  EXPECT_EQ(allocations_after_warm_up(amd_reading_cycle, geforce_log,
                                      "NvAPI_GPU_GetThermalSettings", 5, Gpus / 2),
            0u);
  EXPECT_NE(window_text(gadget_handle(7)), L"Please wait") << "a GeForce read";

  // Current AMD GPUs that no ADL call reads, read through ADLX, which lists them in reverse.
  SystemDriver adlx(L"amdadlx64.dll");
  std::wstring unreadable = L"fail ADL_Overdrive5_Temperature_Get=-8\n"
                            L"display;display;display;display;display;display;display;display\n";
  for (int gpu = 0; gpu < Gpus; ++gpu) unreadable += L"adapter\n";
  for (int gpu = Gpus; gpu > 0; --gpu)
    unreadable += L"adlx bus=" + std::to_wstring(gpu) + L" temps=45.5,46,47.5\n";
  const std::wstring adlx_log = use_driver_log(L"passes-adlx", unreadable.c_str());
  ASSERT_TRUE(amd_setup());
  EXPECT_EQ(allocations_after_warm_up(amd_reading_cycle, adlx_log, " GPUTemperature tid=", 6), 0u);
  EXPECT_NE(window_text(gadget_handle(7)), L"Please wait") << "read through ADLX";

  // Intel Arc GPUs: half read through the telemetry, half through a sensor looked up once.
  SystemDriver intel(L"ControlLib.dll");
  std::wstring arcs = L"display;display;display;display;display;display;display;display\n";
  for (int gpu = 0; gpu < Gpus; ++gpu)
    arcs +=
        gpu % 2 ? L"intel temps=off sensors=memory:70,gpu:50/51/52\n" : L"intel temps=45,46.5,47\n";
  const std::wstring intel_log = use_driver_log(L"passes-intel", arcs.c_str());
  ASSERT_TRUE(intel_setup());
  ASSERT_EQ(State.GpuCount, Gpus);
  EXPECT_EQ(allocations_after_warm_up(intel_reading_cycle, intel_log, "ctlPowerTelemetryGet", 6),
            0u);
  EXPECT_NE(window_text(gadget_handle(7)), L"Please wait") << "the sensor read";
  intel_shutdown();
}
