#include "facade/objects.h"
#include "facade/runtime.h"
#include "facade/window_gadget.h"

#include <cwchar>

namespace {

struct WindowRecord {
  HWND handle;  // 0 while the number holds no window
  ACCEL* accel_entries;
  HACCEL accel_table;
  int32_t accel_count;
  HBRUSH background_brush;
  int32_t min_max_state;  // 1 while minimised or maximised
};

// What a window that has served as gadget parent keeps in its "RT_GadgetStack_" property.
struct GadgetStack {
  WNDPROC previous_proc;
};

constexpr int32_t WindowGrowthStep = 16;
constexpr int NameBufferSize = 64;
constexpr uint32_t CenterOnParent = 0x00000002;
constexpr uint32_t CreateHidden = 0x10000000;
constexpr uint32_t ShowInactive = 0x02000000;
constexpr uint32_t FacadeLowBits = 0x00000007;
constexpr WORD NextGadgetCommand = 64001;
constexpr WORD PreviousGadgetCommand = 64002;
constexpr int AcceleratorCount = 2;
constexpr WORD BothCues = UISF_HIDEFOCUS | UISF_HIDEACCEL;
const wchar_t* const WindowIdProperty = L"RT_WindowID";
const wchar_t* const FocusProperty = L"RT_Focus";

ObjectTable* WindowTable;
HICON ClassIcon;
HCURSOR ClassCursor;
HWND GadgetParent;

WindowRecord* record_of(ObjectNumber number) {
  return static_cast<WindowRecord*>(object_get(WindowTable, number));
}

void format_class_name(wchar_t (&name)[NameBufferSize], ObjectNumber number) {
  _snwprintf(name, NameBufferSize - 1, L"WindowClass_%I64d", static_cast<long long>(number));
  name[NameBufferSize - 1] = 0;
}

// The property name carries the module handle, so facades of different modules never meet.
void format_stack_property(wchar_t (&name)[NameBufferSize]) {
  _snwprintf(name, NameBufferSize - 1, L"RT_GadgetStack_%I64i",
             static_cast<long long>(reinterpret_cast<intptr_t>(facade_instance())));
  name[NameBufferSize - 1] = 0;
}

// The facade window a message belongs to: the nearest one up the parent chain, or -1.
ObjectNumber facade_number(HWND window) {
  for (HWND current = window; current; current = GetParent(current)) {
    const auto id = reinterpret_cast<intptr_t>(GetPropW(current, WindowIdProperty));
    if (id != 0) return id - 1;
  }
  return -1;
}

void post(ObjectNumber number, int32_t code, bool carries_number = false) {
  event_post(code, carries_number ? number : 0, number, 0);
}

void centre_on_screen(HWND window) {
  RECT outer{};
  GetWindowRect(window, &outer);
  const int screen_width = GetSystemMetrics(SM_CXSCREEN);
  const int screen_height = GetSystemMetrics(SM_CYSCREEN);
  int width = outer.right - outer.left;
  int height = outer.bottom - outer.top;
  if (width > screen_width) width = screen_width;
  if (height > screen_height) height = screen_height;
  SetWindowPos(window, nullptr, (screen_width - width) / 2, (screen_height - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int show_command(DWORD style, uint32_t flags) {
  const bool inactive = (flags & ShowInactive) != 0;
  if (style & WS_MAXIMIZE) return inactive ? SW_SHOWNA : SW_SHOWMAXIMIZED;
  if (style & WS_MINIMIZE) return inactive ? SW_SHOWMINNOACTIVE : SW_SHOWMINIMIZED;
  return inactive ? SW_SHOWNOACTIVATE : SW_SHOWNORMAL;
}

void build_accelerators(WindowRecord* record) {
  record->accel_count = AcceleratorCount;
  record->accel_entries = static_cast<ACCEL*>(heap_alloc(sizeof(ACCEL) * AcceleratorCount));
  if (!record->accel_entries) return;
  record->accel_entries[0] = {FVIRTKEY | FNOINVERT, VK_TAB, NextGadgetCommand};
  record->accel_entries[1] = {FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, PreviousGadgetCommand};
  record->accel_table = CreateAcceleratorTableW(record->accel_entries, AcceleratorCount);
}

LRESULT CALLBACK gadget_parent_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  wchar_t property[NameBufferSize];
  format_stack_property(property);
  auto* stack = static_cast<GadgetStack*>(GetPropW(window, property));
  const WNDPROC previous = stack ? stack->previous_proc : DefWindowProcW;
  if (message == WM_NCDESTROY) {
    // Gadgets must never be created into a window that is going away.
    if (GadgetParent == window) GadgetParent = nullptr;
    heap_release(stack);
    RemovePropW(window, property);
  }
  return CallWindowProcW(previous, window, message, wparam, lparam);
}

void become_gadget_parent(HWND window) {
  GadgetParent = window;
  wchar_t property[NameBufferSize];
  format_stack_property(property);
  if (GetPropW(window, property)) return;
  auto* stack = static_cast<GadgetStack*>(heap_alloc(sizeof(GadgetStack)));
  if (!stack) return;
  SetPropW(window, property, stack);
  stack->previous_proc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gadget_parent_proc)));
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

void register_class(const wchar_t* name) {
  WNDCLASSW window_class{};
  window_class.style = CS_DBLCLKS;
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = facade_instance();
  window_class.hIcon = ClassIcon;
  window_class.hCursor = ClassCursor;
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_BTNFACE + 1));
  window_class.lpszClassName = name;
  RegisterClassW(&window_class);
}

