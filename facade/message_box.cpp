#include "facade/objects.h"
#include "facade/runtime.h"

#include <commctrl.h>
#include <objbase.h>

namespace {

// One per window that a box in progress looked at; each box touches its own thread's only.
struct DisabledWindow {
  DisabledWindow* next;
  DWORD thread;
  HWND window;
  bool was_topmost;
  bool was_disabled;
};

DisabledWindow* DisabledWindowList;

void remember(DWORD thread, HWND window) {
  auto* record = static_cast<DisabledWindow*>(heap_alloc(sizeof(DisabledWindow)));
  if (!record) return;
  record->thread = thread;
  record->window = window;
  record->was_topmost = (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  if (window != GetForegroundWindow() && IsWindowEnabled(window)) {
    EnableWindow(window, FALSE);
    record->was_disabled = true;
  }
  record->next = DisabledWindowList;
  DisabledWindowList = record;
}

BOOL CALLBACK lower_if_own(HWND window, LPARAM) {
  DWORD process = 0;
  if (GetWindowThreadProcessId(window, &process) == GetCurrentThreadId() &&
      IsWindowVisible(window))
    remember(GetCurrentThreadId(), window);
  return TRUE;
}

void lower_own_windows() {
  EnumWindows(lower_if_own, 0);
  for (DisabledWindow* record = DisabledWindowList; record; record = record->next)
    if (record->thread == GetCurrentThreadId() && record->was_topmost)
      SetWindowPos(record->window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void restore_own_windows() {
  DisabledWindow** link = &DisabledWindowList;
  while (DisabledWindow* record = *link) {
    if (record->thread != GetCurrentThreadId()) {
      link = &record->next;
      continue;
    }
    if (record->was_disabled) EnableWindow(record->window, TRUE);
    if (record->was_topmost)
      SetWindowPos(record->window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    *link = record->next;
    heap_release(record);
  }
}

HWND owner_in_this_process() {
  const HWND foreground = GetForegroundWindow();
  DWORD process = 0;
  if (foreground) GetWindowThreadProcessId(foreground, &process);
  return process == GetCurrentProcessId() ? foreground : nullptr;
}

void init_common_controls() {
  const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), 0x0B48};
  InitCommonControlsEx(&classes);
}

}  // namespace

void message_box_start() {
  init_common_controls();
  CoInitialize(nullptr);
}

int message_box(const wchar_t* title, const wchar_t* text, UINT type) {
  lower_own_windows();
  const int answer = MessageBoxW(owner_in_this_process(), text, title, type);
  restore_own_windows();
  // A box the user left open while the thread was being stopped ends the thread here.
  thread_stop_point();
  return answer;
}
