// Facade internals: the numbered-object tables and each service's start and end steps.
// Main thread only, unless a contract says otherwise.
#pragma once

#include "facade/facade.h"

using FreeRoutine = void (*)(ObjectNumber number);

// The objects of one kind, addressed by number. Every record starts with the object's system
// handle; an object exists exactly when its record is present and that handle is not zero.
struct ObjectTable {
  int32_t record_size;
  int32_t growth_step;
  int64_t slot_count;
  void** slots;
  FreeRoutine free_routine;
};

// Zero-filled memory from the facade's heap; null when the heap is exhausted. Any thread.
void* heap_alloc(size_t size);
void heap_release(void* block);  // null does nothing
// Counts an allocation made outside heap_alloc (the text heap's); any thread.
void note_allocation();

// A table with `growth_step` empty slots; null when the heap is exhausted.
ObjectTable* table_create(int32_t record_size, int32_t growth_step, FreeRoutine free_routine);
// The record to fill for a new object of `number`: grows the table, frees the old object first.
// Null for a negative number or when memory runs out.
void* object_slot(ObjectTable* table, ObjectNumber number);
// The record of the existing object of `number`, or null (never-used, freed or out of range).
// Any thread, while the table is not being changed.
void* object_get(const ObjectTable* table, ObjectNumber number);
void object_clear(ObjectTable* table, ObjectNumber number);  // zeroes the record, if there is one
void object_free_all(ObjectTable* table);                     // frees every object, ascending

// Start and end steps of the services, called by facade_start and facade_end in their order.
void text_start();
void font_start();
void events_start();
void events_end();
void windows_start();
void windows_end();
void gadgets_start();
void fonts_end();
void libraries_start();
void libraries_end();
void message_box_start();
void thread_init();
void thread_end();

// ---- windows and gadgets: what each service needs of the other ----
HWND gadget_parent();  // the window new gadgets are created in, or 0
// Offers a control's notification to its window (WM_COMMAND, WM_CTLCOLORSTATIC, ...) to the gadget
// that sent it; true with `answer` set when the gadget's kind handled it.
bool gadget_notify(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* answer);
