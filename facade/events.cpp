#include "facade/objects.h"
#include "facade/runtime.h"

#include <atomic>

namespace {

struct EventEntry {
  EventEntry* next;
  int32_t code;
  int64_t gadget;
  int64_t window;
  int64_t data;
};

// Codes from here on are not window events and are never merged.
constexpr int32_t MergeableCodeLimit = 65536;

EventEntry* OldestEvent;
EventEntry* NewestEvent;
EventEntry CurrentEvent;  // the last one taken, its fields kept for the caller

// Raised by gadget_set_text on whatever thread changes a text. On its own it silences nothing:
// a worker's change can be in flight (or the worker cut off inside it) while the main thread
// posts its own events, and those must all arrive, the close above all.
std::atomic<int32_t> EventMuteCount;
// How deep the calling thread is inside carrying out a gadget's text change, in a thread slot of
// the system's (a thread_local would bring the compiler's emulated thread storage into the
// program). Only events posted at such a moment are caused by the change; the thread that owns
// the gadget is the one that carries it out, whether the change came from itself or was sent by
// another thread.
DWORD TextChangeSlot = TLS_OUT_OF_INDEXES;

intptr_t text_change_depth() { return reinterpret_cast<intptr_t>(TlsGetValue(TextChangeSlot)); }

void change_text_change_depth(intptr_t step) {
  TlsSetValue(TextChangeSlot, reinterpret_cast<void*>(text_change_depth() + step));
}

HWND RelayWindow;
UINT PostEventMessage;

bool same_as_newest(int32_t code, int64_t gadget, int64_t window, int64_t data) {
  return NewestEvent && code < MergeableCodeLimit && NewestEvent->code == code &&
         NewestEvent->gadget == gadget && NewestEvent->window == window &&
         NewestEvent->data == data;
}

void append(int32_t code, int64_t gadget, int64_t window, int64_t data) {
  auto* entry = static_cast<EventEntry*>(heap_alloc(sizeof(EventEntry)));
  if (!entry) return;
  *entry = {nullptr, code, gadget, window, data};
  if (NewestEvent) NewestEvent->next = entry;
  else OldestEvent = entry;
  NewestEvent = entry;
}

// Another thread hands an event over as a heap block (an EventEntry) in lParam.
LRESULT CALLBACK relay_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == PostEventMessage && lparam) {
    auto* block = reinterpret_cast<EventEntry*>(lparam);
    event_post(block->code, block->gadget, block->window, block->data);
    heap_release(block);
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void create_relay_window() {
  WNDCLASSA relay_class{};
  relay_class.style = CS_DBLCLKS;
  relay_class.lpfnWndProc = relay_proc;
  relay_class.hInstance = facade_instance();
  relay_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_BTNFACE + 1));
  relay_class.lpszClassName = "PostEventClass";
  RegisterClassA(&relay_class);
  RelayWindow = CreateWindowExA(0, "PostEventClass", nullptr, WS_CAPTION, 0, 0, 1, 1, nullptr,
                                nullptr, facade_instance(), nullptr);
  PostEventMessage = RegisterWindowMessageA("RT_PostEventMessage");
}

}  // namespace

void events_start() {
  OldestEvent = NewestEvent = nullptr;
  EventMuteCount = 0;
  // Once per process: the slot outlives a facade started again (tests start it more than once).
  if (TextChangeSlot == TLS_OUT_OF_INDEXES) TextChangeSlot = TlsAlloc();
  create_relay_window();
}

void events_end() {
  if (RelayWindow) DestroyWindow(RelayWindow);
  RelayWindow = nullptr;
}

void event_post(int32_t code, int64_t gadget, int64_t window, int64_t data) {
  if (EventMuteCount != 0 && text_change_depth() > 0) return;
  if (same_as_newest(code, gadget, window, data)) return;
  append(code, gadget, window, data);
}

int32_t event_take() {
  EventEntry* entry = OldestEvent;
  if (!entry) return 0;
  OldestEvent = entry->next;
  if (!OldestEvent) NewestEvent = nullptr;
  CurrentEvent = *entry;
  CurrentEvent.next = nullptr;
  heap_release(entry);
  return CurrentEvent.code;
}

void event_mute_raise() { ++EventMuteCount; }
void event_mute_lower() { --EventMuteCount; }
void event_text_change_begin() { change_text_change_depth(1); }
void event_text_change_end() { change_text_change_depth(-1); }

void event_drop_window(int64_t window) {
  EventEntry** link = &OldestEvent;
  NewestEvent = nullptr;
  while (EventEntry* entry = *link) {
    if (entry->window == window) {
      *link = entry->next;
      heap_release(entry);
    } else {
      NewestEvent = entry;
      link = &entry->next;
    }
  }
}
