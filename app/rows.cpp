#include "app/rows.h"

#include "app/readout.h"
#include "facade/facade.h"
#include "facade/objects.h"

namespace {

// A GPU that dozes or misses a read between passes must not make its reading blink: a reading
// stays until this many passes in a row have brought none. At one pass a second, a number older
// than this is no longer the temperature now.
constexpr int32_t PassesBeforeReadingGoes = 10;
// The same age in time, for when no pass ends: a driver call that does not return.
constexpr uint64_t ReadingGoesAfterMs = 10000;
// How often the main thread looks again while no pass ends.
constexpr uint32_t StaleCheckMs = 1000;
// LastPassEnd once the cycle has ended for good: nothing is read again, nothing goes stale.
constexpr LONG64 ReadingsEnded = -1;

enum class Label : uint8_t { Waiting, Reading, PoweredDown, NoReading };

struct RowRecord {
  bool located;
  uint32_t node;
  int32_t passes_without_reading;  // consecutive, counted up to PassesBeforeReadingGoes
  Label label;                     // the worker's: what it last wrote
  // When the reading on screen was read (GetTickCount64), 0 while the row shows none. The worker
  // sets it before writing a reading and clears it before writing a status; the main thread
  // clears it when it hides the reading. Either way the text follows the change.
  volatile LONG64 shown_at;
};

RowRecord* Rows;
int32_t RowCount;
// RowCount once the records are ready, for the main thread; 0 before.
volatile LONG PublishedRows;
// When the latest pass ended (GetTickCount64), 0 before the cycle starts.
volatile LONG64 LastPassEnd;

LONG64 load(volatile LONG64& value) { return InterlockedCompareExchange64(&value, 0, 0); }

LONG64 now() {
  const auto tick = static_cast<LONG64>(GetTickCount64());
  return tick > 0 ? tick : 1;
}

RowRecord* row_record(int32_t row) { return row >= 0 && row < RowCount ? &Rows[row] : nullptr; }

// The label as the screen has it: a reading the main thread hid says "No reading".
Label current_label(RowRecord& record) {
  if (record.label == Label::Reading && load(record.shown_at) == 0) record.label = Label::NoReading;
  return record.label;
}

void show_status(int32_t row, RowRecord& record, Label label) {
  if (current_label(record) == label) return;
  record.label = label;
  InterlockedExchange64(&record.shown_at, 0);
  gadget_set_text(row, label == Label::PoweredDown ? L"Powered down" : L"No reading");
}

// A row that has never shown anything but "Please wait" keeps it while it cannot be read.
void count_pass_without_reading(int32_t row, bool powered_down) {
  RowRecord* record = row_record(row);
  if (!record) return;
  if (record->passes_without_reading < PassesBeforeReadingGoes) ++record->passes_without_reading;
  const bool reading_fresh = current_label(*record) == Label::Reading &&
                             record->passes_without_reading < PassesBeforeReadingGoes;
  if (reading_fresh) return;
  if (powered_down) show_status(row, *record, Label::PoweredDown);
  else if (record->label != Label::Waiting) show_status(row, *record, Label::NoReading);
}

}  // namespace

bool rows_watch(int32_t rows) {
  InterlockedExchange(&PublishedRows, 0);
  heap_release(Rows);
  Rows = nullptr;
  RowCount = 0;
  InterlockedExchange64(&LastPassEnd, now());
  if (rows <= 0) return false;
  Rows = static_cast<RowRecord*>(heap_alloc(sizeof(RowRecord) * static_cast<size_t>(rows)));
  if (!Rows) return false;
  RowCount = rows;
  InterlockedExchange(&PublishedRows, rows);
  return display_devices_list();
}

void row_locate(int32_t row, uint32_t bus, uint32_t device, uint32_t function) {
  if (RowRecord* record = row_record(row))
    record->located = display_device_at(bus, device, function, record->node);
}

bool row_asleep(int32_t row) {
  const RowRecord* record = row_record(row);
  if (!record || !record->located || !display_device_powered_down(record->node)) return false;
  count_pass_without_reading(row, true);
  return true;
}

void row_show_reading(int32_t row, int32_t celsius) {
  RowRecord* record = row_record(row);
  // Stamped before the text changes, so that the main thread cannot take the new reading for
  // the old one and hide it.
  if (record) InterlockedExchange64(&record->shown_at, now());
  readout_show(row, celsius);
  if (record) {
    record->passes_without_reading = 0;
    record->label = Label::Reading;
  }
}

void row_found_powered_down(int32_t row) { count_pass_without_reading(row, true); }

void row_found_no_reading(int32_t row) { count_pass_without_reading(row, false); }

void rows_pass_ended() { InterlockedExchange64(&LastPassEnd, now()); }

void rows_end_readings() {
  InterlockedExchange64(&LastPassEnd, ReadingsEnded);
  for (int32_t row = 0; row < RowCount; ++row) row_end_reading(row);
}

void row_end_reading(int32_t row) {
  RowRecord* record = row_record(row);
  if (record && current_label(*record) == Label::Reading)
    show_status(row, *record, Label::NoReading);
}

uint32_t rows_hide_stale_readings() {
  const LONG64 pass_end = load(LastPassEnd);
  if (pass_end == ReadingsEnded) return 0;
  // Before the cycle starts no reading exists that could grow old.
  if (pass_end == 0) return static_cast<uint32_t>(ReadingGoesAfterMs);
  const LONG64 checked = now();
  const LONG64 stale_at = pass_end + static_cast<LONG64>(ReadingGoesAfterMs);
  // While passes end, the worker's own count of passes decides.
  if (checked < stale_at) return static_cast<uint32_t>(stale_at - checked);
  const int32_t rows = InterlockedCompareExchange(&PublishedRows, 0, 0);
  for (int32_t row = 0; row < rows; ++row) {
    volatile LONG64& shown_at = Rows[row].shown_at;
    const LONG64 read_at = load(shown_at);
    // Exchanged only if the worker has not stamped a new reading meanwhile.
    if (read_at != 0 && checked - read_at >= static_cast<LONG64>(ReadingGoesAfterMs) &&
        InterlockedCompareExchange64(&shown_at, 0, read_at) == read_at)
      gadget_set_text(row, L"No reading");
  }
  return StaleCheckMs;
}
