// Readings that come back by themselves after the graphics driver restarts under the monitor (a
// driver update, Windows' timeout detection and recovery, the device disabled and enabled): when
// the reading cycle sets the vendor session up again, and which GPU each row shows afterwards.
// The backends tell this unit what they saw; it tells them when to act. Each vendor session has a
// schedule of its own, so that one vendor's restart never paces another's. The thread that reads
// through that session.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- when ----
// One vendor session's schedule; zero-filled, it reads as usual.
struct RecoverySchedule {
  bool away;
  bool reading_in_pass;
  int32_t attempts;  // since readings last came back
  int32_t passes_since_attempt;
  int32_t missing;
  int32_t passes_since_lookup;
};

enum class RecoveryStep : uint8_t {
  None,            // read as usual
  Wait,            // the driver is away: no call on the old session in this pass
  Reinitialise,    // set the vendor session up again and find every row's GPU, now
  LookForMissing,  // list the GPUs again (no new session): a row's GPU was not found
};

// A pass begins: what the backend does in it. The first attempt comes in the pass after the
// driver went away, then 1, 2, 4 and 8 passes after the attempt before, then every 10 passes;
// while a row's GPU is missing, a listing every 10 passes. Allocates nothing.
RecoveryStep recovery_pass_begins(RecoverySchedule& schedule);
// A reading call answered that the driver or its handles went away: no more calls on this
// session; the next pass begins the recovery, or goes on with it.
void recovery_driver_away(RecoverySchedule& schedule);
// The rows are bound again, after a new session or a listing; `missing` rows found no GPU. Until
// this, an attempt that failed leaves the driver away, and the next follows the schedule.
void recovery_rows_bound(RecoverySchedule& schedule, int32_t missing);
// A row showed a reading. After a pass with one and no driver away, a later restart begins the
// schedule from the start again.
void recovery_reading_came(RecoverySchedule& schedule);
// True while the driver is away and no attempt has brought it back.
bool recovery_driver_is_away(const RecoverySchedule& schedule);

// ---- which GPU ----
// A GPU as a vendor library describes it, enough to find it again in a new listing. Texts are
// 8-bit, read up to a zero or to the end of their field; the udid is null where there is none.
struct GpuPlace {
  bool located;  // bus, device and function are known
  uint32_t bus;
  uint32_t device;
  uint32_t function;
  const char* name;
  size_t name_size;
  const char* udid;
  size_t udid_size;
};

// For each of `row_count` rows, whose GPUs the rows had at start (`rows`), the index in `found`
// of the same GPU now, or -1 into `match`: a located row by its PCI location (and the udid where
// two share a location, else the first there), a row without one by its place in the listing,
// but only where the count and every name are unchanged. A GPU serves one row at most.
void recovery_match_rows(const GpuPlace* rows, int32_t row_count, const GpuPlace* found,
                         int32_t found_count, int32_t* match);
