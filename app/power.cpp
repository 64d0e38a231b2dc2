#include "app/power.h"

#include "facade/facade.h"
#include "facade/objects.h"

namespace {

// A GPU that dips into D3 between passes must not make its reading blink: a reading stays until
// this many passes in a row have found the GPU powered down.
constexpr int32_t PassesBeforeReadingGoes = 10;

enum class Label : uint8_t { Waiting, Reading, PoweredDown };

struct RowPower {
  bool located;
  uint32_t node;
  int32_t asleep_passes;  // consecutive passes that found the row powered down
  Label label;
};

RowPower* Rows;
int32_t RowCount;

RowPower* row_power(int32_t row) { return row >= 0 && row < RowCount ? &Rows[row] : nullptr; }

void count_asleep_pass(int32_t row, RowPower& power) {
  if (power.asleep_passes < PassesBeforeReadingGoes) ++power.asleep_passes;
  const bool shows_reading_still =
      power.label == Label::Reading && power.asleep_passes < PassesBeforeReadingGoes;
  if (power.label == Label::PoweredDown || shows_reading_still) return;
  gadget_set_text(row, L"Powered down");
  power.label = Label::PoweredDown;
}

}  // namespace

bool power_watch(int32_t rows) {
  heap_release(Rows);
  Rows = nullptr;
  RowCount = 0;
  if (rows <= 0) return false;
  Rows = static_cast<RowPower*>(heap_alloc(sizeof(RowPower) * static_cast<size_t>(rows)));
  if (!Rows) return false;
  RowCount = rows;
  return display_devices_list();
}

void power_locate(int32_t row, uint32_t bus, uint32_t device, uint32_t function) {
  if (RowPower* power = row_power(row))
    power->located = display_device_at(bus, device, function, power->node);
}

bool power_row_asleep(int32_t row) {
  RowPower* power = row_power(row);
  if (!power || !power->located || !display_device_powered_down(power->node)) return false;
  count_asleep_pass(row, *power);
  return true;
}

void power_row_reported_asleep(int32_t row) {
  if (RowPower* power = row_power(row)) count_asleep_pass(row, *power);
}

void power_row_awake(int32_t row) {
  if (RowPower* power = row_power(row)) power->asleep_passes = 0;
}

void power_row_shows_reading(int32_t row) {
  if (RowPower* power = row_power(row)) {
    power->asleep_passes = 0;
    power->label = Label::Reading;
  }
}
