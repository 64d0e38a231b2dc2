// The report program: what a machine's vendor libraries answer, written so that the simulated
// drivers replay it. A report of each simulated machine, loaded as the scenario, must give the
// monitor the same rows, titles and first readings; crashes and hangs inside vendor calls are
// named and contained; a powered-down GPU is not asked.
#include <gtest/gtest.h>

#include "tests/support/harness.h"

namespace {

const std::wstring ReportExe = L"gputherm-report.exe";

struct Report {
  DWORD exit_code = 0xFFFFFFFF;
  std::string text;
  std::string errors;
  ULONGLONG took_ms = 0;     // wall clock
  double took_share_ms = 0;  // share time
  std::vector<std::string> log;
};

HANDLE inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs the report program of `dir` on `scenario`, standard output and error to files (or, with
// `unwritable`, output to a file opened for reading only), input from an empty file.
Report run_report(const std::wstring& dir, const std::string& scenario, bool unwritable = false) {
  CopyFileW((bin_dir() + L"\\" + ReportExe).c_str(), (dir + L"\\" + ReportExe).c_str(), FALSE);
  const std::wstring out = dir + L"\\report.txt";
  const std::wstring err = dir + L"\\report.err";
  const std::wstring in = dir + L"\\empty.txt";
  CloseHandle(inheritable(in, GENERIC_WRITE, CREATE_ALWAYS));
  if (unwritable) CloseHandle(inheritable(out, GENERIC_WRITE, CREATE_ALWAYS));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(in, GENERIC_READ, OPEN_EXISTING);
  startup.hStdOutput = inheritable(out, unwritable ? GENERIC_READ : GENERIC_WRITE,
                                   unwritable ? OPEN_EXISTING : CREATE_ALWAYS);
  startup.hStdError = inheritable(err, GENERIC_WRITE, CREATE_ALWAYS);
  // The parent's environment, the scenario and a log of the report's own.
  std::wstring environment;
  for (const std::wstring& entry :
       {L"SIMDRV_SCENARIO=" + widen(scenario), L"SIMDRV_LOG=" + dir + L"\\report.log"}) {
    environment += entry;
    environment.push_back(L'\0');
  }
  wchar_t* parent = GetEnvironmentStringsW();
  for (const wchar_t* entry = parent; *entry; entry += wcslen(entry) + 1)
    if (std::wstring(entry).rfind(L"SIMDRV_", 0) != 0) environment += std::wstring(entry) + L'\0';
  FreeEnvironmentStringsW(parent);
  environment.push_back(L'\0');
  std::wstring command = L"\"" + dir + L"\\" + ReportExe + L"\"";
  PROCESS_INFORMATION process{};
  Report report;
  const ULONGLONG started = GetTickCount64();
  ShareClock clock = share_clock_start();
  const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                                      environment.data(), dir.c_str(), &startup, &process);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
    CloseHandle(handle);
  EXPECT_TRUE(created);
  if (!created) return report;
  EXPECT_TRUE(wait_until([&] {
    share_clock_ms(clock);
    return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
  }, 40000));
  report.took_ms = GetTickCount64() - started;
  report.took_share_ms = share_clock_ms(clock);
  GetExitCodeProcess(process.hProcess, &report.exit_code);
  TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  report.text = read_file(out);
  report.errors = read_file(err);
  report.log = read_log(dir + L"\\report.log");
  return report;
}

// What the window showed: its frame titles, and each row's first reading or status.
struct Window {
  std::vector<std::wstring> titles;
  std::vector<std::wstring> labels;
  std::wstring box;  // the error box's text, where one came instead of a window
};

// The program of `dir` on `scenario`, with the staged drivers.
Program start(const std::wstring& dir, const Staged& staged, const std::string& scenario) {
  Program program = start_program(dir, scenario);
  program.drivers = staged.drivers;
  return program;
}

HWND monitor_window(const Program& program) {
  for (HWND window : process_windows(program))
    if (window_text(window) == L"GPU Temperature") return window;
  return nullptr;
}

// Until each row shows `expected` (or an error box comes), then closes it.
Window watch(Program& program, const std::vector<std::wstring>& expected) {
  Window seen;
  HWND window = nullptr;
  HWND box = nullptr;
  wait_until([&] {
    window = monitor_window(program);
    box = window ? nullptr : wait_for_error_box(program, 0);
    return window || box;
  }, 10000);
  if (window) window = wait_for_window(program, L"GPU Temperature", 5000);
  if (box) {
    seen.box = message_box_text(box);
    press_ok(box);
  } else if (window) {
    seen.titles = frame_titles(window);
    for (size_t row = 0; row < expected.size(); ++row)
      wait_for_label(window, static_cast<int>(row), expected[row], 8000);
    for (int row = 0; row < row_count(window); ++row)
      seen.labels.push_back(window_text(row_label(window, row)));
    request_close(window);
  }
  DWORD code = 0;
  EXPECT_TRUE(wait_exit(program, 5000, &code));
  cleanup(program);
  return seen;
}

std::wstring reading(int celsius) {
  return std::to_wstring(celsius) + L"\u00b0C  (" +
         std::to_wstring(static_cast<int>(celsius * 1.8 + 32.5)) + L" \u00b0F)";
}

// Frame titles: "GPU # r   -   name".
std::vector<std::wstring> titled(const std::vector<std::wstring>& names) {
  std::vector<std::wstring> titles;
  for (const std::wstring& name : names)
    titles.push_back(L"GPU # " + std::to_wstring(titles.size()) + L"   -   " + name);
  return titles;
}

struct Machine {
  const char* name;
  std::vector<std::wstring> drivers;
  std::string scenario;
  std::vector<std::wstring> names;  // the rows' GPUs; none: the error box below
  std::vector<std::wstring> labels;
  std::wstring box;
  std::vector<std::string> in_report;  // facts the report must state
  std::string unasked;  // a GPU handle no thermal call of the report may name
};

// The simulated Plug and Play layer in place of Wine's, for both programs.
struct PlugAndPlayForBoth {
  SystemPlugAndPlay layer{L"cfgmgr32.dll", L"gputherm.exe"};
  std::wstring key = L"Software\\Wine\\AppDefaults\\" + ReportExe + L"\\DllOverrides";
  PlugAndPlayForBoth() {
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"cfgmgr32", REG_SZ, L"native",
                    sizeof(L"native"));
  }
  ~PlugAndPlayForBoth() { RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"cfgmgr32"); }
};

