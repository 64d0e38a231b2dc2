#include "app/recovery.h"

#include <cstring>

namespace {

// Passes from one attempt to the next, after the first few: about ten seconds.
constexpr int32_t LongestGap = 10;
// Passes between listings that look for a row's missing GPU.
constexpr int32_t LookupGap = 10;

bool Away;
bool ReadingInPass;
int32_t Attempts;  // since readings last came back
int32_t PassesSinceAttempt;
int32_t Missing;
int32_t PassesSinceLookup;

// Passes after attempt `made` before the next: 1, 2, 4, 8, then 10 for ever.
int32_t gap_after(int32_t made) { return made >= 5 ? LongestGap : 1 << (made - 1); }

void count_pass(int32_t& passes) {
  if (passes < LongestGap) ++passes;
}

size_t text_length(const char* text, size_t size) { return text ? strnlen(text, size) : 0; }

bool same_text(const char* a, size_t a_size, const char* b, size_t b_size) {
  const size_t length = text_length(a, a_size);
  return length == text_length(b, b_size) && (length == 0 || std::memcmp(a, b, length) == 0);
}

bool same_location(const GpuPlace& a, const GpuPlace& b) {
  return a.located && b.located && a.bus == b.bus && a.device == b.device &&
         a.function == b.function;
}

bool taken(const int32_t* match, int32_t row_count, int32_t candidate) {
  for (int32_t row = 0; row < row_count; ++row)
    if (match[row] == candidate) return true;
  return false;
}

// The GPU at the row's location that no other row has; of several, the one with its udid.
int32_t find_by_location(const GpuPlace& row, const GpuPlace* found, int32_t found_count,
                         const int32_t* match, int32_t row_count) {
  int32_t first = -1;
  for (int32_t f = 0; f < found_count; ++f) {
    if (!same_location(row, found[f]) || taken(match, row_count, f)) continue;
    if (row.udid && same_text(row.udid, row.udid_size, found[f].udid, found[f].udid_size))
      return f;
    if (first < 0) first = f;
  }
  return first;
}

bool names_unchanged(const GpuPlace* rows, int32_t row_count, const GpuPlace* found,
                     int32_t found_count) {
  if (row_count != found_count) return false;
  for (int32_t i = 0; i < row_count; ++i)
    if (!same_text(rows[i].name, rows[i].name_size, found[i].name, found[i].name_size))
      return false;
  return true;
}

}  // namespace

RecoveryStep recovery_pass_begins() {
  if (!Away && ReadingInPass) Attempts = 0;
  ReadingInPass = false;
  count_pass(PassesSinceAttempt);
  count_pass(PassesSinceLookup);
  if (Away) {
    if (Attempts > 0 && PassesSinceAttempt < gap_after(Attempts)) return RecoveryStep::Wait;
    ++Attempts;
    PassesSinceAttempt = 0;
    return RecoveryStep::Reinitialise;
  }
  if (Missing > 0 && PassesSinceLookup >= LookupGap) {
    PassesSinceLookup = 0;
    return RecoveryStep::LookForMissing;
  }
  return RecoveryStep::None;
}

void recovery_driver_away() { Away = true; }

void recovery_rows_bound(int32_t missing) {
  Away = false;
  Missing = missing;
  PassesSinceLookup = 0;
}

void recovery_reading_came() { ReadingInPass = true; }

bool recovery_driver_is_away() { return Away; }

void recovery_match_rows(const GpuPlace* rows, int32_t row_count, const GpuPlace* found,
                         int32_t found_count, int32_t* match) {
  for (int32_t row = 0; row < row_count; ++row) match[row] = -1;
  for (int32_t row = 0; row < row_count; ++row)
    if (rows[row].located)
      match[row] = find_by_location(rows[row], found, found_count, match, row_count);
  if (!names_unchanged(rows, row_count, found, found_count)) return;
  for (int32_t row = 0; row < row_count; ++row)
    if (!rows[row].located && !taken(match, row_count, row)) match[row] = row;
}
