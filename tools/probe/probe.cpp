#include "tools/probe/probe.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

using NtStatus = LONG;
constexpr NtStatus StatusInfoLengthMismatch = static_cast<NtStatus>(0xC0000004);
constexpr ULONG SystemProcessInformationClass = 5;
constexpr ULONG ProcessBasicInformationClass = 0;

using QuerySystemInformation = NtStatus(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using QueryInformationProcess = NtStatus(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

struct CountedText {
  USHORT length;
  USHORT maximum_length;
  wchar_t* buffer;
};

// One process of the system's process list, as the system lays it out (Wine fills the same).
struct SystemProcessRecord {
  ULONG next_entry_offset;
  ULONG thread_count;
  LARGE_INTEGER working_set_private_size;
  ULONG hard_fault_count;
  ULONG thread_count_high_watermark;
  ULONGLONG cycle_time;
  LARGE_INTEGER create_time;
  LARGE_INTEGER user_time;
  LARGE_INTEGER kernel_time;
  CountedText image_name;
  LONG base_priority;
  HANDLE process_id;
  HANDLE parent_process_id;
  ULONG handle_count;
  ULONG session_id;
  ULONG_PTR process_key;
  SIZE_T peak_virtual_size;
  SIZE_T virtual_size;
  ULONG page_fault_count;
  SIZE_T peak_working_set_size;
  SIZE_T working_set_size;
  SIZE_T quota_peak_paged_pool_usage;
  SIZE_T quota_paged_pool_usage;
  SIZE_T quota_peak_non_paged_pool_usage;
  SIZE_T quota_non_paged_pool_usage;
  SIZE_T pagefile_usage;
  SIZE_T peak_pagefile_usage;
  SIZE_T private_page_count;
};

struct BasicProcessRecord {
  NtStatus exit_status;
  void* peb;
  ULONG_PTR affinity_mask;
  LONG base_priority;
  ULONG_PTR process_id;
  ULONG_PTR parent_process_id;
};

// An entry of the GDI handle table that Wine keeps in every process and publishes in its PEB.
// Stock objects, which Windows does not count against a process, carry the stock bit.
struct GdiTableEntry {
  uint64_t object;
  uint32_t owner;
  uint8_t kind_and_stock;  // 7 bits of extended type, then the stock bit
  uint8_t generation;      // 0 while the entry was never used
  uint8_t type;            // 0 while the entry is free
  uint8_t flags;
  uint64_t user_pointer;
};

#if defined(_WIN64)
static_assert(offsetof(SystemProcessRecord, handle_count) == 96, "system process record layout");
static_assert(offsetof(SystemProcessRecord, pagefile_usage) == 184, "system process record layout");
static_assert(sizeof(GdiTableEntry) == 24, "GDI table entry layout");
constexpr size_t PebGdiTableOffset = 0xF8;
#else
constexpr size_t PebGdiTableOffset = 0x94;
#endif
constexpr uint32_t GdiTableEntries = 0x10000;
constexpr uint32_t GdiEntriesPerRead = 4096;
constexpr uint8_t GdiStockBit = 0x80;

constexpr size_t HostFileLimit = 1 << 20;
const wchar_t* const HostProc = L"\\\\?\\unix\\proc\\";

// Through void*: a function pointer of one type may not be cast to another directly.
void* ntdll_function(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name));
}

uint64_t filetime_ns(const FILETIME& time) {
  return ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) * 100;
}

// The system's process list; empty when it could not be read.
std::vector<unsigned char> process_list() {
  static const auto query =
      reinterpret_cast<QuerySystemInformation>(ntdll_function("NtQuerySystemInformation"));
  std::vector<unsigned char> buffer(1 << 18);
  for (int attempt = 0; query && attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NtStatus status = query(SystemProcessInformationClass, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) return buffer;
    if (status != StatusInfoLengthMismatch) break;
    buffer.resize(needed > buffer.size() ? needed + 65536 : buffer.size() * 2);
  }
  return {};
}

bool find_process_record(DWORD pid, SystemProcessRecord* found) {
  const std::vector<unsigned char> list = process_list();
  for (size_t offset = 0; offset + sizeof(SystemProcessRecord) <= list.size();) {
    SystemProcessRecord record;
    std::memcpy(&record, list.data() + offset, sizeof(record));
    if (reinterpret_cast<ULONG_PTR>(record.process_id) == pid) {
      *found = record;
      return true;
    }
    if (record.next_entry_offset == 0) break;
    offset += record.next_entry_offset;
  }
  return false;
}

