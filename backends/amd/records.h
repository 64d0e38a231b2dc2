// The rules about ADL's adapter records: which are shown as rows, what a row is titled, and whose
// GPU each record is. ADL lists one record per display output, so one GPU comes as several records
// at one PCI location; and it lists every display adapter in the machine, not only AMD's. Shared by
// the monitor and the report program, which must show exactly the rows the monitor shows. Builds
// in the text area: the thread that owns it.
#pragma once

#include <cstdint>

#include "backends/amd/adl.h"

// The UDID of a hidden adapter: ten spaces.
constexpr int32_t DuplicateMarkerLength = 10;

// True when set-up hid this adapter as a duplicate of an earlier one.
bool amd_is_duplicate(const AdapterInfo& adapter);
// Appends the adapter's name to the text area, read at most to the end of its field.
void amd_append_name(const AdapterInfo& adapter);
// Hides, in place, adapters without a bus number and every later adapter at the location of a
// shown one, by writing the marker into their UDID, and takes each from `shown`. The inner walk
// starts at 1 and tests only record i for being hidden; for two or more adapters this hides
// exactly the later records of each location, and a lone adapter is always shown.
void amd_hide_duplicates(AdapterInfo* adapters, int32_t count, int32_t& shown);

// True when the two records are of one GPU: at one PCI location, with a bus number. A shown
// record's GPU is listed again by every record hidden as its duplicate. Builds nothing.
bool amd_same_gpu(const AdapterInfo& a, const AdapterInfo& b);

// Calls `visit(row, adapter)` for every shown adapter of the `count` records, in row order.
template <typename Visit>
void amd_for_each_shown(const AdapterInfo* adapters, int32_t count, Visit visit) {
  int32_t row = -1;
  for (int32_t k = 0; k < count; ++k)
    if (!amd_is_duplicate(adapters[k])) visit(++row, adapters[k]);
}

enum class GpuVendor : uint8_t { Amd, Nvidia, Intel };

// Whose GPU the record is: the PCI vendor its UDID names ("PCI_VEN_10DE"), else its iVendorID in
// any of the encodings drivers write (0x10DE, or 10: "10DE" read as a decimal number; 1002, 0x1002
// and -1002; 0x8086 and 8086). A record whose vendor cannot be told, or names another, is AMD's.
// Builds nothing.
GpuVendor adl_record_vendor(const AdapterInfo& adapter);
