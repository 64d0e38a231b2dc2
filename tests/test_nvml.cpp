// NVIDIA's compute GPUs that NVAPI does not list (TCC and MCDM cards), read through NVML in rows of
// their own: machine by machine, end to end against the simulated NVAPI, ADL, NVML and Plug and
// Play layer, with the titles and readings the window shows and the calls each library received.
#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/restart.h"

namespace {

std::wstring reading(int celsius) { return reading_text(celsius); }

std::wstring title(int row, const std::wstring& name) {
  return L"GPU # " + std::to_wstring(row) + L"   -   " + name;
}

std::string display(int bus, const std::string& vendor_device, const std::string& more = "") {
  return "display id=\"PCI\\\\VEN_" + vendor_device + "\\\\" + std::to_string(bus) +
         "\" bus=" + std::to_string(bus) + " " + more + "\n";
}

// An NVIDIA GPU that NVAPI lists, with its display device and NVML's record of it.
std::string geforce(const std::string& name, int bus, int celsius) {
  return "gpu name=\"" + name + "\" bus=" + std::to_string(bus) +
         " temps=" + std::to_string(celsius) + "\n" + display(bus, "10DE&DEV_2204") +
         "nvml name=\"" + name + "\" bus=" + std::to_string(bus) + " model=wddm\n";
}

// A compute card NVML alone lists; its device in the display class (TCC) or among the compute
// accelerators (MCDM).
std::string compute_card(const std::string& name, int bus, const std::string& model,
                         const std::string& temps) {
  return display(bus, "10DE&DEV_1B38", model == "mcdm" ? "class=compute" : "") + "nvml name=\"" +
         name + "\" bus=" + std::to_string(bus) + " model=" + model + " temps=" + temps + "\n";
}

std::vector<std::string> calls(const Program& program, const std::string& function) {
  return log_lines_with(read_log(program.log_path), function + " tid=");
}

// The NVML handle a call was about: 0x4E560010 + 0x10 * position (+ 0x1000 after a restart).
std::string about(const std::string& line) {
  const std::string args = log_field(line, "args");
  return args.substr(0, args.find(','));
}

// Every successful initialise got one shutdown, before the library was unloaded, and nothing
// followed the last shutdown.
void expect_every_init_shut_down(const std::vector<std::string>& log, size_t inits) {
  const auto init_ok = [](const std::string& line) { return log_field(line, "status") == "0"; };
  const auto inits_seen = log_lines_with(log, "nvmlInit_v2 tid=");
  EXPECT_EQ(std::count_if(inits_seen.begin(), inits_seen.end(), init_ok),
            static_cast<long>(inits));
  const auto shutdowns = log_lines_with(log, "nvmlShutdown tid=");
  ASSERT_EQ(shutdowns.size(), inits);
  EXPECT_EQ(log_field(shutdowns.back(), "count"), "0");
  const size_t last = log_first_line_with(log, shutdowns.back());
  EXPECT_LT(last, log_first_line_with(log, "nvml.dll unload"));
  for (size_t i = last + 1; i < log.size(); ++i)
    EXPECT_EQ(log[i].find(" nvml"), std::string::npos) << log[i];
}

struct Machine {
  Monitor monitor;
  std::unique_ptr<SystemPlugAndPlay> layer;
};

Monitor start(const wchar_t* label, const std::vector<std::wstring>& drivers,
              const std::string& scenario) {
  return start_monitor(label, drivers, scenario);
}

const std::vector<std::wstring> NvidiaDrivers = {L"nvapi64.dll", L"nvml.dll"};

}  // namespace

