// Calls into a library loaded at run time, by exported name, with 0 to 20 pointer-sized
// arguments, under guard (guard.h). Any thread, while library numbers are not being opened or
// closed.
#pragma once

#include "facade/facade.h"
#include "facade/guard.h"

#include <type_traits>

// The export's address, or null when the name is absent, too long for a 260-byte 8-bit name,
// the number is not open, or the library has no such export.
FARPROC library_find(ObjectNumber number, const wchar_t* name);

// True when the number's library exports `name`: lets a caller tell a missing export from an
// export that answered 0.
inline bool library_has_export(ObjectNumber number, const wchar_t* name) {
  return library_find(number, name) != nullptr;
}

// `address` as the function type `Function`: the one place a resolved export gets its type.
template <typename Function>
Function export_as(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

template <typename T>
intptr_t library_argument(T value) {
  if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>)
    return reinterpret_cast<intptr_t>(value);
  else
    return static_cast<intptr_t>(value);
}

template <typename T>
using PointerSized = intptr_t;

// Calls the function at `address`, code of `module`, with `arguments` in order, each widened to
// a pointer-sized integer, under the platform's calling convention and under guard: true with
// its pointer-sized answer in `result`; false when the module has been given up or faults now.
template <typename... Arguments>
bool library_call_address(HMODULE module, intptr_t& result, FARPROC address,
                          Arguments... arguments) {
  static_assert(sizeof...(Arguments) <= 20, "library_call takes at most 20 arguments");
  using Function = intptr_t(WINAPI*)(PointerSized<Arguments>...);
  return guarded_call(module, result, export_as<Function>(address), library_argument(arguments)...);
}

// As library_call, but tells a call that was not made apart: false without calling anything when
// the export cannot be found or its library has been given up, and false when the call faults;
// else true with the function's answer in `result`.
template <typename... Arguments>
bool library_call_if_exported(intptr_t& result, ObjectNumber number, const wchar_t* name,
                              Arguments... arguments) {
  const FARPROC address = library_find(number, name);
  return address && library_call_address(library_module(number), result, address, arguments...);
}

// Calls the export with `arguments`; answers its result, or 0 when the export cannot be found,
// its library has been given up or the call faults.
template <typename... Arguments>
intptr_t library_call(ObjectNumber number, const wchar_t* name, Arguments... arguments) {
  intptr_t result = 0;
  return library_call_if_exported(result, number, name, arguments...) ? result : 0;
}
