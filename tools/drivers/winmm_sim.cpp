// Simulated multimedia timer library: the one call of winmm.dll the program makes, logged, so a
// test can see that the 1 ms timer period was asked for, once, and from the system folder's copy.
#include <cstdio>

#include "tools/drivers/simdrv.h"

extern "C" UINT WINAPI timeBeginPeriod(UINT period) {
  char args[32];
  snprintf(args, sizeof(args), "period=%u", period);
  sim_log_status("timeBeginPeriod", args, 0);
  return 0;
}