// ---- the Unix side under Wine, read through Wine's \\?\unix\ file names ----

std::string read_host_file(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string contents;
  char chunk[4096];
  DWORD got = 0;
  while (contents.size() < HostFileLimit && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) &&
         got > 0 && got <= sizeof(chunk))
    contents.append(chunk, got);
  CloseHandle(file);
  return contents;
}

// The numeric entries of a /proc folder: processes, or a process's threads.
std::vector<std::wstring> numeric_entries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((folder + L"*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (entry.cFileName[0] >= L'0' && entry.cFileName[0] <= L'9') names.push_back(entry.cFileName);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

// True when a NUL-separated list (a process's environ or cmdline) holds `item` whole.
bool holds_item(const std::string& list, const std::string& item) {
  for (size_t start = 0; start < list.size();) {
    const size_t end = list.find('\0', start);
    const size_t length = (end == std::string::npos ? list.size() : end) - start;
    if (list.compare(start, length, item) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

// The first host process whose program (the first item of its command line) contains
// `program_part` and, when `variable` is given, whose environment holds it; 0 when none does.
// Wine gives a Windows process the Unix command line of its Windows one, but not its Windows
// environment. Only the program counts: a shell whose arguments name it must not match.
int find_host_process(const std::string& program_part, const std::string& variable) {
  for (const std::wstring& pid : numeric_entries(HostProc)) {
    const std::wstring folder = HostProc + pid + L"\\";
    const std::string command = read_host_file(folder + L"cmdline");
    if (command.substr(0, command.find('\0')).find(program_part) == std::string::npos) continue;
    if (!variable.empty() && !holds_item(read_host_file(folder + L"environ"), variable)) continue;
    return _wtoi(pid.c_str());
  }
  return 0;
}

// Run time of every thread of a host process, in nanoseconds, from the scheduler's own account
// (the first field of each thread's schedstat); clock-tick figures would round to 10 ms.
uint64_t host_cpu_ns(int host_pid) {
  const std::wstring tasks = HostProc + std::to_wstring(host_pid) + L"\\task\\";
  uint64_t total = 0;
  for (const std::wstring& tid : numeric_entries(tasks))
    total += std::strtoull(read_host_file(tasks + tid + L"\\schedstat").c_str(), nullptr, 10);
  return total;
}

std::string narrow(const std::wstring& text) {
  std::string result;
  for (const wchar_t c : text) result.push_back(c < 128 ? static_cast<char>(c) : '?');
  return result;
}

// ---- objects ----

uint32_t wine_gdi_objects(HANDLE process) {
  static const auto query =
      reinterpret_cast<QueryInformationProcess>(ntdll_function("NtQueryInformationProcess"));
  BasicProcessRecord basic{};
  ULONG length = 0;
  if (!query || query(process, ProcessBasicInformationClass, &basic, sizeof(basic), &length))
    return 0;
  uint64_t table = 0;
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, static_cast<char*>(basic.peb) + PebGdiTableOffset, &table,
                         sizeof(void*), &got) ||
      !table)
    return 0;
  std::vector<GdiTableEntry> entries(GdiEntriesPerRead);
  uint32_t count = 0;
  // Entries are handed out from the front, so the first block never used ends the table.
  for (uint32_t first = 0; first < GdiTableEntries; first += GdiEntriesPerRead) {
    const auto address = reinterpret_cast<const void*>(
        static_cast<uintptr_t>(table + uint64_t{first} * sizeof(GdiTableEntry)));
    if (!ReadProcessMemory(process, address, entries.data(), entries.size() * sizeof(GdiTableEntry),
                           &got))
      break;
    bool used = false;
    for (const GdiTableEntry& entry : entries) {
      if (entry.generation || entry.kind_and_stock) used = true;
      if (entry.type && !(entry.kind_and_stock & GdiStockBit)) ++count;
    }
    if (!used) break;
  }
  return count;
}

struct WindowCount {
  DWORD pid;
  uint32_t windows;
};

BOOL CALLBACK count_if_owned(HWND window, LPARAM parameter) {
  auto* count = reinterpret_cast<WindowCount*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == count->pid) ++count->windows;
  return TRUE;
}

// A top-level window of the process counts with all its descendants.
BOOL CALLBACK count_tree_if_owned(HWND window, LPARAM parameter) {
  auto* count = reinterpret_cast<WindowCount*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != count->pid) return TRUE;
  ++count->windows;
  EnumChildWindows(window, count_if_owned, parameter);
  return TRUE;
}

// Every window of the process: top-level ones, hidden ones and message-only ones included.
uint32_t process_windows(DWORD pid) {
  WindowCount count{pid, 0};
  EnumWindows(count_tree_if_owned, reinterpret_cast<LPARAM>(&count));
  for (HWND window = nullptr;
       (window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) != nullptr;)
    count_tree_if_owned(window, reinterpret_cast<LPARAM>(&count));
  return count.windows;
}

uint64_t committed_private_bytes(HANDLE process) {
  uint64_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  // Addresses of the other process, walked as numbers: here they point at nothing, and the first
  // region starts at address 0, which no pointer may be moved from.
  uintptr_t address = 0;
  while (VirtualQueryEx(process, reinterpret_cast<const void*>(address), &region, sizeof(region)) ==
         sizeof(region)) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

// ---- start ----

std::wstring entry_name(const std::wstring& entry) { return entry.substr(0, entry.find(L'=')); }

// The caller's environment without the entries that `extra` replaces, followed by `extra`.
std::wstring environment_block(const std::vector<std::wstring>& extra) {
  std::wstring block;
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; *entry; entry += wcslen(entry) + 1) {
    bool replaced = false;
    for (const std::wstring& added : extra)
      if (_wcsicmp(entry_name(entry).c_str(), entry_name(added).c_str()) == 0) replaced = true;
    if (!replaced) block.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(inherited);
  for (const std::wstring& added : extra) block.append(added).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

struct TitledSearch {
  DWORD pid;
  const wchar_t* title;
  HWND found;
};

BOOL CALLBACK match_titled(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<TitledSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t text[256] = {};
  if (owner != search->pid || !IsWindowVisible(window)) return TRUE;
  GetWindowTextW(window, text, 256);
  if (std::wcscmp(text, search->title) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

bool has_ended(const ProbeTarget& target) {
  return !target.process.hProcess ||
         WaitForSingleObject(target.process.hProcess, 0) == WAIT_OBJECT_0;
}

void find_host(ProbeTarget& target) {
  if (target.host_pid || target.image.empty() || !probe_under_wine()) return;
  target.host_pid = find_host_process(target.image, "");
}

}  // namespace

bool probe_under_wine() { return ntdll_function("wine_get_version") != nullptr; }

ProbeTarget probe_start(const std::wstring& dir, const std::wstring& file,
                        const std::wstring& arguments, const std::vector<std::wstring>& extra) {
  ProbeTarget target;
  const std::wstring image = dir + L"\\" + file;
  target.image = narrow(image);
  std::wstring environment = environment_block(extra);
  std::wstring command = L"\"" + image + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), dir.c_str(), &startup, &target.process))
    target.process = {};
  target.owned = target.process.hProcess != nullptr;
  return target;
}

ProbeTarget probe_attach(const PROCESS_INFORMATION& process) {
  ProbeTarget target;
  target.process = process;
  return target;
}

void probe_release(ProbeTarget& target) {
  if (target.owned && target.process.hProcess) {
    if (!has_ended(target)) {
      TerminateProcess(target.process.hProcess, 99);
      WaitForSingleObject(target.process.hProcess, 5000);
    }
    CloseHandle(target.process.hProcess);
    CloseHandle(target.process.hThread);
  }
  target.process = {};
  target.owned = false;
}

HWND probe_wait_window(const ProbeTarget& target, const wchar_t* title, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  TitledSearch search{target.process.dwProcessId, title, nullptr};
  while (!search.found) {
    if (has_ended(target) || GetTickCount64() >= deadline) return nullptr;
    EnumWindows(match_titled, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(2);
  }
  // The thread answers a sent message only once it waits for messages again, that is, when it
  // has finished building what it shows.
  const ULONGLONG now = GetTickCount64();
  const UINT remaining = now < deadline ? static_cast<UINT>(deadline - now) : 1;
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, remaining, &answer))
    return nullptr;
  return search.found;
}