// Answers the machine's report.
Report expect_replays(const Machine& machine) {
  SCOPED_TRACE(machine.name);
  const Staged staged = stage(widen(machine.name), machine.drivers);
  const Report report = run_report(fresh_dir(L"report"), machine.scenario);
  EXPECT_EQ(report.exit_code, 0u) << report.errors;
  for (const std::string& fact : machine.in_report)
    EXPECT_NE(report.text.find(fact), std::string::npos) << fact << "\n" << report.text;
  for (const std::string& line : log_lines_with(report.log, "GetThermalSettings tid="))
    EXPECT_TRUE(machine.unasked.empty() || line.find(machine.unasked) == std::string::npos) << line;

  // The machine and its report, side by side.
  const std::wstring replay_dir = fresh_dir(L"replay");
  CopyFileW((staged.dir + L"\\gputherm.exe").c_str(), (replay_dir + L"\\gputherm.exe").c_str(),
            FALSE);
  Program original = start(staged.dir, staged, machine.scenario);
  Program replay = start(replay_dir, staged, report.text);
  const Window first = watch(original, machine.labels);
  const Window second = watch(replay, machine.labels);
  EXPECT_EQ(first.titles, titled(machine.names));
  EXPECT_EQ(first.labels, machine.labels);
  EXPECT_EQ(first.box, machine.box);
  EXPECT_EQ(second.titles, first.titles) << report.text;
  EXPECT_EQ(second.labels, first.labels) << report.text;
  EXPECT_EQ(second.box, first.box) << report.text;
  return report;
}

}  // namespace

