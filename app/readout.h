// The label text of a reading, written for every backend by the rows unit. Worker thread.
#pragma once

#include <cstdint>

#include "facade/facade.h"

// The Fahrenheit value of a whole-degree Celsius reading, rounded to nearest (ties to even).
// Wider than the reading, so that no reading can overflow it.
int64_t fahrenheit_from_celsius(int32_t celsius);
// Appends the label text of a reading, "45°C  (113 °F)", to the text area. The thread that owns
// the text area.
inline void readout_append(int32_t celsius) {
  text_from_int(celsius);
  text_append(L"\u00b0C  (");
  text_from_int(fahrenheit_from_celsius(celsius));
  text_append(L" \u00b0F)");
}
// Writes "45°C  (113 °F)" for the reading into label `row`, built in the text area.
void readout_show(int32_t row, int32_t celsius);
