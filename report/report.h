// gputherm-report: what every vendor library the monitor uses answers on this machine, written as
// a scenario of the project's simulated drivers, so that a maintainer can replay the machine.
// Every fact the monitor relies on is a scenario line; everything else is a `#` comment. Vendor
// calls are the monitor's own read calls, with the same records, made under guard and under a
// watch that gives up a call after 10 s. Shared by the report's units.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "backends/amd/records.h"
#include "facade/facade.h"

// ---- one vendor's part of the report, gathered on a thread of its own ----
// A GPU with its name and PCI location, and what a row reading it shows after the first reading.
// ADL lists other vendors' GPUs too: the monitor reads such a row through the GPU that vendor's
// own library lists at the row's location, so the rows of ADL are told only once every vendor is
// gathered.
struct GpuAnswer {
  std::string name;  // the vendor's 8-bit name, as listed
  bool located;      // the PCI location is known
  uint32_t bus;
  uint32_t device;
  uint32_t function;
  GpuVendor vendor;   // ADL's rows: whose GPU the record is
  // Empty for a row of ADL's whose GPU is another vendor's and awake: that vendor's reading
  // of it decides.
  std::string label;
};

struct VendorReport {
  std::string lines;  // scenario lines and comments, in call order
  std::string rows;   // NVIDIA's and Intel's: what each row shows, when the monitor picks them
  // ADL's: its rows, in order. NVIDIA's and Intel's: the GPUs a row of ADL's can be read
  // through, each labelled as such a row shows it (an NVAPI read failing there shows no box).
  std::vector<GpuAnswer> gpus;
  bool loaded;        // the vendor's library loaded from the system folder
  bool session;       // NVIDIA's and Intel's: a session started, as rows of ADL's start one
  bool has_rows;      // the monitor would open rows for this vendor (Intel: only then picked)
  bool finished;      // every call returned
  // ADL's and NVAPI's: the monitor's set-up on this vendor then looks for NVML's compute GPUs, at
  // none of the `known` locations of its own GPUs.
  bool asks_nvml;
  std::vector<PciLocation> known;
  bool readings_end;  // NVAPI's: a read ends the monitor's passes before NVML's rows are read
};