TEST(Report, ReplaysEachMachineToTheSameWindow) {
  // A current card read through ADL2's log (its Overdrive5 read fails); one with a duplicate
  // record and a name of every awkward kind, whose Overdrive5 answers a temperature no GPU
  // reaches, read through the log too; then a 2009 driver's records, read through Overdrive5,
  // vendors 1002 and 10 ("10DE" read as a decimal number), the GeForce waiting with no NVAPI.
  expect_replays(Machine{
      "amd",
      {L"atiadlxx.dll"},
      "adapter name=\"AMD Radeon RX 7900 XTX\" bus=3 edge=51 gfx=off soc=off:7 odn=52000\n"
      "fail ADL_Overdrive5_Temperature_Get=-8 adapter=0; driver=23.40.27.06\n"
      "adapter name=\"Radeon \\\"RX\\\" 580 #2; caf\xC3\xA9\" bus=4 temps=199409000 edge=47\n"
      "adapter name=\"Radeon \\\"RX\\\" 580 #2; caf\xC3\xA9\" bus=4 temps=199409000 edge=47\n"
      "adapter name=\"ATI Radeon HD 4300/4500 Series       \" udid=\"\" bus=5 vendor=1002 temps=52000\n"
      "adapter name=\"NVIDIA GeForce 9600 GT\" udid=\"\" bus=6 vendor=10\n",
      {L"AMD Radeon RX 7900 XTX", L"Radeon \"RX\" 580 #2; caf\u00e9",
       L"ATI Radeon HD 4300/4500 Series       ", L"NVIDIA GeForce 9600 GT"},
      {reading(51), reading(47), reading(52), L"Please wait"},
      L"",
      {"fail ADL_Overdrive5_Temperature_Get=-8 adapter=0", "bus=3 device=0 function=0",
       "driver \"23.40.27.06\"",
       "adapter 2: index 2, PCI 4:0.0, vendor AMD, iVendorID 4098 (0x1002), hidden as a duplicate",
       "name=\"Radeon \\\"RX\\\" 580 \\x232\\x3B caf\\xE9\"",
       "row 1 \"Radeon \\\"RX\\\" 580 \\x232\\x3B caf\\xE9\": 47\xC2\xB0" "C",
       "vendor AMD, iVendorID 1002 (0x03EA), shown", "vendor=1002 temps=52000",
       "vendor NVIDIA, iVendorID 10 (0x000A), shown",
       "row 3 \"NVIDIA GeForce 9600 GT\": Please wait (never read: NVAPI is absent"},
      ""});
  // The Ryzen 7 9800X3D desktop: ADL lists the processor's Radeon once per output, which refuses
  // Overdrive5 and whose log supports no sensor, and then two GeForces, which NVAPI reads; NVAPI
  // lists them in the other order.
  std::string ryzen;
  for (int output = 2; output < 8; ++output)
    ryzen += "adapter name=\"AMD Radeon(TM) Graphics\" udid=\"PCI_VEN_1002&DEV_13C0&SUBSYS_88771043&"
             "REV_C9_4&2A1E7E3&0&0041&0" + std::to_string(output) +
             "A\" bus=124 vendor=-1002 edge=off gfx=off soc=off\n";
  for (int output = 2; output < 5; ++output)
    ryzen += "adapter name=\"NVIDIA GeForce RTX 4070 Ti SUPER\" udid=\"PCI_VEN_10DE&DEV_2705&"
             "SUBSYS_89581043&REV_A1_4&1BABDF5B&0&0009&0" + std::to_string(output) +
             "A\" bus=1 vendor=0x10DE\n";
  ryzen += "adapter name=\"NVIDIA GeForce RTX 4060\" udid=\"PCI_VEN_10DE&DEV_2882\" bus=2 "
           "vendor=0x10DE\n";
  expect_replays(Machine{
      "ryzen",
      {L"atiadlxx.dll", L"nvapi64.dll"},
      ryzen + "fail ADL_Overdrive5_Temperature_Get=-5\n"
              "gpu name=\"NVIDIA GeForce RTX 4060\" bus=2 temps=52\n"
              "gpu name=\"NVIDIA GeForce RTX 4070 Ti SUPER\" bus=1 temps=41\n",
      {L"AMD Radeon(TM) Graphics", L"NVIDIA GeForce RTX 4070 Ti SUPER", L"NVIDIA GeForce RTX 4060"},
      {L"Please wait", reading(41), reading(52)},
      L"",
      {"libraries atiadlxx.dll nvapi64.dll", "PCI 124:0.0, vendor AMD, iVendorID -1002, shown",
       "vendor=-1002", "adapter 6: index 6, PCI 1:0.0, vendor NVIDIA, iVendorID 4318 (0x10DE), shown",
       "row 0 \"AMD Radeon(TM) Graphics\": Please wait (no reading)",
       "row 1 \"NVIDIA GeForce RTX 4070 Ti SUPER\": 41\xC2\xB0" "C",
       "row 2 \"NVIDIA GeForce RTX 4060\": 52\xC2\xB0" "C"},
      ""});
  // A laptop whose second GPU is powered down: it is not asked. Every NVIDIA device is at a GPU
  // NVAPI lists: nvml.dll, though in the system folder, is not loaded, and nothing of it written.
  {
    PlugAndPlayForBoth layer;
    const Report laptop = expect_replays(Machine{
        "nvidia",
        {L"nvapi64.dll", L"nvml.dll"},
        "gpu name=\"NVIDIA GeForce RTX 4060 Laptop GPU\" bus=1 temps=48\n"
        "gpu name=\"NVIDIA GeForce RTX 4070\" bus=2 temps=60\n"
        "display id=\"PCI\\\\VEN_10DE&DEV_28E0\\\\4&1\" bus=1 power=D0\n"
        "display id=\"PCI\\\\VEN_10DE&DEV_2786\\\\4&2\" bus=2 power=D3; driver=566.14\n",
        {L"NVIDIA GeForce RTX 4060 Laptop GPU", L"NVIDIA GeForce RTX 4070"},
        {reading(48), L"Powered down"},
        L"",
        {"driver 566.14, branch \"r566_00\"", "display id=\"PCI\\\\VEN_10DE&DEV_2786\\\\4&2\" bus=2 address=0 power=D3",
         "GPU 1: powered down (D3): not asked", "gpu name=\"NVIDIA GeForce RTX 4070\" bus=2 device=0\r\n"},
        "args=0x10DE0020"});
    EXPECT_FALSE(log_has(laptop.log, "nvml.dll"));
    EXPECT_EQ(laptop.text.find("\nnvml "), std::string::npos) << laptop.text;
  }
  // Intel: a GPU read through its sensors, one through the telemetry, and integrated graphics.
  expect_replays(Machine{
      "intel",
      {L"ControlLib.dll"},
      "intel name=\"Intel(R) Arc(TM) A770 Graphics\" bus=3 temps=off sensors=memory:70,gpu:57,global:40\n"
      "intel name=\"Intel(R) Arc(TM) B580 Graphics\" bus=4 temps=44.5\n"
      "intel name=\"Intel(R) UHD Graphics\" integrated bus=none; driver=31.0.101.5122\n",
      {L"Intel(R) Arc(TM) A770 Graphics", L"Intel(R) Arc(TM) B580 Graphics"},
      {reading(57), reading(44)},
      L"",
      {"sensors=memory:70,gpu:57,global:40", "temps=44.5", "integrated=1 bus=none",
       "Intel device 2: \"Intel(R) UHD Graphics\"", "driver 31.0.101.5122"},
      ""});
  // No vendor's library but Intel's, and no Arc card for it to read: no backend either.
  expect_replays(Machine{"intel-no-arc", {L"ControlLib.dll"},
                         "intel name=\"Intel(R) UHD Graphics\" integrated bus=0 device=2\n", {}, {},
                         L"Unable to load API library",
                         {"no backend: the box \"Unable to load API library\""}, ""});
}

