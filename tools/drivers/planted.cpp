// A library planted under another's name beside a program or in its working directory, as an
// attacker would leave one in a Downloads folder: it does nothing but note, in the simulated
// drivers' call log (SIMDRV_LOG), that it was loaded and from where. Tests copy it under every name
// the program loads and require that no such line appears.
#include <windows.h>

#include <cstdio>

namespace {

void note_loaded(HMODULE module) {
  char log[MAX_PATH];
  char path[MAX_PATH];
  const DWORD log_length = GetEnvironmentVariableA("SIMDRV_LOG", log, MAX_PATH);
  const DWORD path_length = GetModuleFileNameA(module, path, MAX_PATH);
  if (!log_length || log_length >= MAX_PATH || !path_length || path_length >= MAX_PATH) return;
  char line[MAX_PATH + 32];
  const int length = std::snprintf(line, sizeof(line), "planted %s load\n", path);
  const HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (length > 0) WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

// What a program that imported winmm.dll would need of it to start, so that a planted copy
// under that name is loaded rather than refused.
extern "C" UINT WINAPI timeBeginPeriod(UINT) { return 0; }

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) note_loaded(module);
  return TRUE;
}
