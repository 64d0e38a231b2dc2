#include "app/recovery.h"

#include <cstring>

namespace {

// Passes from one attempt to the next, after the first few: about ten seconds.
constexpr int32_t LongestGap = 10;
// Passes between listings that look for a row's missing GPU.
constexpr int32_t LookupGap = 10;

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

RecoveryStep recovery_pass_begins(RecoverySchedule& schedule) {
  if (!schedule.away && schedule.reading_in_pass) schedule.attempts = 0;
  schedule.reading_in_pass = false;
  count_pass(schedule.passes_since_attempt);
  count_pass(schedule.passes_since_lookup);
  if (schedule.away) {
    if (schedule.attempts > 0 && schedule.passes_since_attempt < gap_after(schedule.attempts))
      return RecoveryStep::Wait;
    ++schedule.attempts;
    schedule.passes_since_attempt = 0;
    return RecoveryStep::Reinitialise;
  }
  if (schedule.missing > 0 && schedule.passes_since_lookup >= LookupGap) {
    schedule.passes_since_lookup = 0;
    return RecoveryStep::LookForMissing;
  }
  return RecoveryStep::None;
}

void recovery_driver_away(RecoverySchedule& schedule) { schedule.away = true; }

void recovery_rows_bound(RecoverySchedule& schedule, int32_t missing) {
  schedule.away = false;
  schedule.missing = missing;
  schedule.passes_since_lookup = 0;
}

void recovery_reading_came(RecoverySchedule& schedule) { schedule.reading_in_pass = true; }

bool recovery_driver_is_away(const RecoverySchedule& schedule) { return schedule.away; }

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