// A Ryzen AI Max tablet ("Strix Halo"): ADL lists its Radeon five times, with iVendorID -1002, and
// reads it through no call (Overdrive5 -5, the log and OverdriveN -8); ADLX 1.0, started on the
// report's ADL2 context, finds it through its mapping and reads its hotspot, the edge being
// unsupported. The same machine without amdadlx64.dll keeps waiting, as does one whose ADLX
// crashes when asked for the metrics: the report names the call, and the replay crashes there too.
// A Radeon at device 1, function 2 that the mapping finds by its location alone, with both
// temperatures: the edge is shown, to the degree the machine shows.
TEST(Report, ReplaysAnAmdGpuThatOnlyAdlxReads) {
  std::string strix;
  for (int output = 0; output < 5; ++output)
    strix += "adapter name=\"AMD Radeon(TM) 8060S Graphics\" udid=\"PCI_VEN_1002&DEV_1586&"
             "SUBSYS_8D021043&REV_C1_4&36A2C5B7&0&0041&0" + std::to_string(output) +
             "A\" bus=195 vendor=-1002\n";
  strix += "fail ADL_Overdrive5_Temperature_Get=-5\n"
           "adlx name=\"AMD Radeon(TM) 8060S Graphics\" bus=195 type=integrated deviceid=1586 "
           "temps=off hotspot=61.9; adlx_version=1.0\n";
  const std::vector<std::wstring> names = {L"AMD Radeon(TM) 8060S Graphics"};
  const Report report = expect_replays(Machine{
      "strix",
      {L"atiadlxx.dll", L"amdadlx64.dll"},
      strix,
      names,
      {reading(61)},
      L"",
      {"libraries atiadlxx.dll amdadlx64.dll", "adlx_version=1.0.0.0\r\n",
       "adlx name=\"AMD Radeon(TM) 8060S Graphics\" vendor=\"1002\" deviceid=\"1586\" type=1 "
       "bus=195 device=0 function=0 adapters=0,1,2,3,4 temps=off hotspot=61.9\r\n",
       "row 0 \"AMD Radeon(TM) 8060S Graphics\": 61\xC2\xB0" "C  (142 \xC2\xB0" "F) (ADLX's "
       "hotspot reading, its GPU found by adapter index)"},
      ""});
  // Every object released once, ADLX terminated before ADL's context goes, and unloaded.
  size_t at = 0;
  for (const char* fragment : {"ADL2_Main_Control_Create", "ADLXInitializeWithCallerAdl",
                               " held=0 status=0", "amdadlx64.dll unload",
                               "ADL2_Main_Control_Destroy"}) {
    while (at < report.log.size() && report.log[at].find(fragment) == std::string::npos) ++at;
    EXPECT_LT(at, report.log.size()) << fragment << ", in this order";
  }
  expect_replays(Machine{"strix-without-adlx",
                         {L"atiadlxx.dll"},
                         strix,
                         names,
                         {L"Please wait"},
                         L"",
                         {"libraries atiadlxx.dll\r\n", "amdadlx64.dll does not load",
                          "row 0 \"AMD Radeon(TM) 8060S Graphics\": Please wait (no reading)\r\n"},
                         ""});
  expect_replays(Machine{"strix-adlx-crash",
                         {L"atiadlxx.dll", L"amdadlx64.dll"},
                         strix + "crash GetCurrentGPUMetrics\n",
                         names,
                         {L"Please wait"},
                         L"",
                         {"# GetCurrentGPUMetrics, ADLX GPU 0: crashed (access violation)\r\n"
                          "crash GetCurrentGPUMetrics adlx=0\r\n",
                          "row 0 \"AMD Radeon(TM) 8060S Graphics\": Please wait (no reading)\r\n"},
                         ""});
  expect_replays(Machine{
      "located-edge-and-hotspot",
      {L"atiadlxx.dll", L"amdadlx64.dll"},
      "adapter name=\"AMD Radeon RX 9070 XT\" udid=\"PCI_VEN_1002&DEV_7550\" bus=3 device=1 "
      "function=2\nfail ADL_Overdrive5_Temperature_Get=-5\n"
      "adlx name=\"AMD Radeon RX 9070 XT\" bus=3 device=1 function=2 adapters=none temps=47.96 "
      "hotspot=61.9\n",
      {L"AMD Radeon RX 9070 XT"},
      {reading(47)},
      L"",
      {" bus=3 device=1 function=2 adapters=none temps=47.96 hotspot=61.9\r\n",
       "row 0 \"AMD Radeon RX 9070 XT\": 47\xC2\xB0" "C  (117 \xC2\xB0" "F) (ADLX's edge "
       "reading, its GPU found by PCI location)"},
      ""});
}