// The style handed to the system: the facade's own bits never reach it.
DWORD system_style(uint32_t flags) {
  uint32_t word = flags & ~WINDOW_KEEP_GADGET_PARENT;
  if ((word & ~(WINDOW_SCREEN_CENTERED | CenterOnParent | CreateHidden)) == 0) word |= WS_CAPTION;
  return word & ~(FacadeLowBits | ShowInactive | CreateHidden);
}

void window_free(ObjectNumber number) {
  if (WindowRecord* record = record_of(number)) {
    if (const HWND owner = GetWindow(record->handle, GW_OWNER)) SetActiveWindow(owner);
    // Without its number the window posts nothing more while it is destroyed.
    RemovePropW(record->handle, WindowIdProperty);
    DestroyWindow(record->handle);
    wchar_t name[NameBufferSize];
    format_class_name(name, number);
    UnregisterClassW(name, facade_instance());
    heap_release(record->accel_entries);
    if (record->accel_table) DestroyAcceleratorTable(record->accel_table);
    if (record->background_brush) DeleteObject(record->background_brush);
    event_drop_window(number);
  }
  object_clear(WindowTable, number);
}

LRESULT on_size(HWND window, WindowRecord* record, ObjectNumber number, WPARAM kind) {
  if (!GetPropW(window, WindowIdProperty)) return 1;
  if (!record) return 0;
  if (kind == SIZE_MINIMIZED) {
    record->min_max_state = 1;
    post(number, EVENT_MINIMIZE_WINDOW);
    return 0;
  }
  if (kind == SIZE_MAXIMIZED) {
    record->min_max_state = 1;
    post(number, EVENT_MAXIMIZE_WINDOW);
  } else if (kind == SIZE_RESTORED && record->min_max_state == 1) {
    record->min_max_state = 0;
    post(number, EVENT_RESTORE_WINDOW);
  }
  post(number, EVENT_SIZE_WINDOW);
  return 0;
}

// The window keeps the focus itself: the default procedure would move it to the window.
LRESULT on_activate(HWND window, const WindowRecord* record, ObjectNumber number, WPARAM state) {
  if (LOWORD(state) != WA_INACTIVE) {
    if (const auto focus = static_cast<HWND>(GetPropW(window, FocusProperty))) SetFocus(focus);
    if (record) post(number, EVENT_ACTIVATE_WINDOW);
    return 1;
  }
  SetPropW(window, FocusProperty, GetFocus());
  const LRESULT cues = SendMessageW(window, WM_QUERYUISTATE, 0, 0);
  if ((cues & BothCues) != BothCues)
    SendMessageW(window, WM_UPDATEUISTATE, MAKEWPARAM(UIS_SET, BothCues), 0);
  if (record) post(number, EVENT_DEACTIVATE_WINDOW);
  return 1;
}