// Three P40s and an RTX 3090, NVML listing the 3090 between them, unlike NVAPI: the 3090 keeps
// NVAPI's row, each P40 gets its own after it, in NVML's order, and each row its own card's
// temperature. NVAPI is asked about none of the P40s, NVML about none but the P40s' temperatures.
TEST(Nvml, GeForceAndP40sEachReadByItsOwnLibrary) {
  SystemPlugAndPlay layer;
  Monitor monitor = start(L"p40", NvidiaDrivers,
                          compute_card("Tesla P40 A", 65, "tcc", "40") +
                              geforce("NVIDIA GeForce RTX 3090", 1, 60) +
                              compute_card("Tesla P40 B", 66, "tcc", "41") +
                              compute_card("Tesla P40 C", 67, "tcc", "42"));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{title(0, L"NVIDIA GeForce RTX 3090"),
                                       title(1, L"Tesla P40 A"), title(2, L"Tesla P40 B"),
                                       title(3, L"Tesla P40 C")}));
  EXPECT_EQ(client_size(monitor.window).cy, 4 * 61);
  EXPECT_TRUE(rect_is(rect_in_parent(row_frame(monitor.window, 3)), 24, 55 * 3 + 8, 233, 50));
  for (int row = 0; row < 4; ++row)
    EXPECT_TRUE(wait_for_label(monitor.window, row, reading(row == 0 ? 60 : 39 + row)));
  EXPECT_TRUE(wait_until([&] { return calls(monitor.program, "nvmlDeviceGetTemperature").size() >= 6; }));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  for (const std::string& line : log_lines_with(log, "NvAPI_GPU_GetThermalSettings tid="))
    EXPECT_EQ(about(line), "0x10DE0010");
  for (const std::string& line : log_lines_with(log, "nvmlDeviceGetTemperature tid=")) {
    EXPECT_NE(about(line), "0x4E560020") << "the 3090 is NVAPI's";
    EXPECT_NE(line.find(",0,0x"), std::string::npos) << "sensor 0: " << line;
  }
  EXPECT_EQ(log_lines_with(log, "nvmlDeviceGetName tid=").size(), 3u);
  EXPECT_EQ(log_lines_with(log, "nvmlDeviceGetDriverModel tid=").size(), 3u)
      << "the 3090's location is NVAPI's: its driver model is not asked";
  expect_every_init_shut_down(log, 1);
}

// A P100 that driver 560 moved to MCDM, listed among the compute accelerators, beside an RTX
// 2060: and the reading rules everyone's rows follow, a value above 255 being none.
TEST(Nvml, P100InMcdmBesideAnRtx2060) {
  SystemPlugAndPlay layer;
  Monitor monitor =
      start(L"p100", NvidiaDrivers,
            geforce("NVIDIA GeForce RTX 2060", 1, 55) +
                compute_card("Tesla P100-PCIE-16GB", 129, "mcdm", "48,256,256,256") +
                "fail nvmlDeviceGetTemperature=999 gpu=1 from=5\n");
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{title(0, L"NVIDIA GeForce RTX 2060"),
                                       title(1, L"Tesla P100-PCIE-16GB")}));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(48)));
  // 256 three times, then failing reads: the reading stays for ten passes, then goes.
  EXPECT_TRUE(wait_for_label(monitor.window, 1, L"No reading", 30000));
  EXPECT_EQ(calls(monitor.program, "nvmlDeviceGetTemperature").size(), 11u);
  EXPECT_EQ(window_text(row_label(monitor.window, 0)), reading(55));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr) << "a failed read shows no box";
  close_monitor(monitor);
  expect_every_init_shut_down(read_log(monitor.program.log_path), 1);
}

// A server whose only NVIDIA GPU is a Tesla M40, beside Intel's built-in graphics: NVAPI finds no
// NVIDIA GPU, and the Tesla's row is the window, with no box. Without NVML the box stays.
TEST(Nvml, ServerWhoseOnlyNvidiaGpuIsATesla) {
  SystemPlugAndPlay layer;
  const std::string server =
      display(0, "8086&DEV_1912", "device=2") + compute_card("Tesla M40 24GB", 3, "tcc", "71");
  for (const char* refusal : {"fail NvAPI_Initialize=-6\n", "fail NvAPI_EnumPhysicalGPUs=-6\n"}) {
    SCOPED_TRACE(refusal);
    Monitor monitor = start(L"server", NvidiaDrivers, server + refusal);
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_EQ(frame_titles(monitor.window),
              std::vector<std::wstring>{title(0, L"Tesla M40 24GB")});
    EXPECT_EQ(client_size(monitor.window).cy, 97);
    EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(71)));
    EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
    close_monitor(monitor);
    const auto log = read_log(monitor.program.log_path);
    expect_every_init_shut_down(log, 1);
    EXPECT_FALSE(log_has(log, "NvAPI_GPU_GetThermalSettings tid="));
  }
  Program without = run_program(L"server-no-nvml", {L"nvapi64.dll"},
                                server + "fail NvAPI_EnumPhysicalGPUs=-6\n");
  EXPECT_EQ(answer_error_boxes(without, 1),
            std::vector<std::wstring>{L"Unable to take number of physical gpus."});
  Monitor empty{without, wait_for_window(without, L"GPU Temperature")};
  ASSERT_NE(empty.window, nullptr);
  EXPECT_EQ(row_count(empty.window), 0);
  close_monitor(empty);
}