bool probe_close(const ProbeTarget& target, HWND window, DWORD timeout_ms, DWORD* exit_code) {
  PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  if (WaitForSingleObject(target.process.hProcess, timeout_ms) != WAIT_OBJECT_0) return false;
  if (exit_code) GetExitCodeProcess(target.process.hProcess, exit_code);
  return true;
}

uint64_t probe_cpu_ns(ProbeTarget& target) {
  find_host(target);
  if (target.host_pid) {
    const uint64_t host = host_cpu_ns(target.host_pid);
    if (host) return host;
  }
  if (!probe_under_wine()) {
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(target.process.hProcess, &created, &ended, &kernel, &user))
      return filetime_ns(kernel) + filetime_ns(user);
  }
  SystemProcessRecord record;
  if (!find_process_record(target.process.dwProcessId, &record)) return 0;
  return static_cast<uint64_t>(record.user_time.QuadPart + record.kernel_time.QuadPart) * 100;
}

ProcessFigures probe_measure(ProbeTarget& target) {
  ProcessFigures figures;
  figures.cpu_ns = probe_cpu_ns(target);
  SystemProcessRecord record;
  if (!find_process_record(target.process.dwProcessId, &record)) return figures;
  figures.found = true;
  figures.handles = record.handle_count;
  figures.peak_working_set = record.peak_working_set_size;
  figures.resident_private = record.pagefile_usage;
  const HANDLE process = target.process.hProcess;
  if (probe_under_wine()) {
    figures.gdi_objects = wine_gdi_objects(process);
    figures.user_objects = process_windows(target.process.dwProcessId);
  } else {
    figures.gdi_objects = GetGuiResources(process, GR_GDIOBJECTS);
    figures.user_objects = GetGuiResources(process, GR_USEROBJECTS);
  }
  figures.private_bytes = committed_private_bytes(process);
  return figures;
}