LRESULT on_erase_background(HWND window, const WindowRecord* record, ObjectNumber number,
                            WPARAM wparam, LPARAM lparam) {
  if (record) post(number, EVENT_REPAINT);
  if (!record || !record->background_brush)
    return DefWindowProcW(window, WM_ERASEBKGND, wparam, lparam);
  RECT client{};
  GetClientRect(window, &client);
  FillRect(reinterpret_cast<HDC>(wparam), &client, record->background_brush);
  return 1;
}

BOOL CALLBACK send_colour_change(HWND child, LPARAM) {
  SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
  return TRUE;
}

void move_focus(HWND window, WORD command) {
  const HWND next = GetNextDlgTabItem(window, GetFocus(), command == PreviousGadgetCommand);
  if (next) SetFocus(next);
}

LRESULT on_control_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT answer = 0;
  if (gadget_notify(window, message, wparam, lparam, &answer)) return answer;
  const WORD command = LOWORD(wparam);
  if (message == WM_COMMAND && lparam == 0 &&
      (command == NextGadgetCommand || command == PreviousGadgetCommand))
    move_focus(window, command);
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const ObjectNumber number = facade_number(window);
  WindowRecord* record = record_of(number);
  const bool own_window = record && record->handle == window;
  switch (message) {
    case WM_MOVE:
      if (own_window) post(number, EVENT_MOVE_WINDOW, true);
      return 0;
    case WM_SIZE:
      return on_size(window, record, number, wparam);
    case WM_ACTIVATE:
      return on_activate(window, record, number, wparam);
    case WM_CLOSE:
      if (own_window) post(number, EVENT_CLOSE_WINDOW, true);
      return 0;
    case WM_ERASEBKGND:
      return on_erase_background(window, record, number, wparam, lparam);
    case WM_SYSCOLORCHANGE:
      EnumChildWindows(window, send_colour_change, 0);
      break;
    case WM_GETMINMAXINFO:
      return 0;
    case WM_NCDESTROY:
      RemovePropW(window, FocusProperty);
      return 1;
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
      return on_control_message(window, message, wparam, lparam);
    case WM_LBUTTONUP:
      if (record) post(number, EVENT_LEFT_CLICK);
      return 0;
    case WM_LBUTTONDBLCLK:
      if (record) post(number, EVENT_LEFT_DOUBLE_CLICK);
      return 0;
    case WM_RBUTTONUP:
      if (record) post(number, EVENT_RIGHT_CLICK);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// A control that wants the Tab key itself keeps it from the accelerators.
bool focus_takes_tab(const MSG& message) {
  const HWND focus = GetFocus();
  if (!focus) return false;
  const LRESULT code = SendMessageW(focus, WM_GETDLGCODE, message.wParam,
                                    reinterpret_cast<LPARAM>(&message));
  return (code & (DLGC_WANTTAB | DLGC_WANTALLKEYS)) != 0;
}

bool translate_accelerator(MSG& message) {
  if (message.message < WM_KEYFIRST || message.message > WM_KEYLAST) return false;
  const HWND active = GetActiveWindow();
  if (!active) return false;
  const WindowRecord* record = record_of(facade_number(active));
  if (!record || record->handle != active || !record->accel_table) return false;
  if (focus_takes_tab(message)) return false;
  if (!TranslateAcceleratorW(active, record->accel_table, &message)) return false;
  const LRESULT cues = SendMessageW(active, WM_QUERYUISTATE, 0, 0);
  if (cues & BothCues) SendMessageW(active, WM_UPDATEUISTATE, MAKEWPARAM(UIS_CLEAR, BothCues), 0);
  return true;
}

HWND create_window(const wchar_t* class_name, int32_t x, int32_t y, int32_t inner_width,
                   int32_t inner_height, const wchar_t* title, uint32_t flags) {
  const DWORD style = system_style(flags);
  RECT outer{0, 0, inner_width, inner_height};
  AdjustWindowRectEx(&outer, style, FALSE, 0);
  if (x == COORD_IGNORE ||
      (y == COORD_IGNORE && !(flags & (WINDOW_SCREEN_CENTERED | CenterOnParent))))
    x = y = CW_USEDEFAULT;
  return CreateWindowExW(0, class_name, title ? title : L"", style, x, y, outer.right - outer.left,
                         outer.bottom - outer.top, nullptr, nullptr, facade_instance(), nullptr);
}

}  // namespace