// A GeForce beside a Tesla P40 in TCC mode and a P100 in MCDM mode, which NVAPI does not list and
// NVML lists before the GeForce: the report names each with its PCI location, driver model and
// reading, the P100's device among the compute accelerators, and the replay shows their rows after
// the GeForce's. The report shuts NVML down once; after a crash inside it, never.
TEST(Report, ReplaysComputeGpusThatOnlyNvmlLists) {
  PlugAndPlayForBoth layer;
  const std::string machine =
      "gpu name=\"NVIDIA GeForce RTX 3090\" bus=1 temps=45\n"
      "display id=\"PCI\\\\VEN_10DE&DEV_2204\\\\4&1\" bus=1\n"
      "display id=\"PCI\\\\VEN_10DE&DEV_1B38\\\\4&2\" bus=65 device=1\n"
      "display id=\"PCI\\\\VEN_10DE&DEV_15F8\\\\4&3\" bus=66 class=compute\n"
      "nvml name=\"Tesla P40\" bus=65 device=1 model=tcc temps=38\n"
      "nvml name=\"Tesla P100-PCIE-16GB\" bus=66 model=mcdm temps=41\n"
      "nvml name=\"NVIDIA GeForce RTX 3090\" bus=1 model=wddm\n";
  const Report report = expect_replays(Machine{
      "geforce-p40-p100",
      {L"nvapi64.dll", L"nvml.dll"},
      machine,
      {L"NVIDIA GeForce RTX 3090", L"Tesla P40", L"Tesla P100-PCIE-16GB"},
      {reading(45), reading(38), reading(41)},
      L"",
      {"libraries nvapi64.dll nvml.dll\r\n",
       "display id=\"PCI\\\\VEN_10DE&DEV_15F8\\\\4&3\" class=compute bus=66 address=0\r\n",
       "nvml name=\"Tesla P40\" bus=65 device=1 function=0 model=tcc temps=38\r\n",
       "nvml name=\"Tesla P100-PCIE-16GB\" bus=66 device=0 function=0 model=mcdm temps=41\r\n",
       "nvml name=\"NVIDIA GeForce RTX 3090\" bus=1 device=0 function=0 model=wddm\r\n",
       "row 1 \"Tesla P40\": 38\xC2\xB0" "C",
       "row 2 \"Tesla P100-PCIE-16GB\": 41\xC2\xB0" "C"},
      ""});
  // The GeForce is NVAPI's: NVML is not asked for its temperature.
  EXPECT_EQ(log_lines_with(report.log, "nvmlDeviceGetTemperature tid=").size(), 2u);
  const auto inits = log_lines_with(report.log, "nvmlInit_v2 tid=");
  const auto shutdowns = log_lines_with(report.log, "nvmlShutdown tid=");
  ASSERT_EQ(inits.size(), 1u);
  ASSERT_EQ(shutdowns.size(), 1u);
  EXPECT_EQ(log_field(shutdowns[0], "count"), "0");
  EXPECT_LT(log_first_line_with(report.log, shutdowns[0]),
            log_first_line_with(report.log, "nvml.dll unload"));

  const auto drivers = install_drivers({L"nvapi64.dll", L"nvml.dll"});
  const Report crashed =
      run_report(fresh_dir(L"report"), machine + "crash nvmlDeviceGetTemperature gpu=1\n");
  EXPECT_NE(crashed.text.find("# nvmlDeviceGetTemperature, NVML GPU 1: crashed (access "
                              "violation)\r\ncrash nvmlDeviceGetTemperature gpu=1\r\n"),
            std::string::npos)
      << crashed.text;
  EXPECT_FALSE(log_has(crashed.log, "nvmlShutdown"));
  EXPECT_FALSE(log_has(crashed.log, "nvml.dll unload"));
}