// ---- text (text.cpp); any thread, on its own strings ----
// Appends printf-formatted text.
void append(std::string& text, const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Appends a `#` comment line, on a line of its own. Its text never ends the line early: a `;`
// would, for the scenario's reader, so it is written as `,`.
void comment(std::string& text, const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// `bytes` as a quoted scenario value in plain ASCII: `"` and `\` escaped with `\`; `;`, `#` and
// every byte outside printable ASCII written `\xHH`. Exact for any bytes, whatever reads the file.
std::string quoted(const char* bytes, size_t length);
// The 8-bit field up to its zero, or all of it when it has none.
size_t field_length(const char* field, size_t size);
// A text of the system's 8-bit (ANSI) code page, as the monitor turns driver names into titles,
// in UTF-8.
std::string utf8_from_ansi(const char* bytes, size_t length);
std::string utf8_from_wide(const wchar_t* text);
// "45°C  (113 °F)": the label text the monitor shows for a reading, in UTF-8.
std::string label_text(int32_t celsius);
// Appends a row's line: its title (the vendor's 8-bit name) and what its label says.
void row_line(std::string& rows, int32_t row, const char* name, size_t length,
              const std::string& label);

// ---- vendor calls under watch (watch.cpp) ----
// What a scenario line names a call's device by: ADL's adapter index, the position of an NVIDIA
// GPU, of an Intel device, of a display device; or nothing.
enum class Subject : uint8_t { None, Adapter, Gpu, Intel, Display, Adlx, Nvml };
// A vendor call is about to be made on the gathering thread: it is timed from here, and named in
// the report should it crash or not return.
void call_begin(const char* function, Subject subject = Subject::None, int32_t number = 0);
// The call returned. A call the watch has already given up on never gets here: its thread stops
// for good, touching nothing.
void call_end();
// After a guarded call into `module` failed: when the module has been given up, the call crashed;
// writes the comment naming it and the scenario line that makes the simulated driver do the same,
// and answers true. The gathering thread.
bool call_crashed(std::string& lines, HMODULE module);
// The same, for a call known to have crashed.
void note_crash(std::string& lines);
// Runs `gather(report)` on a thread of its own and waits until it ends, or until a call it makes
// has not returned within 10 s (or before the report's time runs out); then the call is named in
// the report, its library gets no further call and the thread is left where it stands. Answers
// true when the thread ended. Main thread.
bool watch_gather(void (*gather)(VendorReport& report), VendorReport& report);
// True once any call crashed or was given up: the process must end without running the
// libraries' detach routines. Any thread.
bool watch_left_driver_code();

// ---- power (power.cpp); gathering threads ----
// The display devices as Windows' Plug and Play manager keeps them: instance ID, PCI location and
// power state, as `display` lines. Lists them for the power check too.
void power_gather(VendorReport& report);
// The monitor's power check for a GPU at that location, as it makes it before every reading:
// true when the one display device there is powered down (D3). Names the device in `lines`.
bool power_check(std::string& lines, bool located, uint32_t bus, uint32_t device,
                 uint32_t function);
// The monitor's own rule for loading NVML, asked as it asks it: true where Plug and Play lists an
// NVIDIA device at none of the `known` locations. False after a crash, which `lines` names.
bool power_nvidia_device_unknown(std::string& lines, const std::vector<PciLocation>& known);

// ---- the vendors (amd.cpp, nvidia.cpp, intel.cpp); each on its gathering thread ----
void amd_gather(VendorReport& report);
void nvidia_gather(VendorReport& report);
void intel_gather(VendorReport& report);
// What each of ADL's rows shows when the monitor picks ADL: its own reading, or, for another
// vendor's GPU, that vendor's reading of the GPU its library lists at the row's PCI location.
// Main thread, once every vendor is gathered.
std::string amd_rows(const VendorReport& amd, const VendorReport& nvidia,
                     const VendorReport& intel);

// ---- NVML (nvml.cpp) ----
// The backend the monitor picks (null for none, or Intel's, which looks for no NVML GPU), whose
// rows NVML's follow from row `first_row` on. Main thread, before nvml_gather.
void nvml_expect(const VendorReport* backend, int32_t first_row);
// Where the monitor would load nvml.dll, loads it from the system folder, initialises it and
// writes each GPU it lists, in its order, with its name, PCI location, driver model and, for a
// compute GPU (TCC or MCDM), one reading, as `nvml` lines; the rows it gives in `rows`. Then one
// nvmlShutdown, and unloads it; neither after a fault. Its gathering thread.
void nvml_gather(VendorReport& report);

// ---- ADLX (adlx.cpp); AMD's gathering thread ----
// One of ADL's AMD records, as ADLX's mapping is asked about it.
struct AdlxRecord {
  int adapter_index;
  bool located;  // its bus is not 0: the monitor also looks it up by PCI location
  int bus;
  int device;
  int function;
};
// What ADLX answers for a record: the GPU its mapping finds for it (by adapter index, else by PCI
// location), and the reading a row of it shows through ADLX.
struct AdlxRowAnswer {
  bool found;
  bool by_index;
  bool asleep;    // powered down: not asked
  bool readable;  // its GPU supports the edge or the hotspot temperature
  bool hotspot;   // the hotspot's, the GPU having no edge temperature
  bool read;      // one reading was a temperature, of `celsius` whole degrees
  int32_t celsius;
};
struct AdlxAnswers {
  std::vector<AdlxRowAnswer> rows;  // one per record, in order; none where ADLX does not load,
                                    // start or run to its end
  bool ended;  // ADLX is not running on the ADL2 context: it was terminated or never started
};
// Loads amdadlx64.dll from the system folder, starts it on `adl2_context` and writes its version
// and its GPUs, in its order, each with the ADL adapter indices that map to it, its PCI location,
// support flags and one reading, as `adlx_version=` and `adlx` lines; then releases every object,
// terminates ADLX and unloads it.
AdlxAnswers adlx_gather(std::string& lines, void* adl2_context,
                        const std::vector<AdlxRecord>& records);

// ---- the machine (system.cpp); main thread ----
// The format, program and Windows versions, and which of the monitor's libraries the system
// folder holds, as comments and a `libraries` line.
void system_describe(std::string& lines);