void windows_start() {
  WindowTable = table_create(sizeof(WindowRecord), WindowGrowthStep, window_free);
  ClassIcon = LoadIconW(facade_instance(), MAKEINTRESOURCEW(1));
  ClassCursor = LoadCursorW(nullptr, IDC_ARROW);
}

void windows_end() { object_free_all(WindowTable); }

HWND gadget_parent() { return GadgetParent; }

HWND window_handle(ObjectNumber number) {
  const WindowRecord* record = record_of(number);
  return record ? record->handle : nullptr;
}

HWND window_open(ObjectNumber number, int32_t x, int32_t y, int32_t inner_width,
                 int32_t inner_height, const wchar_t* title, uint32_t flags) {
  auto* record = static_cast<WindowRecord*>(object_slot(WindowTable, number));
  if (!record) return nullptr;
  wchar_t class_name[NameBufferSize];
  format_class_name(class_name, number);
  register_class(class_name);
  const HWND window =
      create_window(class_name, x, y, inner_width, inner_height, title, flags);
  if (!window) {
    UnregisterClassW(class_name, facade_instance());
    object_clear(WindowTable, number);
    return nullptr;
  }
  SetPropW(window, WindowIdProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(number + 1)));
  record->handle = window;
  // Centred while still hidden, so the window is never seen at its first position.
  if (flags & WINDOW_SCREEN_CENTERED) centre_on_screen(window);
  const DWORD style = system_style(flags);
  if (!(flags & CreateHidden)) ShowWindow(window, show_command(style, flags));
  record->min_max_state = (style & (WS_MINIMIZE | WS_MAXIMIZE)) ? 1 : 0;
  build_accelerators(record);
  if (!(flags & WINDOW_KEEP_GADGET_PARENT)) become_gadget_parent(window);
  return window;
}

void window_resize(ObjectNumber number, int32_t x, int32_t y, int32_t inner_width,
                   int32_t inner_height) {
  const WindowRecord* record = record_of(number);
  if (!record) return;
  const HWND window = record->handle;
  if (x == COORD_IGNORE || y == COORD_IGNORE) {
    RECT outer{};
    GetWindowRect(window, &outer);
    if (x == COORD_IGNORE) x = outer.left;
    if (y == COORD_IGNORE) y = outer.top;
  }
  RECT client{};
  GetClientRect(window, &client);
  RECT rect{0, 0, inner_width == COORD_IGNORE ? client.right : inner_width,
            inner_height == COORD_IGNORE ? client.bottom : inner_height};
  const bool with_menu = inner_height == COORD_IGNORE && GetMenu(window) != nullptr;
  AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), with_menu,
                     static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
  SetWindowPos(window, nullptr, x, y, rect.right - rect.left, rect.bottom - rect.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

int64_t window_wait_event() {
  if (const int32_t code = event_take()) return code;
  MSG message{};
  // Messages other threads send to this thread's windows (label updates) are served inside.
  GetMessageW(&message, nullptr, 0, 0);
  if (!translate_accelerator(message)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int32_t>(message.message);
}

namespace {
UINT_PTR ThreadTimer;  // the main thread's one timer, 0 while none runs
volatile DWORD TimerThread;  // the thread whose timer that is, once one was set
}  // namespace

void window_set_timer(uint32_t milliseconds) {
  if (milliseconds == 0) {
    if (ThreadTimer) KillTimer(nullptr, ThreadTimer);
    ThreadTimer = 0;
    return;
  }
  // A thread timer: its WM_TIMER has no window, so dispatching it does nothing and the wait
  // answers the message's number. Naming the running timer replaces it.
  ThreadTimer = SetTimer(nullptr, ThreadTimer, milliseconds, nullptr);
  TimerThread = GetCurrentThreadId();
}

void window_wake_timer() {
  // The same message as the timer's, without a window: the wait answers it as the timer's.
  if (TimerThread) PostThreadMessageW(TimerThread, WM_TIMER, 0, 0);
}
