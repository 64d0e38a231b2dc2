// Numbered-object tables, run-time library calls and the message box, in-process.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "facade/guard.h"
#include "facade/library.h"
#include "facade/objects.h"
#include "tests/support/harness.h"

// ---- object tables ----

namespace {

struct Record {
  uintptr_t handle;
  int payload;
};

ObjectTable* TestTable;
std::vector<ObjectNumber> Freed;

void free_record(ObjectNumber number) {
  Freed.push_back(number);
  object_clear(TestTable, number);
}

class ObjectTables : public ::testing::Test {
 protected:
  void SetUp() override {
    facade_for_tests();
    TestTable = table_create(sizeof(Record), 50, free_record);
    Freed.clear();
  }
  Record* create(ObjectNumber number, uintptr_t handle) {
    auto* record = static_cast<Record*>(object_slot(TestTable, number));
    if (record) record->handle = handle;
    return record;
  }
};

}  // namespace

TEST_F(ObjectTables, GrowToNumberPlusStepKeepingRecords) {
  Record* first = create(3, 0x33);
  ASSERT_EQ(TestTable->slot_count, 50);
  create(60, 0x60);
  EXPECT_EQ(TestTable->slot_count, 110);
  EXPECT_EQ(object_get(TestTable, 3), first);
  EXPECT_NE(object_get(TestTable, 60), nullptr);
  EXPECT_EQ(object_get(TestTable, 59), nullptr);
  EXPECT_EQ(object_get(TestTable, 109), nullptr);
}

TEST_F(ObjectTables, ReplacementFreesTheOldObjectFirstAndReusesTheRecord) {
  Record* first = create(7, 0x70);
  first->payload = 5;
  Record* second = static_cast<Record*>(object_slot(TestTable, 7));
  EXPECT_EQ(Freed, std::vector<ObjectNumber>{7});
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->handle, 0u) << "a failed creation must leave the number without an object";
  EXPECT_EQ(object_get(TestTable, 7), nullptr);
}

TEST_F(ObjectTables, NumbersThatHoldNothingReadAsNone) {
  create(2, 0x20);
  free_record(2);
  EXPECT_EQ(object_get(TestTable, 2), nullptr) << "freed, although its record stays";
  EXPECT_EQ(object_get(TestTable, 49), nullptr) << "never used";
  EXPECT_EQ(object_get(TestTable, 50), nullptr) << "at the slot count";
  EXPECT_EQ(object_get(TestTable, INT64_MAX), nullptr) << "far beyond the table";
  EXPECT_EQ(object_get(TestTable, -1), nullptr);
  EXPECT_EQ(object_slot(TestTable, -1), nullptr);
  object_clear(TestTable, 1000);  // beyond the table: no effect, no fault
}

TEST_F(ObjectTables, FreeAllVisitsExistingObjectsInAscendingOrder) {
  create(30, 0x30);
  create(4, 0x04);
  create(12, 0);  // a record without an object is not freed
  create(70, 0x70);
  object_free_all(TestTable);
  EXPECT_EQ(Freed, (std::vector<ObjectNumber>{4, 30, 70}));
}

// ---- library calls ----
// The test executable exports these, so library_call can reach them through LoadLibraryW.

extern "C" __declspec(dllexport) intptr_t test_export_one(intptr_t a) { return a * 3; }

extern "C" __declspec(dllexport) intptr_t test_export_twenty(
    intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5, intptr_t a6, intptr_t a7,
    intptr_t a8, intptr_t a9, intptr_t a10, intptr_t a11, intptr_t a12, intptr_t a13,
    intptr_t a14, intptr_t a15, intptr_t a16, intptr_t a17, intptr_t a18, intptr_t a19,
    intptr_t a20) {
  const intptr_t arguments[] = {a1,  a2,  a3,  a4,  a5,  a6,  a7,  a8,  a9,  a10,
                                a11, a12, a13, a14, a15, a16, a17, a18, a19, a20};
  // Each argument must arrive in its own position: a weighted sum shows any swap.
  intptr_t sum = 0;
  for (int i = 0; i < 20; ++i) sum += arguments[i] * (i + 1);
  return sum;
}

extern "C" __declspec(dllexport) intptr_t test_export_pointer(const char* text) {
  return text[0];
}

namespace {

class Libraries : public ::testing::Test {
 protected:
  static constexpr ObjectNumber Self = 5;
  void SetUp() override {
    facade_for_tests();
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_NE(library_open(Self, path), nullptr);
  }
  void TearDown() override { library_close(Self); }
};

}  // namespace

