#include "facade/library.h"

#include <cwchar>

#include "facade/objects.h"
#include "facade/runtime.h"

namespace {

struct LibraryRecord {
  HMODULE handle;  // 0 while the number is not open
};

constexpr int32_t LibraryGrowthStep = 16;
constexpr int NameBufferSize = 260;

ObjectTable* LibraryTable;

HMODULE open_handle(ObjectNumber number) {
  const auto* record = static_cast<const LibraryRecord*>(object_get(LibraryTable, number));
  return record ? record->handle : nullptr;
}

}  // namespace

void libraries_start() {
  LibraryTable = table_create(sizeof(LibraryRecord), LibraryGrowthStep, library_close);
}

void libraries_end() { object_free_all(LibraryTable); }

namespace {

HMODULE open_with(ObjectNumber number, const wchar_t* file, HMODULE (*load)(const wchar_t*)) {
  auto* record = static_cast<LibraryRecord*>(object_slot(LibraryTable, number));
  if (!record || !file) return nullptr;
  record->handle = load(file);
  return record->handle;
}

HMODULE load_searching(const wchar_t* file) { return LoadLibraryW(file); }

// Windows 7 without its 2011 loader update knows no search flags and refuses them as an invalid
// parameter: there the file's full path in the system folder names the same library, and the
// altered search starts its own imports from that folder.
HMODULE load_by_system_path(const wchar_t* file) {
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  const size_t name_length = wcslen(file);
  if (!length || length + 1 + name_length >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  wmemcpy(path + length + 1, file, name_length + 1);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

HMODULE library_load_system(const wchar_t* file) {
  if (!file) return nullptr;
  const HMODULE module = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  return load_by_system_path(file);
}

HMODULE library_open(ObjectNumber number, const wchar_t* file) {
  return open_with(number, file, load_searching);
}

HMODULE library_open_system(ObjectNumber number, const wchar_t* file) {
  return open_with(number, file, library_load_system);
}

void library_close(ObjectNumber number) {
  auto* record = static_cast<LibraryRecord*>(object_get(LibraryTable, number));
  if (!record) return;
  // Freeing would run the library's detach routine, which may wait for a lock that its code,
  // abandoned in the middle of a call, still holds.
  if (!module_given_up(record->handle)) FreeLibrary(record->handle);
  record->handle = nullptr;
}

HMODULE library_module(ObjectNumber number) { return open_handle(number); }

FARPROC library_find(ObjectNumber number, const wchar_t* name) {
  const HMODULE module = open_handle(number);
  if (!name || !module) return nullptr;
  char name8[NameBufferSize];
  // A name whose 8-bit form does not fit, zero included, makes the conversion fail.
  if (!WideCharToMultiByte(CP_ACP, 0, name, -1, name8, NameBufferSize, nullptr, nullptr))
    return nullptr;
  return GetProcAddress(module, name8);
}

void library_limit_search() {
  using SetDefaultDirectories = BOOL(WINAPI*)(DWORD flags);
  // Looked up rather than imported: Windows 7 without its 2011 loader update lacks it, and the
  // program must still start there; the weaker empty search folder is all that system offers.
  const auto set_default_directories = export_as<SetDefaultDirectories>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"));
  if (set_default_directories) set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  else SetDllDirectoryW(L"");
}
