// The NVAPI entry-point layer against the simulated driver loaded in this process: when stubs
// ask the driver, what they answer before and after initialise and unload, and the hooks.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <memory>

#include "backends/nvidia/nvapi.h"
#include "tests/support/harness.h"

namespace {

constexpr NvU32 EnumId = 0xE5AC921F;
constexpr NvU32 NameId = 0xCEEE8E9F;
constexpr NvU32 ThermalId = 0xE3640A56;
constexpr NvU32 StubIds[] = {EnumId, NameId, ThermalId};

std::string hex_id(NvU32 id) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", id);
  return text;
}

// The value of `key=` in a log line, up to the next space.
std::string field(const std::string& line, const std::string& key) {
  const size_t start = line.find(key + "=");
  if (start == std::string::npos) return {};
  const size_t value = start + key.size() + 1;
  return line.substr(value, line.find(' ', value) - value);
}

// The layer's state is process-wide: every test starts and ends unloaded. The layer loads
// "nvapi64.dll" from the system folder, so the simulated driver installed there decides.
class NvapiLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    install(L"nvapi64.dll");
    use("gpu name=\"G0\" temps=41\ngpu name=\"G1\" temps=-7\n");
  }

  void TearDown() override {
    NvAPI_Unload();
    driver_.reset();
    SetEnvironmentVariableW(L"SIMDRV_SCENARIO", nullptr);
    SetEnvironmentVariableW(L"SIMDRV_LOG", nullptr);
    EXPECT_EQ(GetModuleHandleW(L"nvapi64.dll"), nullptr);
  }

  // `driver` (from the drivers' folder) as the system's nvapi64.dll; none for an empty name.
  void install(const std::wstring& driver) {
    driver_.reset();
    if (!driver.empty()) driver_ = std::make_unique<SystemDriver>(driver);
  }

  // The driver reads its scenario again at the next initialise; each scenario logs afresh.
  void use(const std::string& scenario) {
    log_ = fresh_dir(L"nvapi") + L"\\calls.log";
    SetEnvironmentVariableW(L"SIMDRV_LOG", log_.c_str());
    SetEnvironmentVariableW(L"SIMDRV_SCENARIO", widen(scenario).c_str());
  }

  std::vector<std::string> log() const { return read_log(log_); }
  // How often the layer asked the driver for `id`.
  size_t asks(NvU32 id) const {
    return log_lines_with(log_lines_with(log(), "nvapi_QueryInterface tid="),
                          "args=" + hex_id(id) + " ")
        .size();
  }
  size_t calls_of(const char* function) const {
    return log_lines_with(log(), std::string(function) + " tid=").size();
  }

  // Calls every stub, the later ones with the first GPU's handle; their statuses in id order.
  std::vector<NvAPI_Status> call_every_stub() {
    NvU32 count = 0;
    const NvAPI_Status listed = NvAPI_EnumPhysicalGPUs(handles_, &count);
    char name[NVAPI_SHORT_STRING_MAX] = {};
    const NvAPI_Status named = NvAPI_GPU_GetFullName(handles_[0], name);
    const NvAPI_Status read = NvAPI_GPU_GetThermalSettings(handles_[0], 0, thermal());
    return {listed, named, read};
  }

  NV_GPU_THERMAL_SETTINGS* thermal() {
    settings_ = {};
    settings_.version = NV_GPU_THERMAL_SETTINGS_VER_1;
    return &settings_;
  }

  std::wstring log_;
  std::unique_ptr<SystemDriver> driver_;
  NvPhysicalGpuHandle handles_[NVAPI_MAX_PHYSICAL_GPUS + 1] = {};
  NV_GPU_THERMAL_SETTINGS settings_{};
};

const std::vector<NvAPI_Status> AllNoImplementation(3, NVAPI_NO_IMPLEMENTATION);
const std::vector<NvAPI_Status> AllOk(3, NVAPI_OK);

