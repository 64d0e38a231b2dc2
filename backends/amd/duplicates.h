// Which ADL adapters are shown: ADL lists one adapter per display output, so one GPU comes as
// several records at one PCI location. Shared by set-up and the report program, which must hide
// exactly the adapters the monitor hides.
#pragma once

#include <cstdint>
#include <cstring>

#include "backends/amd/adl.h"
#include "backends/amd/amd.h"

// The UDID of a hidden adapter: ten spaces.
constexpr int32_t DuplicateMarkerLength = 10;

static inline bool same_adapter_location(const AdapterInfo& a, const AdapterInfo& b) {
  return a.iBusNumber == b.iBusNumber && a.iDeviceNumber == b.iDeviceNumber &&
         a.iFunctionNumber == b.iFunctionNumber;
}

static inline void hide_adapter(AdapterInfo& adapter, int32_t& shown) {
  std::memset(adapter.strUDID, ' ', DuplicateMarkerLength);
  adapter.strUDID[DuplicateMarkerLength] = '\0';
  --shown;
}

// Hides, in place, adapters without a bus number and every later adapter at the location of a
// shown one, by writing the marker into their UDID, and takes each from `shown`. The inner walk
// starts at 1 and tests only record i for being hidden; for two or more adapters this hides
// exactly the later records of each location, and a lone adapter is always shown. Builds in the
// text area: the thread that owns it.
static inline void amd_hide_duplicates(AdapterInfo* adapters, int32_t count, int32_t& shown) {
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t j = 1; j < count; ++j) {
      if (adapters[i].iBusNumber == 0 && !amd_is_duplicate(adapters[i])) {
        hide_adapter(adapters[i], shown);
      } else if (i != j && same_adapter_location(adapters[i], adapters[j]) &&
                 !amd_is_duplicate(adapters[i])) {
        hide_adapter(adapters[j], shown);
      }
    }
  }
}
