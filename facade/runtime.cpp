#include "facade/runtime.h"

#include "facade/facade.h"
#include "facade/objects.h"

// The tables and the heap come first: every service's start step makes its table there.
void facade_start(HANDLE heap, HINSTANCE instance) {
  objects_start(heap, instance);
  text_start();
  font_start();
  events_start();
  windows_start();
  gadgets_start();
  libraries_start();
  message_box_start();
  thread_init();
  guard_start();
}

// Fonts go last: the windows, and with them every label that uses a font, are gone by then.
void facade_end() {
  thread_end();
  libraries_end();
  windows_end();
  events_end();
  fonts_end();
}
