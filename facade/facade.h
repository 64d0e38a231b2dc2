// The platform facade: the operating-system services the monitor uses, as operations on
// numbered objects. Every operation runs on the main thread unless its contract says otherwise.
// Failure and absence are answered with 0 (or nothing); no operation reports to the user except
// message_box.
#pragma once

#include <windows.h>

#include <cstdint>

using ObjectNumber = int64_t;  // caller-chosen number of a window, gadget, font or library
using ThreadNumber = int64_t;  // facade-chosen number of a worker thread; 0 means none

// ---- start-up and shutdown (runtime.cpp) ----
// Brings every service up in its fixed order; allocations come from `heap`. Once, first.
void facade_start(HANDLE heap, HINSTANCE instance);
// Takes every service down in its fixed order. Once, after the worker has been killed.
void facade_end();

// ---- the heap and the numbered-object tables the services share (objects.cpp) ----
HANDLE facade_heap();          // the heap given to facade_start; any thread
// Blocks the facade has taken from its heaps so far (allocations and growths); any thread.
// Lets a caller check that steady work allocates nothing.
uint64_t facade_allocations();
HINSTANCE facade_instance();   // the module given to facade_start; any thread

// ---- dynamic libraries (library.h: library_call and its typed forms) ----
// Loads `file` under `number`, closing what the number held first; the module or 0.
HMODULE library_open(ObjectNumber number, const wchar_t* file);
// As library_open, but from the system folder only: never beside the program or in the working
// directory. For libraries that a driver installs there.
HMODULE library_open_system(ObjectNumber number, const wchar_t* file);
// Loads `file` from the system folder only, outside the numbered libraries (FreeLibrary frees it).
// The module, or 0 when it is not there. Any thread.
HMODULE library_load_system(const wchar_t* file);
// Frees the number's library; nothing when it is not open. A library given up (below) is not
// freed: the number only forgets it.
void library_close(ObjectNumber number);
// The number's module, or 0 when it is not open. Any thread.
HMODULE library_module(ObjectNumber number);
// From now on libraries that are loaded by name alone, by Windows' own libraries on the program's
// behalf too, come from the system folder only: never from the program's folder, the working
// directory or PATH, where a stray library of that name could lie. Once, at start-up, first.
void library_limit_search();

// ---- calls into driver code under guard (guard.cpp; guard.h has guard_run and its typed form) --
// True when `module` has been given up: a guarded call into it faulted. It is then never entered
// again through a guarded call and never freed. Any thread.
bool module_given_up(HMODULE module);
// True once any module has been given up: its code may have been left holding locks, so the
// process must end without running its detach routines. Any thread.
bool any_module_given_up();
// Gives `module` up as a fault inside it would, for a call into it that never returns; null gives
// no module up but still has the process end without detach routines. Any thread.
void module_give_up(HMODULE module);
// Gives up thread `thread_id`, stuck inside a guarded call: when that call returns, or at its next
// guarded call, the thread ends there and runs no further program code. Any thread.
void thread_give_up(DWORD thread_id);
// Ends the calling thread here when it has been given up; otherwise returns at once.
void thread_end_if_given_up();

// ---- display devices as the Plug and Play manager keeps them (devices.cpp); worker thread ----
// What Windows records of a device, read without touching the device: reading never wakes it.
// Lists the present display devices and their PCI locations, once per run (later calls answer the
// same list); false when cfgmgr32.dll is not in the system folder or lacks a call, a call fails, or
// no device is listed.
bool display_devices_list();
struct PciLocation {
  uint32_t bus;
  uint32_t device;
  uint32_t function;
};
// The PCI locations of NVIDIA's devices (vendor 10DE) among the display devices (listed as above)
// and the compute accelerators, at most `most` into `found`; answers how many, 0 where the layer
// cannot tell. Main thread at set-up, before the worker starts.
int32_t nvidia_devices_list(PciLocation* found, int32_t most);
// The one listed device at that PCI location into `node`; false when none or several are there.
bool display_device_at(uint32_t bus, uint32_t device, uint32_t function, uint32_t& node);
// True when the device's most recent power state is D3, powered down; false for any other state
// or a failed query. Allocates nothing.
bool display_device_powered_down(uint32_t node);

// ---- message box (message_box.cpp) ----
// Modal box with one OK button; the calling thread's other windows are disabled meanwhile.
// Answers MessageBoxW's result (0 when it could not be shown). Any thread.
int message_box(const wchar_t* title, const wchar_t* text, UINT type = MB_OK);

// ---- worker threads and delays (thread.cpp) ----
using ThreadProcedure = DWORD(WINAPI*)(void* parameter);
// Starts `procedure(parameter)` at once; its ThreadNumber (1, 2, ...), or 0 when refused.
ThreadNumber thread_create(ThreadProcedure procedure, intptr_t parameter);
// The system handle of a registered thread that has not ended, or 0.
HANDLE thread_running_handle(ThreadNumber number);
// Stops the thread so that it runs no further program code once this returns, and forgets it.
// Answers true when the thread had to be cut off by force (it may have died holding a lock of
// code outside the program: callers should then call nothing that could take such a lock).
bool thread_kill(ThreadNumber number);
// Suspends the calling thread for `milliseconds` at 1 ms timer resolution. Any thread; a thread
// being killed ends here.
void delay_ms(uint32_t milliseconds);
// Ends the calling thread here when thread_kill is waiting for it; otherwise returns at once.
void thread_stop_point();

