// Facade internals: what the windows service (window.cpp) and the gadgets service (gadget.cpp)
// need of each other. Main thread only.
#pragma once

#include <windows.h>

HWND gadget_parent();  // the window new gadgets are created in, or 0
// Offers a control's notification to its window (WM_COMMAND, WM_CTLCOLORSTATIC, ...) to the gadget
// that sent it; true with `answer` set when the gadget's kind handled it.
bool gadget_notify(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* answer);
