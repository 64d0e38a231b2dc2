#include "app/rows.h"

#include "app/readout.h"
#include "facade/facade.h"
#include "facade/objects.h"

namespace {

// A GPU that dozes or misses a read between passes must not make its reading blink: a reading
// stays until this many passes in a row have brought none. At one pass a second, a number older
// than this is no longer the temperature now.
constexpr int32_t PassesBeforeReadingGoes = 10;

enum class Label : uint8_t { Waiting, Reading, PoweredDown, NoReading };

struct RowRecord {
  bool located;
  uint32_t node;
  int32_t passes_without_reading;  // consecutive, counted up to PassesBeforeReadingGoes
  Label label;
};

RowRecord* Rows;
int32_t RowCount;

RowRecord* row_record(int32_t row) { return row >= 0 && row < RowCount ? &Rows[row] : nullptr; }

void show_status(int32_t row, RowRecord& record, Label label) {
  if (record.label == label) return;
  record.label = label;
  gadget_set_text(row, label == Label::PoweredDown ? L"Powered down" : L"No reading");
}

// A row that has never shown anything but "Please wait" keeps it while it cannot be read.
void count_pass_without_reading(int32_t row, bool powered_down) {
  RowRecord* record = row_record(row);
  if (!record) return;
  if (record->passes_without_reading < PassesBeforeReadingGoes) ++record->passes_without_reading;
  const bool reading_fresh =
      record->label == Label::Reading && record->passes_without_reading < PassesBeforeReadingGoes;
  if (reading_fresh) return;
  if (powered_down) show_status(row, *record, Label::PoweredDown);
  else if (record->label != Label::Waiting) show_status(row, *record, Label::NoReading);
}

}  // namespace

bool rows_watch(int32_t rows) {
  heap_release(Rows);
  Rows = nullptr;
  RowCount = 0;
  if (rows <= 0) return false;
  Rows = static_cast<RowRecord*>(heap_alloc(sizeof(RowRecord) * static_cast<size_t>(rows)));
  if (!Rows) return false;
  RowCount = rows;
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
  readout_show(row, celsius);
  if (RowRecord* record = row_record(row)) {
    record->passes_without_reading = 0;
    record->label = Label::Reading;
  }
}

void row_found_powered_down(int32_t row) { count_pass_without_reading(row, true); }

void row_found_no_reading(int32_t row) { count_pass_without_reading(row, false); }

void rows_end_readings() {
  for (int32_t row = 0; row < RowCount; ++row)
    if (Rows[row].label == Label::Reading) show_status(row, Rows[row], Label::NoReading);
}