TEST_F(NvapiLayer, StubBeforeInitialiseAnswersNoImplementationAndStaysUntried) {
  EXPECT_EQ(call_every_stub(), AllNoImplementation);
  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  for (NvU32 id : StubIds) EXPECT_EQ(asks(id), 0u) << hex_id(id) << " asked by initialise";

  // After initialise the first call resolves the function once and forwards the call.
  EXPECT_EQ(call_every_stub(), AllOk);
  EXPECT_EQ(settings_.sensor[0].currentTemp, 41);
  EXPECT_EQ(NvAPI_GPU_GetThermalSettings(handles_[1], 0, thermal()), NVAPI_OK);
  EXPECT_EQ(settings_.sensor[0].currentTemp, -7);
  EXPECT_EQ(call_every_stub(), AllOk);
  for (NvU32 id : StubIds) EXPECT_EQ(asks(id), 1u) << hex_id(id);
  EXPECT_EQ(calls_of("NvAPI_GPU_GetThermalSettings"), 3u);
  // The driver's own statuses pass through unchanged.
  EXPECT_EQ(NvAPI_GPU_GetThermalSettings(nullptr, 0, thermal()), -101);
}

TEST_F(NvapiLayer, MissingFunctionIsAskedForOnceThenAnsweredWithoutAsking) {
  use("gpu\nmissing NvAPI_GPU_GetThermalSettings\n");
  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(NvAPI_GPU_GetThermalSettings(nullptr, 0, thermal()), NVAPI_NO_IMPLEMENTATION);
    EXPECT_EQ(asks(ThermalId), 1u) << "call " << call;
  }
  EXPECT_EQ(calls_of("NvAPI_GPU_GetThermalSettings"), 0u);
  EXPECT_EQ(call_every_stub(), (std::vector<NvAPI_Status>{NVAPI_OK, NVAPI_OK,
                                                           NVAPI_NO_IMPLEMENTATION}));
}

TEST_F(NvapiLayer, HooksAreUsedOnlyAsAPair) {
  for (const char* hooks : {"pre", "post", "none"}) {
    use(std::string("gpu\nhooks=") + hooks + "\n");
    ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK) << hooks;
    EXPECT_EQ(call_every_stub(), AllOk) << hooks;
    EXPECT_EQ(calls_of("PreCallHook") + calls_of("PostCallHook"), 0u) << hooks;
    EXPECT_EQ(NvAPI_Unload(), NVAPI_OK) << hooks;
  }
}

TEST_F(NvapiLayer, BothHooksBracketEveryStubCall) {
  use("gpu temps=41\nhooks=both\nfail NvAPI_GPU_GetThermalSettings=-7 from=2\n");
  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  EXPECT_EQ(call_every_stub(), AllOk);
  EXPECT_EQ(NvAPI_GPU_GetThermalSettings(handles_[0], 0, thermal()), -7);
  EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);

  std::vector<std::string> calls;
  for (const std::string& line : log())
    if (line.find(" tid=") != std::string::npos &&
        line.find("nvapi_QueryInterface") == std::string::npos &&
        line.find("NvAPI_Initialize") == std::string::npos &&
        line.find("NvAPI_Unload") == std::string::npos)
      calls.push_back(line);
  const struct {
    NvU32 id;
    const char* function;
    const char* status;
  } expected[] = {{EnumId, "NvAPI_EnumPhysicalGPUs", "0"},
                  {NameId, "NvAPI_GPU_GetFullName", "0"},
                  {ThermalId, "NvAPI_GPU_GetThermalSettings", "0"},
                  {ThermalId, "NvAPI_GPU_GetThermalSettings", "-7"}};
  ASSERT_EQ(calls.size(), 3 * std::size(expected)) << "no hook around initialise or unload";
  for (size_t i = 0; i < std::size(expected); ++i) {
    const std::string& pre = calls[3 * i];
    const std::string& call = calls[3 * i + 1];
    const std::string& post = calls[3 * i + 2];
    const std::string id = hex_id(expected[i].id);
    EXPECT_NE(pre.find("PreCallHook tid="), std::string::npos) << pre;
    EXPECT_NE(pre.find("args=" + id + ",0x"), std::string::npos) << pre;
    EXPECT_NE(field(pre, "args").substr(id.size() + 1), "0x0") << "address of the context";
    EXPECT_EQ(field(pre, "context"), "0x0") << pre;
    EXPECT_NE(call.find(std::string(expected[i].function) + " tid="), std::string::npos) << call;
    EXPECT_NE(post.find("PostCallHook tid="), std::string::npos) << post;
    EXPECT_NE(post.find("args=" + id + "," + field(pre, "out") + "," + expected[i].status + " "),
              std::string::npos)
        << pre << "\n" << post;
  }
}