// An RX 5700 XT that ADL lists eight times, whose kept record answers nothing and whose sixth
// answers: the report asks its other records in ADL's order up to that one, names it, and the
// replay reads the row through it too.
TEST(Report, ReplaysAGpuReadThroughAnotherOfItsRecords) {
  std::string rx5700;
  for (int output = 0; output < 8; ++output)
    rx5700 += "adapter name=\"AMD Radeon RX 5700 XT\" udid=\"PCI_VEN_1002&DEV_731F&0" +
              std::to_string(output) + "\" bus=3" + (output == 5 ? " temps=47000\n" : "\n") +
              (output == 5 ? "" : "fail ADL_Overdrive5_Temperature_Get=-1 adapter=" +
                                      std::to_string(output) + "\n");
  expect_replays(Machine{
      "rx5700",
      {L"atiadlxx.dll"},
      rx5700,
      {L"AMD Radeon RX 5700 XT"},
      {reading(47)},
      L"",
      {"fail ADL_Overdrive5_Temperature_Get=-1 adapter=4\r\n",
       "# another record of row 0's GPU, which its own record does not read: asked\r\n",
       "# row 0 is read through this record\r\n",
       "index=5 bus=3 device=0 function=0 vendor=4098 temps=47000\r\n",
       "row 0 \"AMD Radeon RX 5700 XT\": 47\xC2\xB0" "C  (117 \xC2\xB0" "F) (read through its "
       "GPU's record at adapter index 5)"},
      ""});
}