// The Ryzen desktop people build for AI: the processor's Radeon, a GeForce for the display and a
// P40 for compute. ADL lists the first two, NVAPI reads the GeForce, NVML the P40, in AMD's rows.
TEST(Nvml, RyzenWithGeForceAndP40OnTheAmdBackend) {
  SystemPlugAndPlay layer;
  Monitor monitor = start(
      L"ryzen-p40", {L"atiadlxx.dll", L"nvapi64.dll", L"nvml.dll"},
      "adapter name=\"AMD Radeon(TM) Graphics\" udid=\"PCI_VEN_1002&DEV_13C0\" bus=124 "
      "temps=45000\n"
      "adapter name=\"NVIDIA GeForce RTX 4070\" udid=\"PCI_VEN_10DE&DEV_2786\" bus=1 "
      "vendor=0x10DE function=1\n" +
          display(124, "1002&DEV_13C0") + geforce("NVIDIA GeForce RTX 4070", 1, 61) +
          compute_card("Tesla P40", 65, "tcc", "38"));
  ASSERT_NE(monitor.window, nullptr);
  EXPECT_EQ(frame_titles(monitor.window),
            (std::vector<std::wstring>{title(0, L"AMD Radeon(TM) Graphics"),
                                       title(1, L"NVIDIA GeForce RTX 4070"),
                                       title(2, L"Tesla P40")}));
  EXPECT_TRUE(rect_is(rect_in_parent(row_frame(monitor.window, 2)), 14, 55 * 2 + 8, 253, 50));
  EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(45)));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(61)));
  EXPECT_TRUE(wait_for_label(monitor.window, 2, reading(38)));
  close_monitor(monitor);

  const auto log = read_log(monitor.program.log_path);
  for (const std::string& line : log_lines_with(log, "nvmlDeviceGetTemperature tid="))
    EXPECT_EQ(about(line), "0x4E560020");
  expect_every_init_shut_down(log, 1);
  EXPECT_LT(log_first_line_with(log, "nvmlShutdown tid="),
            log_first_line_with(log, "ADL_Main_Control_Destroy tid="));
}

// Where every NVIDIA device that Plug and Play lists is a GPU NVAPI or ADL lists, and where there
// is none, NVML is never loaded: the vendors' calls are those of a machine without it.
TEST(Nvml, NeverLoadedWhereNoComputeCardCanBe) {
  SystemPlugAndPlay layer;
  const struct {
    const char* what;
    std::vector<std::wstring> drivers;
    std::string scenario;
  } machines[] = {
      {"two GeForces", NvidiaDrivers,
       geforce("GeForce A", 1, 50) + geforce("GeForce B", 2, 51)},
      {"a Radeon", {L"atiadlxx.dll", L"nvml.dll"},
       "adapter name=\"Radeon\" bus=3 temps=52000\n" + display(3, "1002&DEV_744C")},
  };
  for (const auto& machine : machines) {
    SCOPED_TRACE(machine.what);
    Monitor monitor = start(L"no-compute", machine.drivers, machine.scenario);
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_TRUE(wait_for_label(monitor.window, 0, reading(machine.drivers.size() == 2 &&
                                                          machine.drivers[0] == L"nvapi64.dll"
                                                      ? 50
                                                      : 52)));
    close_monitor(monitor);
    const auto log = read_log(monitor.program.log_path);
    EXPECT_FALSE(log_has(log, "nvml.dll")) << "nvml.dll loaded";
    EXPECT_EQ(log_lines_with(log, "CM_Get_Device_ID_ListW tid=").size(), 2u)
        << "the display devices once, the compute accelerators once";
  }
}

