#include "backends/nvidia/nvapi.h"

#include <windows.h>

namespace {

using QueryInterface = void*(__cdecl*)(uint32_t id);
using DriverCall = NvAPI_Status(__cdecl*)();
using PreCall = int(__cdecl*)(uint32_t id, void** context);
using PostCall = int(__cdecl*)(uint32_t id, void* context, NvAPI_Status status);

struct EntryPoint {
  uint32_t id;
  void* address;
  bool tried;
};

HMODULE NvapiLibraryHandle;
// A driver that faulted stays given up when its handle is forgotten: an unload and a new
// initialise do not make it trustworthy again.
volatile LONG DriverGivenUp;
QueryInterface QueryInterfaceEntry;
PreCall PreCallHook;
PostCall PostCallHook;

EntryPoint EntryPointCache[NvapiEntryCount] = {
#define NVAPI_FUNCTION(name, id, parameters) {id, nullptr, false},
#include "backends/nvidia/nvapi_functions.h"
#undef NVAPI_FUNCTION
};

// The driver's answer for `id`, through its query interface; null when it faults.
void* query_interface(uint32_t id) {
  void* address = nullptr;
  guarded_call(NvapiLibraryHandle, address, QueryInterfaceEntry, id);
  return address;
}

template <typename Function>
Function ask_driver(uint32_t id) {
  return reinterpret_cast<Function>(query_interface(id));
}

// Calls a driver function without arguments; NVAPI_ERROR when it faults.
NvAPI_Status call_driver(DriverCall function) {
  NvAPI_Status status = NVAPI_ERROR;
  guarded_call(NvapiLibraryHandle, status, function);
  return status;
}

// Back to the unloaded state. Resolved addresses point into the library being freed, so they go
// too, also after a failed second initialise.
NvAPI_Status forget_driver(NvAPI_Status status) {
  for (EntryPoint& entry : EntryPointCache) {
    entry.address = nullptr;
    entry.tried = false;
  }
  QueryInterfaceEntry = nullptr;
  PreCallHook = nullptr;
  PostCallHook = nullptr;
  // A driver that faulted is never unloaded: its detach routine might wait for what it holds.
  if (module_given_up(NvapiLibraryHandle)) InterlockedExchange(&DriverGivenUp, 1);
  else FreeLibrary(NvapiLibraryHandle);
  NvapiLibraryHandle = nullptr;
  return status;
}

// The hooks bracket calls only as a pair.
void take_hooks() {
  PreCallHook = ask_driver<PreCall>(NvapiPreCallHookId);
  PostCallHook = ask_driver<PostCall>(NvapiPostCallHookId);
  if (!PreCallHook || !PostCallHook) {
    PreCallHook = nullptr;
    PostCallHook = nullptr;
  }
}

}  // namespace

NvAPI_Status NvAPI_Initialize() {
  if (!NvapiLibraryHandle) {
    NvapiLibraryHandle = library_load_system(L"nvapi64.dll");
    if (!NvapiLibraryHandle) return NVAPI_LIBRARY_NOT_FOUND;
  }
  QueryInterfaceEntry = reinterpret_cast<QueryInterface>(
      reinterpret_cast<void*>(GetProcAddress(NvapiLibraryHandle, "nvapi_QueryInterface")));
  if (!QueryInterfaceEntry) return forget_driver(NVAPI_ERROR);
  const auto initialize = ask_driver<DriverCall>(NvapiInitializeId);
  if (!initialize || call_driver(initialize) != NVAPI_OK) return forget_driver(NVAPI_ERROR);
  take_hooks();
  return NVAPI_OK;
}

NvAPI_Status NvAPI_Unload() {
  if (!NvapiLibraryHandle || !QueryInterfaceEntry) return NVAPI_API_NOT_INITIALIZED;
  const auto unload = ask_driver<DriverCall>(NvapiUnloadId);
  if (!unload) return NVAPI_NO_IMPLEMENTATION;
  if (call_driver(unload) != NVAPI_OK) return NVAPI_ERROR;
  return forget_driver(NVAPI_OK);
}

void* nvapi_entry_point(NvapiEntryIndex index) {
  EntryPoint& entry = EntryPointCache[index];
  if (QueryInterfaceEntry && !entry.address && !entry.tried) {
    entry.address = query_interface(entry.id);
    entry.tried = true;
  }
  return entry.address;
}

HMODULE nvapi_library() { return NvapiLibraryHandle; }

bool nvapi_given_up() {
  return InterlockedCompareExchange(&DriverGivenUp, 0, 0) != 0 ||
         module_given_up(NvapiLibraryHandle);
}

void nvapi_before_call(NvapiEntryIndex index, void** context) {
  int answer = 0;
  if (PreCallHook)
    guarded_call(NvapiLibraryHandle, answer, PreCallHook, EntryPointCache[index].id, context);
}

void nvapi_after_call(NvapiEntryIndex index, void* context, NvAPI_Status status) {
  int answer = 0;
  if (PostCallHook)
    guarded_call(NvapiLibraryHandle, answer, PostCallHook, EntryPointCache[index].id, context,
                 status);
}
