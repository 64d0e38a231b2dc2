// What each row of the window says, pass by pass: its GPU's reading while the reading is fresh,
// then why there is none. The backends tell this unit what every pass found for every row; it
// alone writes the status texts. A GPU that Windows has powered down, as laptops do with a
// discrete GPU at rest, is not read: a vendor's thermal call would wake it, and it would stay
// awake for as long as the monitor runs. A driver call that does not return ends no pass: then
// the main thread takes the numbers down that have grown too old. Rows are the window's rows.
// Worker thread, from the start of its reading cycle, unless said otherwise.
#pragma once

#include <cstdint>

// Prepares the records of `rows` rows before the first pass, allocating once per run; true when
// the Plug and Play layer lists display devices, so that locating the rows can help.
bool rows_watch(int32_t rows);
// Gives the row the one display device at that PCI location; a row without one is always read.
void row_locate(int32_t row, uint32_t bus, uint32_t device, uint32_t function);
// True when the row's device is powered down now: the pass has then found the row powered down
// (its label follows) and no vendor call may be made for the row. Allocates nothing.
bool row_asleep(int32_t row);

// ---- what a pass found for a row; each allocates nothing and writes a text only on a change ----
// A reading: the label shows it, built in the text area.
void row_show_reading(int32_t row, int32_t celsius);
// The vendor answered that the row's GPU is not powered.
void row_found_powered_down(int32_t row);
// No reading: every read failed or the value was not plausible.
void row_found_no_reading(int32_t row);

// A pass over every row has ended. Allocates nothing.
void rows_pass_ended();
// The reading cycle ends for good: a row that shows a temperature says that nothing reads it.
void rows_end_readings();
// Nothing reads this row again, while the cycle goes on for the others: a temperature it shows
// says so. The row is not reported again.
void row_end_reading(int32_t row);

// Main thread: when no pass has ended for ten seconds, a row whose reading is ten seconds old
// says "No reading"; a reading that comes later shows at once. Never waits for the worker.
// Answers the milliseconds until it should be asked again; 0 once nothing is read any more.
uint32_t rows_hide_stale_readings();