namespace {

// A GeForce that NVAPI reads, climbing a degree a pass unless `steady`, beside two P40s that
// NVML reads.
std::string geforce_and_two_p40s(const std::string& more, bool steady = false) {
  std::string climbing = "60";
  for (int celsius = 61; celsius < 99 && !steady; ++celsius)
    climbing += "," + std::to_string(celsius);
  return "gpu name=\"GeForce\" bus=1 temps=" + climbing + "\n" + display(1, "10DE&DEV_2204") +
         "nvml name=\"GeForce\" bus=1 model=wddm\n" + compute_card("P40 A", 65, "tcc", "40") +
         compute_card("P40 B", 66, "tcc", "41") + more;
}

// Row 0, NVAPI's, shows a new reading: it goes on.
bool geforce_goes_on(const Monitor& monitor) {
  const std::wstring before = window_text(row_label(monitor.window, 0));
  return wait_until([&] { return window_text(row_label(monitor.window, 0)) != before; }, 5000);
}

const RestartVendor NvmlRestarts{L"nvml-restart", NvidiaDrivers, "nvmlDeviceGetTemperature",
                                 "nvmlInit_v2"};

}  // namespace

// A crash and a hang inside NVML cost its rows alone: they say that nothing reads them, NVAPI's
// row goes on, and NVML, given up, is neither shut down nor unloaded.
TEST(Nvml, ACrashOrAHangInsideNvmlCostsItsRowsAlone) {
  SystemPlugAndPlay layer;
  for (const char* fault : {"crash nvmlDeviceGetTemperature gpu=2 from=2\n",
                            "hang nvmlDeviceGetTemperature gpu=2 from=2\n"}) {
    SCOPED_TRACE(fault);
    Monitor monitor = start(L"nvml-fault", NvidiaDrivers, geforce_and_two_p40s(fault));
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(40)));
    EXPECT_TRUE(wait_for_label(monitor.window, 1, L"No reading", 15000));
    // Both rows end in the same pass, one label after the other.
    EXPECT_TRUE(wait_for_label(monitor.window, 2, L"No reading", 2000));
    EXPECT_TRUE(geforce_goes_on(monitor));
    EXPECT_TRUE(geforce_goes_on(monitor));
    EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
    close_monitor(monitor);
    const auto log = read_log(monitor.program.log_path);
    EXPECT_EQ(calls(monitor.program, "nvmlDeviceGetTemperature").size(), 4u)
        << "nothing called after the fault";
    EXPECT_FALSE(log_has(log, "nvmlShutdown tid="));
    EXPECT_FALSE(log_has(log, "nvml.dll unload"));
  }
}

// NVML's driver restarts: every row answers GPU lost, NVML is shut down, initialised again on the
// recovery's schedule, and each row finds its GPU again by its PCI location; the P40 gone says so.
// Every initialise is matched by one shutdown.
TEST(Nvml, ReadingsComeBackAfterARestartByPciLocation) {
  SystemPlugAndPlay layer;
  Monitor monitor = start(L"nvml-restart", NvidiaDrivers,
                          geforce_and_two_p40s("restart at=5 in=nvml.dll order=reverse drop=2\n"));
  ASSERT_NE(monitor.window, nullptr);
  const auto back = [&] {
    for (const std::string& line : calls(monitor.program, "nvmlDeviceGetTemperature"))
      if (about(line) == "0x4E561020" && log_field(line, "status") == "0") return true;
    return false;
  };
  EXPECT_TRUE(wait_until(back, 20000));
  EXPECT_TRUE(wait_for_label(monitor.window, 1, reading(40)));
  EXPECT_TRUE(wait_for_label(monitor.window, 2, L"No reading", 15000));
  EXPECT_TRUE(geforce_goes_on(monitor));
  EXPECT_EQ(wait_for_error_box(monitor.program, 0), nullptr);
  close_monitor(monitor);
  expect_every_init_shut_down(read_log(monitor.program.log_path), 2);
}

TEST(Nvml, WhileItsDriverStaysAwayNvmlIsInitialisedLessAndLessOften) {
  run_restart_case(NvmlRestarts, {"NVML stays away",
                                  geforce_and_two_p40s("restart at=5 in=nvml.dll away=forever\n",
                                                       true),
                                  {reading(60), L"No reading", L"No reading"},
                                  {1, 2, 4, 8, 10}});
}
