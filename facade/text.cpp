#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>

#include "facade/objects.h"
#include "facade/runtime.h"

namespace {

// The scratch area in which every shown text is assembled. It lives in a heap of its own,
// created without serialization: the area is used by one thread at a time, and the worker may
// be terminated in the middle of a text operation at shutdown. A serialized heap could then be
// left with its lock held by the dead thread, and the release at process end would deadlock on
// it; an unserialized heap takes no lock at all.
HANDLE TextHeap;
char* Buffer;
size_t Capacity;  // usable bytes; the block itself is 10 bytes larger once it has grown
size_t Position;  // byte offset of the terminating zero the next piece overwrites

constexpr size_t StartCapacity = 16;
constexpr size_t GrowthSlack = 16384;
constexpr size_t BlockSlack = 10;
constexpr int MaxConvertChunk = INT_MAX / 2;  // bytes per MultiByteToWideChar call

wchar_t* cursor() { return reinterpret_cast<wchar_t*>(Buffer + Position); }

// Makes room for `units` more units after the position. The buffer may move, which is why texts
// in the area are known by offset. False when the heap cannot supply the memory: the caller then
// writes nothing, and the area keeps its old text and size.
bool make_room(size_t units) {
  const size_t need = Position + 2 * units;
  if (need + 4 < Capacity) return true;
  const size_t capacity = need + GrowthSlack;
  note_allocation();
  void* grown = HeapReAlloc(TextHeap, 0, Buffer, capacity + BlockSlack);
  if (!grown) return false;
  Buffer = static_cast<char*>(grown);
  Capacity = capacity;
  return true;
}

// Ends the piece of `units` units just written at the position, and moves onto its zero.
void finish(size_t units) {
  cursor()[units] = L'\0';
  Position += 2 * units;
}

void write_zero() {
  if (make_room(0)) finish(0);
}

// One measured conversion of at most MaxConvertChunk bytes.
void convert(UINT code_page, const char* bytes, int count) {
  const int units = count > 0 ? MultiByteToWideChar(code_page, 0, bytes, count, nullptr, 0) : 0;
  if (!make_room(static_cast<size_t>(units))) return;
  if (units > 0) MultiByteToWideChar(code_page, 0, bytes, count, cursor(), units + 1);
  finish(static_cast<size_t>(units));
}

void append_8bit(UINT code_page, const char* bytes, size_t count) {
  if (count == 0) write_zero();
  // Conversion calls take an int; longer texts go in pieces of 1 GB, and a character split at a
  // piece boundary comes out as replacement units.
  while (count > 0) {
    const int chunk = static_cast<int>(std::min(count, static_cast<size_t>(MaxConvertChunk)));
    convert(code_page, bytes, chunk);
    bytes += chunk;
    count -= static_cast<size_t>(chunk);
  }
}

// Units before the first zero, at most `limit`.
size_t bounded_length(const wchar_t* text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length] != L'\0') ++length;
  return length;
}

void append_units(const wchar_t* text, size_t count) {
  if (!make_room(count)) return;
  std::memcpy(cursor(), text, count * sizeof(wchar_t));
  finish(count);
}

}  // namespace

void text_start() {
  TextHeap = HeapCreate(HEAP_NO_SERIALIZE, 4096, 0);
  Buffer = static_cast<char*>(HeapAlloc(TextHeap, HEAP_ZERO_MEMORY, StartCapacity));
  Capacity = Buffer ? StartCapacity : 0;
  Position = 0;
}

void text_release_area() {
  if (!TextHeap) return;
  HeapFree(TextHeap, 0, Buffer);
  HeapDestroy(TextHeap);
  TextHeap = nullptr;
  Buffer = nullptr;
  Capacity = 0;
  Position = 0;
}

size_t text_position() { return Position; }
void text_set_position(size_t offset) { Position = offset; }
wchar_t* text_at(size_t offset) { return reinterpret_cast<wchar_t*>(Buffer + offset); }

void text_space(int32_t count) {
  const size_t units = count > 0 ? static_cast<size_t>(count) : 0;
  if (!make_room(units)) return;
  std::wmemset(cursor(), L' ', units);
  finish(units);
}

void text_from_int(int64_t value) {
  constexpr size_t Room = 64;
  if (!make_room(Room)) return;
  wchar_t* out = cursor();
  size_t written = 0;
  // Negating as unsigned keeps the most negative value exact.
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    out[written++] = L'-';
    magnitude = 0 - magnitude;
  }
  wchar_t digits[32];
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) out[written++] = digits[--count];
  finish(written);
}

void text_append(const wchar_t* text) {
  if (text) append_units(text, std::wcslen(text));
  else write_zero();
}

void text_from_8bit(const void* address, int64_t length, int encoding) {
  if (!address || length < -1) {
    write_zero();
    return;
  }
  if (encoding == TEXT_UTF16) {
    const auto* units = static_cast<const wchar_t*>(address);
    const size_t limit = length == -1 ? SIZE_MAX : static_cast<size_t>(length);
    append_units(units, bounded_length(units, limit));
    return;
  }
  const auto* bytes = static_cast<const char*>(address);
  const size_t count = length == -1 ? std::strlen(bytes) : static_cast<size_t>(length);
  append_8bit(encoding == TEXT_UTF8 ? CP_UTF8 : CP_ACP, bytes, count);
}

int text_equal(const wchar_t* a, const wchar_t* b) {
  return std::wcscmp(a ? a : L"", b ? b : L"") == 0 ? 1 : 0;
}

void text_assign(TextVariable* variable, size_t start) {
  const size_t size = Position > start ? Position - start : 0;
  note_allocation();
  void* block = *variable ? HeapReAlloc(TextHeap, 0, *variable, size + BlockSlack)
                          : HeapAlloc(TextHeap, 0, size + BlockSlack);
  if (block) {
    *variable = static_cast<wchar_t*>(block);
    std::memcpy(block, Buffer + start, size);
    (*variable)[size / sizeof(wchar_t)] = L'\0';
  }
  Position = start;
}

// Empties the variable too, so that a later assignment starts a new block instead of growing a
// freed one.
void text_free(TextVariable* variable) {
  if (*variable) HeapFree(TextHeap, 0, *variable);
  *variable = nullptr;
}
