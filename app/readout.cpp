#include "app/readout.h"

#include <cmath>

#include "facade/facade.h"

int64_t fahrenheit_from_celsius(int32_t celsius) {
  // The default rounding mode rounds to nearest with ties to even.
  return static_cast<int64_t>(std::nearbyint(celsius * 1.8 + 32.0));
}

void readout_show(int32_t row, int32_t celsius) {
  const size_t start = text_position();
  readout_append(celsius);
  gadget_set_text(row, text_at(start));
  text_set_position(start);
}