TEST_F(Libraries, ArgumentsArriveInOrder) {
  EXPECT_EQ(library_call(Self, L"test_export_one", 14), 42);
  intptr_t expected = 0;
  for (int i = 1; i <= 20; ++i) expected += static_cast<intptr_t>(i) * 1000 * i;
  EXPECT_EQ(library_call(Self, L"test_export_twenty", 1000, 2000, 3000, 4000, 5000, 6000, 7000,
                         8000, 9000, 10000, 11000, 12000, 13000, 14000, 15000, 16000, 17000,
                         18000, 19000, 20000),
            expected);
  EXPECT_EQ(library_call(Self, L"test_export_pointer", "Z"), 'Z');
}

TEST_F(Libraries, MissingExportsAndNumbersAnswerZero) {
  EXPECT_EQ(library_call(Self, L"no_such_export", 1), 0);
  EXPECT_FALSE(library_has_export(Self, L"no_such_export"));
  EXPECT_TRUE(library_has_export(Self, L"test_export_one"));
  EXPECT_EQ(library_call(Self, nullptr), 0);
  EXPECT_EQ(library_call(9, L"test_export_one", 1), 0) << "never opened";
  EXPECT_EQ(library_call(100000, L"test_export_one", 1), 0) << "beyond the table";
  EXPECT_EQ(library_call(-1, L"test_export_one", 1), 0);
}

TEST_F(Libraries, NameTooLongForTheBufferIsNotFound) {
  const std::wstring exact(259, L'a');   // fits with its terminating zero
  const std::wstring too_long(260, L'a');
  const std::wstring huge(100000, L'x');
  EXPECT_EQ(library_call(Self, exact.c_str()), 0);
  EXPECT_EQ(library_call(Self, too_long.c_str()), 0);
  EXPECT_EQ(library_call(Self, huge.c_str()), 0);
  // Two-byte characters in the ANSI page could overflow a count made in UTF-16 units.
  const std::wstring wide(200, L'\u00e9');
  EXPECT_EQ(library_call(Self, wide.c_str()), 0);
}

TEST_F(Libraries, OpenAndCloseRules) {
  EXPECT_EQ(library_open(6, L"gputherm-no-such-library.dll"), nullptr);
  library_close(6);  // not open: nothing happens
  EXPECT_EQ(library_call(6, L"test_export_one", 1), 0);
  EXPECT_EQ(library_open(6, nullptr), nullptr);
  // Reopening a number frees what it held before trying the new file.
  const HMODULE kernel = library_open(7, L"kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(library_open(7, L"gputherm-no-such-library.dll"), nullptr);
  EXPECT_FALSE(library_has_export(7, L"GetTickCount"));
  EXPECT_NE(library_open(300, L"kernel32.dll"), nullptr) << "grows the table";
  EXPECT_TRUE(library_has_export(300, L"GetTickCount"));
  library_close(300);
}

// ---- calls into driver code under guard ----

namespace {

char* forbidden_page() {
  static char* const page =
      static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS));
  return page;
}

int write_forbidden() {
  *reinterpret_cast<volatile char*>(forbidden_page()) = 1;
  return 1;
}

// INT_MIN / -1, divided by the processor, which faults, rather than by C++, where it is undefined
// and an undefined-behaviour build would stop the program before it divides: a few bytes of x64
// code in a page of their own, as a driver's code would be.
int divide_overflowing() {
  // mov eax, 0x80000000; cdq; mov ecx, -1; idiv ecx; ret
  static const unsigned char code[] = {0xB8, 0x00, 0x00, 0x00, 0x80, 0x99, 0xB9,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xF7, 0xF9, 0xC3};
  static void* const page = [] {
    void* const memory = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!memory) return memory;
    memcpy(memory, code, sizeof code);
    DWORD before = 0;
    VirtualProtect(memory, 4096, PAGE_EXECUTE_READ, &before);
    FlushInstructionCache(GetCurrentProcess(), memory, sizeof code);
    return memory;
  }();
  return page ? reinterpret_cast<int (*)()>(page)() : 0;
}

HMODULE module_at(uintptr_t address) { return reinterpret_cast<HMODULE>(address); }

// Runs as a child when started with --own-fault: survives a fault in a guarded call, then
// faults outside one.
const bool OwnFaultChecked = [] {
  if (std::wstring(GetCommandLineW()).find(L"--own-fault") == std::wstring::npos) return true;
  facade_for_tests();
  int result = 0;
  if (guarded_call(module_at(0x5000), result, write_forbidden)) ExitProcess(2);
  write_forbidden();
  ExitProcess(3);
}();

}  // namespace