// ---- text building (text.cpp); one process-wide area, one thread at a time ----
constexpr int TEXT_UTF8 = 2;
constexpr int TEXT_8BIT = 24;
constexpr int TEXT_UTF16 = 25;
using TextVariable = wchar_t*;  // empty (null) or a block of the text heap
size_t text_position();                        // byte offset where the next piece goes
void text_set_position(size_t offset);         // releases what was built after `offset`
wchar_t* text_at(size_t offset);               // address of a text in the area; valid until it grows
void text_space(int32_t count);                // appends `count` spaces (none when below 1)
void text_from_int(int64_t value);             // appends `value` in decimal
void text_append(const wchar_t* text);         // appends `text`; null appends nothing
void text_from_8bit(const void* address, int64_t length, int encoding);  // length -1: to the zero
int text_equal(const wchar_t* a, const wchar_t* b);  // 1 when equal (null counts as empty), else 0
void text_assign(TextVariable* variable, size_t start);  // keeps area[start, position) in variable
void text_free(TextVariable* variable);        // releases the variable's block
void text_release_area();                      // frees the area and the text heap; at process end

// ---- event queue (events.cpp); main thread ----
// Appends an event unless muted or identical to the newest one.
void event_post(int32_t code, int64_t gadget, int64_t window, int64_t data);
int32_t event_take();  // removes the oldest event and answers its code, or 0 when empty
void event_mute_raise();  // silences events caused by a label change in progress; any thread
void event_mute_lower();
// Brackets the handling of a gadget's text change on the thread that owns the gadget: only events
// posted inside the bracket while the mute count is raised are dropped, never any other event.
void event_text_change_begin();
void event_text_change_end();
void event_drop_window(int64_t window);  // forgets every queued event of that window

// ---- windows and the event loop (window.cpp); main thread ----
constexpr int32_t COORD_IGNORE = -65535;
constexpr uint32_t WINDOW_SCREEN_CENTERED = 0x00000001;
constexpr uint32_t WINDOW_KEEP_GADGET_PARENT = 0x00000008;
constexpr uint32_t WINDOW_MINIMIZE_BOX = 0x00CA0000;
constexpr int32_t EVENT_ACTIVATE_WINDOW = 13104;
constexpr int32_t EVENT_MINIMIZE_WINDOW = 13107;
constexpr int32_t EVENT_MAXIMIZE_WINDOW = 13108;
constexpr int32_t EVENT_RESTORE_WINDOW = 13109;
constexpr int32_t EVENT_RIGHT_CLICK = 13111;
constexpr int32_t EVENT_LEFT_CLICK = 13112;
constexpr int32_t EVENT_LEFT_DOUBLE_CLICK = 13113;
constexpr int32_t EVENT_DEACTIVATE_WINDOW = 13114;
constexpr int32_t EVENT_REPAINT = 13115;
constexpr int32_t EVENT_CLOSE_WINDOW = 13116;
constexpr int32_t EVENT_MOVE_WINDOW = 13117;
constexpr int32_t EVENT_SIZE_WINDOW = 13118;
// Opens a window with the given client size; its handle, or 0 (the number then holds nothing).
HWND window_open(ObjectNumber number, int32_t x, int32_t y, int32_t inner_width,
                 int32_t inner_height, const wchar_t* title, uint32_t flags);
// Moves and sizes a window's client area; COORD_IGNORE keeps a value. Nothing for no window.
void window_resize(ObjectNumber number, int32_t x, int32_t y, int32_t inner_width,
                   int32_t inner_height);
// Blocks until an event or a message; answers the event code or the dispatched message number.
int64_t window_wait_event();
HWND window_handle(ObjectNumber number);  // the window of that number, or 0
// Makes window_wait_event answer WM_TIMER once `milliseconds` have passed, and again every
// `milliseconds` until it is set anew; 0 stops it. One timer for the calling thread.
void window_set_timer(uint32_t milliseconds);
// Makes the wait of the thread that set the timer answer WM_TIMER once, now, as if the timer had
// run out; nothing before a timer was set. Any thread.
void window_wake_timer();

// ---- labels, frames and fonts (gadget.cpp) ----
constexpr uint32_t LABEL_CENTER = 1;
constexpr uint32_t FONT_UNDERLINE = 4;
constexpr uint32_t FONT_STRIKEOUT = 8;
constexpr uint32_t FONT_HIGH_QUALITY = 16;
constexpr uint32_t FONT_BOLD = 256;
constexpr uint32_t FONT_ITALIC = 512;
// Titled frame in the gadget parent; its control, or 0 (an older gadget of the number stays).
HWND frame_create(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                  const wchar_t* title);
// Static label in the gadget parent; its control, or 0 (an older gadget of the number stays).
HWND label_create(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                  const wchar_t* text, uint32_t flags);
// Gives the gadget a font (-1: the default gadget font); number -1 sets the font of new gadgets.
void gadget_set_font(ObjectNumber number, HFONT font);
// Replaces a gadget's text (null: empty). Any thread; nothing when the number holds no gadget.
void gadget_set_text(ObjectNumber number, const wchar_t* text);
HWND gadget_handle(ObjectNumber number);  // the control of that number, or 0
// Creates a font of `size` points under `number`, deleting the old one first; the font or 0.
HFONT font_load(ObjectNumber number, const wchar_t* face, int32_t size, uint32_t flags);
HFONT font_handle(ObjectNumber number);  // the font of that number, or 0