TEST_F(NvapiLayer, MissingLibraryIsNotFoundAndTheNextInitialiseTriesAgain) {
  install(L"");
  EXPECT_EQ(NvAPI_Initialize(), NVAPI_LIBRARY_NOT_FOUND);
  EXPECT_EQ(NvAPI_Initialize(), NVAPI_LIBRARY_NOT_FOUND);
  EXPECT_EQ(call_every_stub(), AllNoImplementation);
  install(L"nvapi64.dll");
  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  EXPECT_EQ(call_every_stub(), AllOk);
}

TEST_F(NvapiLayer, FailedInitialiseIsAnErrorAndReleasesTheLibrary) {
  const struct {
    const wchar_t* driver;  // in the drivers folder
    const char* scenario;
  } cases[] = {
      {L"nvapi64.dll", "gpu\nfail NvAPI_Initialize=-1\n"},
      {L"nvapi64.dll", "gpu\nfail NvAPI_Initialize=-6\n"},
      {L"nvapi64.dll", "gpu\nfail NvAPI_Initialize=3\n"},
      {L"nvapi64.dll", "gpu\nmissing NvAPI_Initialize\n"},
      {L"variants\\no_query\\nvapi64.dll", "gpu\n"},
  };
  for (const auto& test : cases) {
    install(test.driver);
    use(test.scenario);
    EXPECT_EQ(NvAPI_Initialize(), NVAPI_ERROR) << test.scenario;
    EXPECT_EQ(GetModuleHandleW(L"nvapi64.dll"), nullptr) << test.scenario;
    EXPECT_EQ(call_every_stub(), AllNoImplementation) << test.scenario;
    EXPECT_EQ(NvAPI_Unload(), NVAPI_API_NOT_INITIALIZED) << test.scenario;
  }
  // A later initialise starts again from loading.
  install(L"nvapi64.dll");
  use("gpu\n");
  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  EXPECT_NE(GetModuleHandleW(L"nvapi64.dll"), nullptr);
  EXPECT_EQ(call_every_stub(), AllOk);
}

TEST_F(NvapiLayer, UnloadForgetsEveryEntryPointUntilTheNextInitialise) {
  EXPECT_EQ(NvAPI_Unload(), NVAPI_API_NOT_INITIALIZED);
  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  EXPECT_EQ(call_every_stub(), AllOk);
  EXPECT_EQ(NvAPI_Unload(), NVAPI_OK);
  EXPECT_EQ(GetModuleHandleW(L"nvapi64.dll"), nullptr);
  EXPECT_EQ(NvAPI_Unload(), NVAPI_API_NOT_INITIALIZED);
  EXPECT_EQ(call_every_stub(), AllNoImplementation);
  for (NvU32 id : StubIds) EXPECT_EQ(asks(id), 1u) << hex_id(id);

  ASSERT_EQ(NvAPI_Initialize(), NVAPI_OK);
  for (NvU32 id : StubIds) EXPECT_EQ(asks(id), 1u) << hex_id(id);
  EXPECT_EQ(call_every_stub(), AllOk);
  for (NvU32 id : StubIds) EXPECT_EQ(asks(id), 2u) << hex_id(id) << " asked again";
}

}  // namespace