uint64_t probe_wineserver_cpu_ns() {
  static int server = -1;
  if (server < 0) {
    server = 0;
    wchar_t prefix[MAX_PATH] = {};
    if (probe_under_wine() && GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH))
      server = find_host_process("wineserver", "WINEPREFIX=" + narrow(prefix));
  }
  return server ? host_cpu_ns(server) : 0;
}

namespace {

// `gpus` AMD adapters on distinct buses whose `reading` field (the sensor the run reads them
// through) drifts on every call, each with its display device.
std::string amd_scenario(int gpus, const char* reading) {
  std::string scenario;
  for (int i = 0; i < gpus; ++i) {
    const std::string n = std::to_string(i);
    const std::string bus = std::to_string(i + 1);
    scenario.append("adapter name=\"Simulated Radeon ").append(n);
    scenario.append("\" udid=\"PCI_VEN_1002&DEV_73BF&").append(n);
    scenario.append("\" bus=").append(bus).append(" ").append(reading).append("=drift:40..75\n");
    // Its device, for a run with the simulated Plug and Play layer: awake, so read every pass.
    scenario.append("display bus=").append(bus).append(" power=D0\n");
  }
  return scenario;
}

}  // namespace

std::string probe_drifting_scenario(int gpus) { return amd_scenario(gpus, "temps"); }

std::string probe_adl2_scenario(int gpus) {
  // Not supported, as a current driver answers Overdrive5 for every adapter: each reading then
  // costs that failed call as well as the performance log's.
  return amd_scenario(gpus, "edge") + "fail ADL_Overdrive5_Temperature_Get=-8\n";
}

std::string probe_geforce_scenario(int gpus) {
  const int radeons = gpus / 2;
  std::string scenario = amd_scenario(radeons, "temps");
  for (int i = radeons; i < gpus; ++i) {
    const std::string bus = std::to_string(i + 1);
    scenario.append("adapter name=\"Simulated GeForce ").append(std::to_string(i));
    scenario.append("\" udid=\"PCI_VEN_10DE&DEV_2705&").append(std::to_string(i));
    scenario.append("\" bus=").append(bus).append("\ngpu bus=").append(bus);
    scenario.append(" temps=drift:40..75\ndisplay bus=").append(bus).append(" power=D0\n");
  }
  return scenario;
}

namespace {

// `gpus` NVIDIA GPUs on distinct buses, each on a line of `kind` whose readings drift, with a
// display device of that `device_id`.
std::string nvidia_scenario(int gpus, const char* kind, const char* device_id) {
  std::string scenario;
  for (int i = 0; i < gpus; ++i) {
    const std::string bus = std::to_string(i + 1);
    scenario.append(kind).append(" bus=").append(bus).append(" temps=drift:40..75\n");
    scenario.append("display id=\"PCI\\\\VEN_10DE&DEV_").append(device_id).append("\\\\");
    scenario.append(bus).append("\" bus=").append(bus).append("\n");
  }
  return scenario;
}

}  // namespace

std::string probe_nvidia_scenario(int gpus) { return nvidia_scenario(gpus, "gpu", "2705"); }

