// GPUs that Windows has powered down, as laptops do with a discrete GPU at rest, are not read: a
// vendor's thermal call would wake the GPU, and it would stay awake for as long as the monitor
// runs. Rows are the window's rows. Worker thread, from the start of its reading cycle.
#pragma once

#include <cstdint>

// Prepares the powered-down state of `rows` rows before the first pass, allocating once; true
// when the Plug and Play layer lists display devices, so that locating the rows can help.
bool power_watch(int32_t rows);
// Gives the row the one display device at that PCI location; a row without one is always read.
void power_locate(int32_t row, uint32_t bus, uint32_t device, uint32_t function);
// True when the row's device is powered down now: the pass counts as one that found the row
// powered down (its label follows) and no vendor call may be made for the row. Allocates nothing.
bool power_row_asleep(int32_t row);
// The vendor answered that the row's GPU is not powered: the pass found the row powered down.
void power_row_reported_asleep(int32_t row);
// The pass found the row awake, whether or not its reading then succeeds.
void power_row_awake(int32_t row);
// The row's label shows a reading now.
void power_row_shows_reading(int32_t row);
