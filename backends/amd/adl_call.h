// ADL calls by export name on the vendor library, shared by the AMD backend's units.
#pragma once

#include "app/program.h"
#include "facade/library.h"

// ADL's allocation callback: zeroed blocks from the program's heap; null for a size of 0 or less.
// ADL never hands such memory to this program. Any thread.
void* WINAPI adl_allocate(int size);
// Frees a block adl_allocate gave and clears the pointer; nothing for null. Any thread.
void WINAPI adl_free(void** block);

// A whole-degree temperature a GPU can have: drivers have answered hundreds of thousands of
// degrees, for sensors they do not have and from GPUs at rest.
inline bool adl_plausible(int64_t celsius) { return celsius >= -273 && celsius <= 255; }

// True when the vendor library exports `name` and the call answers ADL's success, 0. A missing
// export is a failed call, not ADL's success code. The thread that may call ADL.
template <typename... Arguments>
bool adl_succeeds(const wchar_t* name, Arguments... arguments) {
  intptr_t status = 0;
  return library_call_if_exported(status, VendorLibrary, name, arguments...) &&
         static_cast<int>(status) == 0;
}
