// Facade internals: each service's start and end steps, which facade_start and facade_end
// (runtime.cpp) call in their fixed order. Each service defines its own; none calls another's,
// and no service calls into runtime.cpp. Main thread only.
#pragma once

void text_start();
void font_start();
void events_start();
void events_end();
void windows_start();
void windows_end();
void gadgets_start();
void fonts_end();
void libraries_start();
void libraries_end();
void message_box_start();
void thread_init();
void thread_end();
void guard_start();
