// gputherm-report: writes what every vendor library the monitor uses answers on this machine to
// standard output, as a scenario of the simulated drivers that replays the machine (report.h).
#include <cstring>

#include "facade/facade.h"
#include "report/report.h"

namespace {

constexpr UINT CannotWrite = 1;

// Started by a double click, the program has a console of its own, which closes with it.
bool console_of_its_own() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ||
      !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
    return false;
  DWORD processes[2] = {};
  return GetConsoleProcessList(processes, 2) == 1;
}

std::wstring wide_from_utf8(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(length > 0 ? static_cast<size_t>(length) : 0, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// A console shows text as UTF-16; a file or pipe gets the report's bytes, lines ending in CR LF.
bool write_all(HANDLE out, const std::string& text) {
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    const std::wstring wide = wide_from_utf8(text);
    for (size_t done = 0; done < wide.size();) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(wide.size() - done < 4096 ? wide.size() - done : 4096);
      if (!WriteConsoleW(out, wide.data() + done, chunk, &written, nullptr) || written == 0)
        return false;
      done += written;
    }
    return true;
  }
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 32);
  for (const char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  for (size_t done = 0; done < bytes.size();) {
    DWORD written = 0;
    if (!WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

void say_on_error_output(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
            nullptr);
}

// Which vendor the monitor would read, and what each of its rows would say after its first pass.
// The backend the monitor picks: the first vendor library found, Intel's only with rows to show.
const VendorReport* chosen_backend(const VendorReport& amd, const VendorReport& nvidia,
                                   const VendorReport& intel) {
  return amd.loaded ? &amd : nvidia.loaded ? &nvidia : intel.has_rows ? &intel : nullptr;
}

// NVML's rows follow the backend's own.
void expect_nvml(const VendorReport& amd, const VendorReport& nvidia, const VendorReport& intel) {
  const VendorReport* chosen = chosen_backend(amd, nvidia, intel);
  nvml_expect(chosen == &intel ? nullptr : chosen,
              chosen ? static_cast<int32_t>(chosen->gpus.size()) : 0);
}

void describe_rows(std::string& text, const VendorReport& amd, const VendorReport& nvidia,
                   const VendorReport& intel, const VendorReport& nvml) {
  const VendorReport* chosen = chosen_backend(amd, nvidia, intel);
  const char* name = chosen == &amd ? "AMD (ADL)" : chosen == &nvidia ? "NVIDIA (NVAPI)" : "Intel";
  comment(text, "---- what the monitor would show after its first reading");
  if (!chosen) {
    comment(text, "no backend: the box \"Unable to load API library\"");
    return;
  }
  comment(text, "backend: %s", name);
  const std::string rows = (chosen == &amd ? amd_rows(amd, nvidia, intel) : chosen->rows) + nvml.rows;
  text += rows;
  if (!nvml.finished)
    comment(text, "an NVML call did not return: NVML's rows are not told above");
  if (!chosen->finished)
    comment(text, "a call did not return: the rows after those above keep \"Please wait\" while it does not");
  else if (rows.empty())
    comment(text, "no rows");
}

void wait_for_enter() {
  const char* text =
      "\r\nTo send this report, save it to a file: open a command prompt in this folder and run\r\n"
      "    gputherm-report > report.txt\r\n"
      "and attach report.txt. Press Enter to close this window.\r\n";
  write_all(GetStdHandle(STD_OUTPUT_HANDLE), text);
  wchar_t typed[64];
  DWORD read = 0;
  while (ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), typed, 64, &read, nullptr) && read > 0) {
    bool line_ended = false;
    for (DWORD i = 0; i < read; ++i) line_ended = line_ended || typed[i] == L'\n' || typed[i] == L'\r';
    if (line_ended) break;
  }
}

// Code of a driver that crashed or hangs may hold locks its detach routine takes: then the
// process ends without running them.
[[noreturn]] void finish(UINT code) {
  if (watch_left_driver_code()) TerminateProcess(GetCurrentProcess(), code);
  ExitProcess(code);
}

}  // namespace

int wmain() {
  // Asked first, before anything could attach to the console.
  const bool wait_at_end = console_of_its_own();
  library_limit_search();
  facade_start(HeapCreate(0, 4096, 0), GetModuleHandleW(nullptr));
  std::string text;
  system_describe(text);
  VendorReport power{};
  VendorReport amd{};
  VendorReport nvidia{};
  VendorReport intel{};
  watch_gather(power_gather, power);
  amd.finished = watch_gather(amd_gather, amd);
  nvidia.finished = watch_gather(nvidia_gather, nvidia);
  intel.finished = watch_gather(intel_gather, intel);
  VendorReport nvml{};
  expect_nvml(amd, nvidia, intel);
  nvml.finished = watch_gather(nvml_gather, nvml);
  text += power.lines + amd.lines + nvidia.lines + intel.lines + nvml.lines;
  describe_rows(text, amd, nvidia, intel, nvml);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!out || out == INVALID_HANDLE_VALUE || !write_all(out, text)) {
    say_on_error_output("gputherm-report: the report could not be written to standard output\r\n");
    finish(CannotWrite);
  }
  if (wait_at_end) wait_for_enter();
  finish(0);
}
