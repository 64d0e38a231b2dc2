#include "facade/objects.h"

#include <cstring>

namespace {

HANDLE Heap;
HINSTANCE Instance;
volatile LONG64 Allocations;

bool grow(ObjectTable* table, ObjectNumber number) {
  const int64_t new_count = number + table->growth_step;
  note_allocation();
  void* slots = HeapReAlloc(Heap, HEAP_ZERO_MEMORY, table->slots, sizeof(void*) * new_count);
  if (!slots) return false;
  table->slots = static_cast<void**>(slots);
  table->slot_count = new_count;
  return true;
}

bool holds_object(const void* record) {
  return record && *static_cast<const uintptr_t*>(record) != 0;
}

}  // namespace

void objects_start(HANDLE heap, HINSTANCE instance) {
  Heap = heap;
  Instance = instance;
}

HANDLE facade_heap() { return Heap; }
HINSTANCE facade_instance() { return Instance; }

uint64_t facade_allocations() { return static_cast<uint64_t>(Allocations); }

void note_allocation() { InterlockedIncrement64(&Allocations); }

void* heap_alloc(size_t size) {
  note_allocation();
  return HeapAlloc(Heap, HEAP_ZERO_MEMORY, size);
}

void heap_release(void* block) {
  if (block) HeapFree(Heap, 0, block);
}

ObjectTable* table_create(int32_t record_size, int32_t growth_step, FreeRoutine free_routine) {
  auto* table = static_cast<ObjectTable*>(heap_alloc(sizeof(ObjectTable)));
  if (!table) return nullptr;
  table->slots = static_cast<void**>(heap_alloc(sizeof(void*) * growth_step));
  if (!table->slots) return nullptr;
  table->record_size = record_size;
  table->growth_step = growth_step;
  table->slot_count = growth_step;
  table->free_routine = free_routine;
  return table;
}

void* object_slot(ObjectTable* table, ObjectNumber number) {
  if (!table || number < 0) return nullptr;
  if (number >= table->slot_count && !grow(table, number)) return nullptr;
  void*& slot = table->slots[number];
  if (slot) {
    table->free_routine(number);
    return slot;
  }
  slot = heap_alloc(table->record_size);
  return slot;
}

void* object_get(const ObjectTable* table, ObjectNumber number) {
  if (!table || number < 0 || number >= table->slot_count) return nullptr;
  void* record = table->slots[number];
  return holds_object(record) ? record : nullptr;
}

void object_clear(ObjectTable* table, ObjectNumber number) {
  if (!table || number < 0 || number >= table->slot_count) return;
  if (void* record = table->slots[number]) std::memset(record, 0, table->record_size);
}

void object_free_all(ObjectTable* table) {
  if (!table) return;
  for (ObjectNumber number = 0; number < table->slot_count; ++number)
    if (holds_object(table->slots[number])) table->free_routine(number);
}
