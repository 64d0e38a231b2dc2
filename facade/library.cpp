#include "facade/library.h"

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

HMODULE open_with(ObjectNumber number, const wchar_t* file, DWORD search) {
  auto* record = static_cast<LibraryRecord*>(object_slot(LibraryTable, number));
  if (!record || !file) return nullptr;
  record->handle = search ? LoadLibraryExW(file, nullptr, search) : LoadLibraryW(file);
  return record->handle;
}

}  // namespace

HMODULE library_open(ObjectNumber number, const wchar_t* file) {
  return open_with(number, file, 0);
}

HMODULE library_open_system(ObjectNumber number, const wchar_t* file) {
  return open_with(number, file, LOAD_LIBRARY_SEARCH_SYSTEM32);
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
  if (set_default_directories) set_default_directories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  else SetDllDirectoryW(L"");
}