TEST(Report, NamesAndContainsACrashAndAHangInVendorCalls) {
  const Staged staged = stage(L"faults", {L"atiadlxx.dll", L"nvapi64.dll", L"ControlLib.dll"});
  PlugAndPlayForBoth layer;
  const Report report = run_report(
      fresh_dir(L"report"),
      "display id=\"PCI\\\\VEN_1002&DEV_73BF\\\\4&1\" bus=3 power=D0\n"
      "crash CM_Get_DevNode_PropertyW.PowerData display=0\n"
      "adapter name=\"AMD Radeon RX 6800\" bus=3; hang ADL_Overdrive5_Temperature_Get adapter=0\n"
      "gpu name=\"NVIDIA GeForce RTX 3060\" bus=1 temps=40; gpu name=\"NVIDIA GeForce RTX 3070\" bus=2\n"
      "crash NvAPI_GPU_GetThermalSettings gpu=1\n"
      "intel name=\"Intel(R) Arc(TM) A380 Graphics\" bus=5 temps=50\n");
  EXPECT_EQ(report.exit_code, 0u) << report.errors;
  EXPECT_GE(report.took_ms, 10000u);
  EXPECT_LT(report.took_share_ms, 30000.0);
  for (const char* fact :
       {"bus=3 address=0\r\n# CM_Get_DevNode_PropertyW.PowerData, display 0: crashed (access "
        "violation)\r\ncrash CM_Get_DevNode_PropertyW.PowerData display=0\r\n",
        "# ADL_Overdrive5_Temperature_Get, adapter 0: did not return within 10 s\r\n"
        "hang ADL_Overdrive5_Temperature_Get adapter=0\r\n",
        "# NvAPI_GPU_GetThermalSettings, GPU 1: crashed (access violation)\r\n"
        "crash NvAPI_GPU_GetThermalSettings gpu=1\r\n",
        "gpu name=\"NVIDIA GeForce RTX 3060\" bus=1 device=0 temps=40",
        "intel name=\"Intel(R) Arc(TM) A380 Graphics\" type=1 vendor=0x8086 integrated=0 bus=5 "
        "device=0 function=0 temps=50",
        "# backend: AMD (ADL)"})
    EXPECT_NE(report.text.find(fact), std::string::npos) << fact << "\n" << report.text;
  // Neither library is called once its call hung or crashed.
  for (const char* library : {"atiadlxx.dll ", "nvapi64.dll "}) {
    bool ended = false;
    for (const std::string& line : report.log) {
      if (line.rfind(library, 0) != 0) continue;
      EXPECT_FALSE(ended) << "called after it hung or crashed: " << line;
      ended = ended || line.find("status=hang") != std::string::npos ||
              line.find("status=crash") != std::string::npos;
    }
    EXPECT_TRUE(ended) << library;
  }
}

