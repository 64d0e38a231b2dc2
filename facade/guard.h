// Calls into driver code under guard: a hardware fault that the driver itself leaves unhandled
// ends the call, not the process. The typed form of guard_run, which guard.cpp implements.
#pragma once

#include "facade/facade.h"

using GuardedWork = void (*)(void* data);

// Runs `work(data)`, code of `module`, on this thread under guard. True when it ran to its end;
// false when `module` had been given up (nothing runs) or a fault inside it went unhandled (the
// work is abandoned where it stood and `module` is given up). Any thread; allocates nothing.
bool guard_run(HMODULE module, GuardedWork work, void* data);

template <typename Call>
void run_guarded_call(void* call) {
  (*static_cast<Call*>(call))();
}

// Calls `function(arguments...)`, code of `module`, under guard: true with its answer in
// `result`; false with `result` untouched when the module had been given up or faulted in this
// call. Any thread.
template <typename Result, typename Function, typename... Arguments>
bool guarded_call(HMODULE module, Result& result, Function function, Arguments... arguments) {
  auto call = [&] { result = function(arguments...); };
  return guard_run(module, run_guarded_call<decltype(call)>, &call);
}