std::string probe_nvml_scenario(int gpus) {
  return "fail NvAPI_Initialize=-6\n" + nvidia_scenario(gpus, "nvml", "1B38");
}

std::string probe_adlx_scenario(int gpus) {
  constexpr int Steps = 36;
  // Overdrive5 refused; with no sensor of the log and no OverdriveN reading described, both
  // answer -8 (not supported).
  std::string scenario = amd_scenario(gpus, "temps") + "fail ADL_Overdrive5_Temperature_Get=-8\n";
  for (int i = gpus - 1; i >= 0; --i) {
    scenario += "adlx name=\"Simulated Radeon " + std::to_string(i) +
                "\" bus=" + std::to_string(i + 1) + " temps=";
    for (int k = 0; k < Steps; ++k)
      scenario += std::to_string(40 + (k * 7 + i) % Steps) + ".5" + (k + 1 < Steps ? "," : "\n");
  }
  return scenario;
}

std::string probe_intel_scenario(int gpus) {
  constexpr int Steps = 36;
  std::string scenario;
  for (int i = 0; i < gpus; ++i) {
    scenario += "intel name=\"Simulated Arc " + std::to_string(i) +
                "\" bus=" + std::to_string(i + 1) + " temps=";
    // Steps of 7 degrees around the range: no two calls in a row answer the same.
    for (int k = 0; k < Steps; ++k)
      scenario += std::to_string(40 + (k * 7 + i) % Steps) + ".5" + (k + 1 < Steps ? "," : "\n");
  }
  return scenario;
}

std::string probe_format_sample(const SoakSample& sample) {
  char line[256];
  std::snprintf(line, sizeof(line),
                "t=%4d s  handles %u  GDI %u  USER %u  private %llu KiB  resident private %llu KiB",
                sample.seconds, sample.figures.handles, sample.figures.gdi_objects,
                sample.figures.user_objects,
                static_cast<unsigned long long>(sample.figures.private_bytes / 1024),
                static_cast<unsigned long long>(sample.figures.resident_private / 1024));
  return line;
}

namespace {

// The first sample at or after `seconds`, or null.
const SoakSample* sample_from(const std::vector<SoakSample>& samples, int seconds) {
  for (const SoakSample& sample : samples)
    if (sample.seconds >= seconds) return &sample;
  return nullptr;
}

using Count = uint32_t (*)(const ProcessFigures&);

// A count that rose and stayed up: two samples in a row above the lowest seen before them. A
// single high sample is an object the system held for a moment (a device context while a label
// paints, say), not a leak; a count that falls is not a leak either.
std::string persistent_rise(const std::vector<SoakSample>& samples, int from, const char* what,
                            Count count) {
  uint32_t lowest = UINT32_MAX;
  bool above = false;
  for (const SoakSample& sample : samples) {
    if (sample.seconds < from) continue;
    const uint32_t now = count(sample.figures);
    if (now > lowest && above)
      return std::string(what) + " rose from " + std::to_string(lowest) + " to " +
             std::to_string(now) + " and stayed up at t=" + std::to_string(sample.seconds) + " s";
    above = now > lowest;
    if (now < lowest) lowest = now;
  }
  return {};
}

}  // namespace

std::string probe_soak_fault(const std::vector<SoakSample>& samples, int objects_from,
                             int private_from, uint64_t allowed_growth) {
  const SoakSample* objects = sample_from(samples, objects_from);
  const SoakSample* memory = sample_from(samples, private_from);
  if (!objects || !memory) return "no sample late enough to judge";
  for (const SoakSample& sample : samples) {
    const ProcessFigures& now = sample.figures;
    if (!now.found) return "the process was gone at t=" + std::to_string(sample.seconds) + " s";
    if (sample.seconds >= private_from &&
        now.private_bytes > memory->figures.private_bytes + allowed_growth)
      return "private bytes grew by " +
             std::to_string((now.private_bytes - memory->figures.private_bytes) / 1024) +
             " KiB from t=" + std::to_string(memory->seconds) +
             " s to t=" + std::to_string(sample.seconds) + " s";
  }
  std::string fault =
      persistent_rise(samples, objects_from, "handles", [](const ProcessFigures& f) {
        return f.handles;
      });
  if (fault.empty())
    fault = persistent_rise(samples, objects_from, "GDI objects",
                            [](const ProcessFigures& f) { return f.gdi_objects; });
  if (fault.empty())
    fault = persistent_rise(samples, objects_from, "USER objects",
                            [](const ProcessFigures& f) { return f.user_objects; });
  return fault;
}
