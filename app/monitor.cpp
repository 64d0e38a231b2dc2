#include "app/program.h"
#include "app/rows.h"
#include "backends/amd/adl.h"
#include "backends/amd/amd.h"
#include "backends/amd/records.h"
#include "backends/amd/worker_watch.h"
#include "backends/intel/intel.h"
#include "backends/nvidia/nvidia.h"
#include "backends/nvidia/nvml_rows.h"

namespace {

constexpr ObjectNumber MainWindow = 0;
constexpr ObjectNumber TemperatureFont = 4;
// Frames are numbered from 10, above the labels 0 to 9. With more rows the labels would reach
// the frames' numbers, so the frames then start after the last possible label instead.
constexpr ObjectNumber FirstFrame = 10;
constexpr intptr_t SensorThreadParameter = 189;
// The first look at the readings' age: no reading can be older before then.
constexpr uint32_t FirstStaleCheckMs = 10000;

struct RowGeometry {
  int32_t frame_x, frame_width, label_x, label_width;
};
constexpr RowGeometry AmdRows{14, 253, 15, 250};
constexpr RowGeometry NvidiaRows{24, 233, 25, 230};

// Frame titled "GPU # r   -   name", whose title begins at `title` in the text area, and its
// "Please wait" label, in the temperature font.
void build_titled_row(int32_t row, const RowGeometry& geometry, size_t title) {
  const int32_t rows = State.GpuCount + nvml_rows_count();
  const ObjectNumber first_frame = rows > FirstFrame ? rows : FirstFrame;
  frame_create(first_frame + row, geometry.frame_x, 55 * row + 8, geometry.frame_width, 50,
               text_at(title));
  text_set_position(title);
  label_create(row, geometry.label_x, 55 * row + 20, geometry.label_width, 35, L"Please wait",
               LABEL_CENTER);
  gadget_set_font(row, font_handle(TemperatureFont));
}

// The row, its name appended by `append_name` into the text area.
template <typename AppendName>
void build_row(int32_t row, const RowGeometry& geometry, AppendName append_name) {
  const size_t start = text_position();
  text_append(L"GPU # ");
  text_from_int(row);
  text_append(L"   -   ");
  append_name();
  build_titled_row(row, geometry, start);
}

void build_amd_rows() {
  amd_for_each_shown(State.AdapterInfoTable, State.GpuCount,
                     [](int32_t row, const AdapterInfo& adapter) {
                       build_row(row, AmdRows, [&] { amd_append_name(adapter); });
                     });
}

void build_intel_rows() {
  for (int32_t row = 0; row < State.GpuCount; ++row)
    build_row(row, AmdRows, [&] { intel_append_name(row); });
}

void build_nvidia_rows() {
  for (int32_t i = 0; i < State.GpuCount; ++i)
    build_row(i, NvidiaRows, [&] { text_append(State.GpuNameTable[i]); });
}

// NVML's rows follow the backend's, in its geometry.
void build_nvml_rows(const RowGeometry& geometry) {
  const int32_t first = State.DisplayedGpuCount - nvml_rows_count();
  for (int32_t i = 0; i < nvml_rows_count(); ++i)
    build_row(first + i, geometry, [&] { nvml_rows_append_name(i); });
}

uint32_t sooner(uint32_t a, uint32_t b) { return a != 0 && (b == 0 || a < b) ? a : b; }

// When the main thread should next look at a worker that reads other vendors' GPUs beside AMD's,
// or NVML's; 0 where it reads none.
uint32_t worker_look_ms() { return watch_next_look_ms(); }

// The readings' age, and a worker stuck in another vendor's driver replaced by a new one, which
// goes on with the cycle. Answers the milliseconds until the next look; 0 when none is needed.
uint32_t look_at_readings() {
  const uint32_t next = rows_hide_stale_readings();
  if (next == 0) return 0;
  if (State.amd_selected == 1 && amd_worker_stuck())
    State.SensorThread = thread_create(amd_reading_cycle, SensorThreadParameter);
  if (State.nvidia_selected == 1 && nvidia_worker_stuck())
    State.SensorThread = thread_create(nvidia_reading_cycle, SensorThreadParameter);
  return sooner(next, worker_look_ms());
}

}  // namespace

bool monitor_run() {
  if (!window_open(MainWindow, 0, 0, 288, 97, L"GPU Temperature",
                   WINDOW_MINIMIZE_BOX | WINDOW_SCREEN_CENTERED))
    return false;
  font_load(TemperatureFont, L"MS Sans Serif", 24, FONT_BOLD);
  if (State.DisplayedGpuCount > 1)
    window_resize(MainWindow, COORD_IGNORE, COORD_IGNORE, 280, State.DisplayedGpuCount * 61);
  if (State.amd_selected == 1) {
    build_amd_rows();
    build_nvml_rows(AmdRows);
    State.SensorThread = thread_create(amd_reading_cycle, SensorThreadParameter);
  } else if (State.intel_selected == 1) {
    build_intel_rows();
    State.SensorThread = thread_create(intel_reading_cycle, SensorThreadParameter);
  } else {
    build_nvidia_rows();
    build_nvml_rows(NvidiaRows);
    State.SensorThread = thread_create(nvidia_reading_cycle, SensorThreadParameter);
  }
  // The main thread, never the worker, notices a worker stuck in a driver call.
  window_set_timer(sooner(FirstStaleCheckMs, worker_look_ms()));
  for (;;) {
    const int64_t event = window_wait_event();
    if (event == EVENT_CLOSE_WINDOW) break;
    if (event == WM_TIMER) window_set_timer(look_at_readings());
  }
  return true;
}
