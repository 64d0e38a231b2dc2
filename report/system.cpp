#include "report/report.h"

namespace {

// Format of the report: raised when a scenario line changes meaning.
constexpr int ReportFormat = 1;

using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW* version);

// The libraries the monitor loads, in its order of probing; ADLX's beside ADL's, NVML's beside
// NVAPI's.
constexpr const wchar_t* ProbedLibraries[] = {L"atiadlxx.dll", L"atiadlxy.dll", L"amdadlx64.dll",
                                             L"nvapi64.dll",  L"nvapi.dll",    L"nvml.dll",
                                             L"ControlLib.dll"};

// Windows' own numbers: RtlGetVersion does not depend on what the program's manifest declares.
void describe_windows(std::string& lines) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto get_version =
      ntdll ? reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
  if (!get_version || get_version(&version) != 0) {
    comment(lines, "Windows: version unknown");
    return;
  }
  comment(lines, "Windows %lu.%lu build %lu", version.dwMajorVersion, version.dwMinorVersion,
          version.dwBuildNumber);
}

bool in_system_folder(const wchar_t* file) {
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + wcslen(file) >= MAX_PATH) return false;
  path[length] = L'\\';
  wcscpy(path + length + 1, file);
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

void system_describe(std::string& lines) {
  comment(lines, "gputherm-report: what the graphics driver libraries of this machine answer, as");
  comment(lines, "gputherm reads them. Lines without # are a scenario of gputherm's simulated drivers:");
  comment(lines, "bash scripts/run.sh --replay <this file> shows the window this machine showed.");
  comment(lines, "report format %d", ReportFormat);
  comment(lines, "gputherm %s", GPUTHERM_VERSION);
  describe_windows(lines);
  std::string present;
  for (const wchar_t* file : ProbedLibraries) {
    const bool there = in_system_folder(file);
    comment(lines, "system folder: %s %s", utf8_from_wide(file).c_str(), there ? "present" : "absent");
    if (there) present += " " + utf8_from_wide(file);
  }
  if (!present.empty()) append(lines, "libraries%s\n", present.c_str());
}