TEST(Guard, AFaultEndsTheCallAndItsModuleIsNeverEnteredAgain) {
  facade_for_tests();
  int result = 7;
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(guarded_call(module_at(0x1000), result, write_forbidden));
  EXPECT_EQ(result, 7);
  EXPECT_TRUE(module_given_up(module_at(0x1000)));
  EXPECT_TRUE(any_module_given_up());
  bool entered = false;
  EXPECT_FALSE(guarded_call(module_at(0x1000), result, [&] { return entered = true; }));
  EXPECT_FALSE(entered);
  // Nested: the inner call's module goes, the outer call runs to its end.
  EXPECT_TRUE(guarded_call(module_at(0x2000), result, [] {
    int quotient = 0;
    return guarded_call(module_at(0x3000), quotient, divide_overflowing) ? 1 : 2;
  }));
  EXPECT_EQ(result, 2);
  EXPECT_TRUE(module_given_up(module_at(0x3000)));
  EXPECT_FALSE(module_given_up(module_at(0x2000)));
  // A driver that puts its own filter in place of ours does not take the next fault from us.
  EXPECT_TRUE(guarded_call(module_at(0x6000), result, [] {
    SetUnhandledExceptionFilter(
        [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_CONTINUE_SEARCH; });
    return 1;
  }));
  EXPECT_FALSE(guarded_call(module_at(0x6000), result, write_forbidden));
  // A fault that the called code takes itself is its own.
  EXPECT_TRUE(guarded_call(module_at(0x4000), result,
                           [] { return IsBadReadPtr(forbidden_page(), 1) ? 5 : 6; }));
  EXPECT_EQ(result, 5);
  EXPECT_FALSE(module_given_up(module_at(0x4000)));
}

TEST(Guard, AFaultInTheProgramsOwnCodeStillEndsTheProcess) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\" --own-fault";
  Program child;
  // The crash report goes nowhere: it is expected.
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE nowhere = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherited,
                                     OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = nowhere;
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &child.process));
  CloseHandle(nowhere);
  DWORD code = 0;
  EXPECT_TRUE(wait_exit(child, 30000, &code));
  EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  cleanup(child);
}

// ---- message box ----

namespace {

struct BoxSeen {
  HWND box = nullptr;
  HWND owner = nullptr;
  bool topmost_during = true;
  bool enabled_during = true;
};

// Finds this process's "error" box from another thread, notes what it sees, and presses OK.
DWORD WINAPI answer_box(void* parameter) {
  auto* seen = static_cast<BoxSeen*>(parameter);
  Program self;
  self.process.dwProcessId = GetCurrentProcessId();
  seen->box = wait_for_error_box(self, 10000);
  if (!seen->box) return 1;
  seen->owner = GetWindow(seen->box, GW_OWNER);
  seen->box = seen->box;
  press_ok(seen->box);
  return 0;
}

struct WatchedWindow {
  HWND window;
  BoxSeen* seen;
};

DWORD WINAPI answer_box_watching(void* parameter) {
  auto* watched = static_cast<WatchedWindow*>(parameter);
  Program self;
  self.process.dwProcessId = GetCurrentProcessId();
  HWND box = wait_for_error_box(self, 10000);
  if (!box) return 1;
  watched->seen->topmost_during =
      (GetWindowLongPtrW(watched->window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  watched->seen->enabled_during = IsWindowEnabled(watched->window) != 0;
  press_ok(box);
  return 0;
}

int show_box_answered_by(LPTHREAD_START_ROUTINE answer, void* parameter) {
  const HANDLE answerer = CreateThread(nullptr, 0, answer, parameter, 0, nullptr);
  const int result = message_box(L"error", L"Unable to load API library");
  WaitForSingleObject(answerer, 10000);
  CloseHandle(answerer);
  return result;
}

}  // namespace

TEST(MessageBoxes, DuringStartUpHasNoOwnerAndAnswersOk) {
  facade_for_tests();
  BoxSeen seen;
  EXPECT_EQ(show_box_answered_by(answer_box, &seen), IDOK);
  ASSERT_NE(seen.box, nullptr);
  EXPECT_EQ(seen.owner, nullptr);
}

TEST(MessageBoxes, OwnTopmostWindowIsLoweredAndDisabledThenRestored) {
  facade_for_tests();
  const HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_NOACTIVATE, L"Static", L"topmost",
                                      WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                      nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  const HWND disabled = CreateWindowExW(WS_EX_NOACTIVATE, L"Static", L"disabled",
                                        WS_POPUP | WS_VISIBLE | WS_DISABLED, 60, 0, 50, 50,
                                        nullptr, nullptr, nullptr, nullptr);
  const bool was_foreground = GetForegroundWindow() == window;
  BoxSeen seen;
  WatchedWindow watched{window, &seen};
  EXPECT_EQ(show_box_answered_by(answer_box_watching, &watched), IDOK);
  EXPECT_FALSE(seen.topmost_during);
  if (!was_foreground) {
    EXPECT_FALSE(seen.enabled_during);
  }
  EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_TRUE(IsWindowEnabled(window));
  EXPECT_FALSE(IsWindowEnabled(disabled)) << "a window that was disabled stays disabled";
  DestroyWindow(disabled);
  DestroyWindow(window);
}
