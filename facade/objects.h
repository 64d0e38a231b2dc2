// Facade internals: the heap every service allocates from and the numbered-object tables.
// Services use these; this unit calls no service. Main thread only, unless a contract says
// otherwise.
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

// Keeps the heap and module that facade_heap and facade_instance answer. Before any table or
// allocation; once.
void objects_start(HANDLE heap, HINSTANCE instance);

// Zero-filled memory from the facade's heap; null when the heap is exhausted. Any thread.
void* heap_alloc(size_t size);
void heap_release(void* block);  // null does nothing; any thread
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