// NVIDIA's rows: a read failing for another reason than sleep ends the monitor's readings, with a
// box, so the GPU after it is never read, whatever it would answer.
TEST(Report, AfterAFailingNvidiaReadTheNextRowIsNotRead) {
  const Staged staged = stage(L"nvidia-failing", {L"nvapi64.dll"});
  const Report report =
      run_report(fresh_dir(L"report"),
                 "gpu name=\"GeForce A\" bus=1\ngpu name=\"GeForce B\" bus=2 temps=52\n"
                 "fail NvAPI_GPU_GetThermalSettings=-1 gpu=0\n");
  EXPECT_EQ(report.exit_code, 0u) << report.errors;
  for (const char* fact :
       {"row 0 \"GeForce A\": Please wait (no reading: the box \"Unable to get thermal settings\"",
        "row 1 \"GeForce B\": Please wait (not read: the readings ended)"})
    EXPECT_NE(report.text.find(fact), std::string::npos) << fact << "\n" << report.text;
}

TEST(Report, SaysWhenItCannotWriteTheReport) {
  const Report report = run_report(fresh_dir(L"unwritable"), "", true);
  EXPECT_NE(report.exit_code, 0u);
  EXPECT_EQ(report.errors, "gputherm-report: the report could not be written to standard output\r\n");
}

namespace {

// The text of the console the calling process is attached to, row after row.
std::wstring console_text() {
  const HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  std::wstring text;
  if (GetConsoleScreenBufferInfo(screen, &info)) {
    text.resize(static_cast<size_t>(info.dwSize.X) * static_cast<size_t>(info.dwSize.Y));
    DWORD read = 0;
    ReadConsoleOutputCharacterW(screen, text.data(), static_cast<DWORD>(text.size()), {0, 0},
                                &read);
    text.resize(read);
  }
  CloseHandle(screen);
  return text;
}

void press_enter_in_console() {
  const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
  INPUT_RECORD keys[2] = {};
  for (int i = 0; i < 2; ++i) {
    keys[i].EventType = KEY_EVENT;
    keys[i].Event.KeyEvent.bKeyDown = i == 0;
    keys[i].Event.KeyEvent.wRepeatCount = 1;
    keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
    keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
  }
  DWORD written = 0;
  WriteConsoleInputW(input, keys, 2, &written);
  CloseHandle(input);
}

}  // namespace

// Started by a double click, in a console of its own: the report stays on the screen, says how
// to save it, and the program ends when Enter is pressed.
TEST(Report, InAConsoleOfItsOwnWaitsForEnter) {
  const auto drivers = install_drivers({L"atiadlxx.dll"});
  const std::wstring dir = fresh_dir(L"console");
  const std::wstring log = dir + L"\\report.log";
  SetEnvironmentVariableW(L"SIMDRV_LOG", log.c_str());
  CopyFileW((bin_dir() + L"\\" + ReportExe).c_str(), (dir + L"\\" + ReportExe).c_str(), FALSE);
  std::wstring command = L"\"" + dir + L"\\" + ReportExe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                             nullptr, dir.c_str(), &startup, &process));
  SetEnvironmentVariableW(L"SIMDRV_LOG", nullptr);
  // Attached once the program is under way: a console shared from its start is not its own.
  EXPECT_TRUE(wait_until([&] { return log_has(read_log(log), "atiadlxx.dll load"); }));
  FreeConsole();
  std::wstring shown;
  const bool attached = wait_until([&] { return AttachConsole(process.dwProcessId) != FALSE; });
  EXPECT_TRUE(attached);
  EXPECT_TRUE(wait_until([&] {
    shown = console_text();
    return shown.find(L"Press Enter") != std::wstring::npos;
  }, 20000)) << narrow(shown);
  EXPECT_NE(shown.find(L"gputherm-report > report.txt"), std::wstring::npos);
  EXPECT_NE(shown.find(L"---- what the monitor would show"), std::wstring::npos);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 500), static_cast<DWORD>(WAIT_TIMEOUT));
  press_enter_in_console();
  Program ended_by_enter;
  ended_by_enter.process = process;
  DWORD code = 1;
  EXPECT_TRUE(wait_exit(ended_by_enter, 5000, &code));
  EXPECT_EQ(code, 0u);
  if (attached) FreeConsole();
  TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
}
