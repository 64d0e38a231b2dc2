#include "backends/amd/adl2.h"

#include "backends/amd/adl.h"
#include "backends/amd/adl_call.h"

namespace {

enum class ContextState { Untried, Created, Unavailable };

// Written by the worker only; read at shutdown once the worker has stopped.
ContextState Adl2State = ContextState::Untried;
void* Adl2Context;

// Where the performance log is read first: integrated GPUs often lack the edge sensor.
constexpr int LogSensorOrder[] = {PMLOG_TEMPERATURE_EDGE, PMLOG_TEMPERATURE_GFX,
                                  PMLOG_TEMPERATURE_SOC};

bool library_serves_adl2() {
  return library_has_export(VendorLibrary, L"ADL2_Main_Control_Create") &&
         library_has_export(VendorLibrary, L"ADL2_Main_Control_Destroy") &&
         (library_has_export(VendorLibrary, L"ADL2_New_QueryPMLogData_Get") ||
          library_has_export(VendorLibrary, L"ADL2_OverdriveN_Temperature_Get"));
}

// One attempt per session of the driver: one that refuses the context once is not asked again
// every second.
bool context_ready() {
  if (Adl2State == ContextState::Untried) {
    const bool created = library_serves_adl2() &&
                         adl_succeeds(L"ADL2_Main_Control_Create", adl_allocate, 1, &Adl2Context);
    Adl2State = created ? ContextState::Created : ContextState::Unavailable;
  }
  return Adl2State == ContextState::Created;
}

// The first sensor the adapter has that reads a plausible temperature. The record is cleared
// first, so that a driver answering success without writing cannot repeat an older reading.
bool read_performance_log(int adapter_index, ADLPMLogDataOutput& log, int32_t& celsius) {
  log = ADLPMLogDataOutput{};
  log.size = sizeof(ADLPMLogDataOutput);
  if (!adl_succeeds(L"ADL2_New_QueryPMLogData_Get", Adl2Context, adapter_index, &log))
    return false;
  for (const int sensor : LogSensorOrder) {
    const ADLSingleSensorData& data = log.sensors[sensor];
    if (data.supported != 0 && adl_plausible(data.value)) {
      celsius = data.value;
      return true;
    }
  }
  return false;
}

bool read_overdrive_n(int adapter_index, int32_t& celsius) {
  int thousandths = INT32_MIN;  // not a reading, should the driver answer success unwritten
  if (!adl_succeeds(L"ADL2_OverdriveN_Temperature_Get", Adl2Context, adapter_index,
                    ODN_TEMPERATURE_EDGE, &thousandths))
    return false;
  const int32_t whole = thousandths / 1000;
  if (!adl_plausible(whole)) return false;
  celsius = whole;
  return true;
}

}  // namespace

bool adl2_read_temperature(int adapter_index, ADLPMLogDataOutput& log, int32_t& celsius) {
  return context_ready() && (read_performance_log(adapter_index, log, celsius) ||
                             read_overdrive_n(adapter_index, celsius));
}

void* adl2_context() { return context_ready() ? Adl2Context : nullptr; }

void adl2_restart() {
  adl2_shutdown();
  Adl2State = ContextState::Untried;
}

void adl2_shutdown() {
  if (Adl2State != ContextState::Created) return;
  library_call(VendorLibrary, L"ADL2_Main_Control_Destroy", Adl2Context);
  Adl2State = ContextState::Unavailable;
}
