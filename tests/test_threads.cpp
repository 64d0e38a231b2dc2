// Worker threads: numbering, the registry's bookkeeping, stopping a thread where it stands, and
// delays.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "facade/facade.h"
#include "tests/support/harness.h"

namespace {

class Threads : public ::testing::Test {
 protected:
  void SetUp() override { facade_for_tests(); }
};

DWORD WINAPI returns_at_once(void*) { return 0; }

// Blocks until the event it is given is set; never set, it stands for a driver call that hangs.
DWORD WINAPI waits_for_event(void* event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 0;
}

HANDLE new_event() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

ThreadNumber start_waiting_for(HANDLE event) {
  return thread_create(waits_for_event, reinterpret_cast<intptr_t>(event));
}

// A handle of our own on a registered thread, still usable after the registry closed its own.
HANDLE own_handle(ThreadNumber number) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), thread_running_handle(number), GetCurrentProcess(), &copy,
                   SYNCHRONIZE, FALSE, 0);
  return copy;
}

bool has_ended(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

bool is_open(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

bool ended(ThreadNumber number) {
  return wait_until([number] { return thread_running_handle(number) == nullptr; });
}

// ---- numbers and the registry ----

TEST_F(Threads, NumbersCountUpAndAreNeverReused) {
  const ThreadNumber first = thread_create(returns_at_once, 0);
  ASSERT_GE(first, 1);
  ASSERT_TRUE(ended(first));
  const ThreadNumber second = thread_create(returns_at_once, 0);
  const ThreadNumber third = thread_create(returns_at_once, 0);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(third, first + 2);
  thread_kill(first);
  thread_kill(second);
  thread_kill(third);
  EXPECT_EQ(thread_create(returns_at_once, 0), first + 3);
}

TEST_F(Threads, UnknownNumbersAreIgnored) {
  const HANDLE release = new_event();
  const ThreadNumber number = start_waiting_for(release);
  ASSERT_NE(thread_running_handle(number), nullptr);
  EXPECT_EQ(thread_running_handle(0), nullptr);
  EXPECT_EQ(thread_running_handle(-1), nullptr);
  EXPECT_FALSE(thread_kill(0));
  EXPECT_FALSE(thread_kill(-1));
  EXPECT_FALSE(thread_kill(INT64_MAX));
  EXPECT_NE(thread_running_handle(number), nullptr);
  SetEvent(release);
  ASSERT_TRUE(ended(number));
  thread_kill(number);
  CloseHandle(release);
}

TEST_F(Threads, KillOfAnEndedThreadForgetsIt) {
  const HANDLE release = new_event();
  const ThreadNumber number = start_waiting_for(release);
  const HANDLE registered = thread_running_handle(number);
  ASSERT_NE(registered, nullptr);
  SetEvent(release);
  ASSERT_TRUE(wait_until([registered] { return has_ended(registered); }));
  EXPECT_TRUE(is_open(registered)) << "the record keeps its handle until it is removed";
  EXPECT_FALSE(thread_kill(number));
  EXPECT_FALSE(is_open(registered));
  EXPECT_EQ(thread_running_handle(number), nullptr);
  EXPECT_FALSE(thread_kill(number));
  CloseHandle(release);
}

TEST_F(Threads, NextCreateSweepsThreadsThatReturned) {
  const HANDLE release = new_event();
  const ThreadNumber number = start_waiting_for(release);
  const HANDLE registered = thread_running_handle(number);
  ASSERT_NE(registered, nullptr);
  SetEvent(release);
  ASSERT_TRUE(wait_until([registered] { return has_ended(registered); }));
  EXPECT_EQ(thread_running_handle(number), nullptr);
  EXPECT_TRUE(is_open(registered));

  const HANDLE hold = new_event();
  const ThreadNumber next = start_waiting_for(hold);
  EXPECT_FALSE(is_open(registered));
  EXPECT_NE(thread_running_handle(next), nullptr);
  SetEvent(hold);
  ASSERT_TRUE(ended(next));
  thread_kill(next);
  thread_kill(number);
  CloseHandle(hold);
  CloseHandle(release);
}

// ---- stopping ----

std::atomic<int> Passes;

DWORD WINAPI counts_after_long_delays(void*) {
  for (;;) {
    ++Passes;
    delay_ms(1000);
  }
}

TEST_F(Threads, KillEndsADelayAtOnce) {
  Passes = 0;
  const ThreadNumber number = thread_create(counts_after_long_delays, 0);
  const HANDLE thread = own_handle(number);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(wait_until([] { return Passes == 1; }));

  ShareClock clock = share_clock_start();
  EXPECT_FALSE(thread_kill(number)) << "a delay is a stop point: no force needed";
  EXPECT_LT(share_clock_ms(clock), 400.0);
  // Gone before the kill returned, so the pass after the delay can never run.
  EXPECT_TRUE(has_ended(thread));
  EXPECT_EQ(Passes, 1);
  EXPECT_EQ(thread_running_handle(number), nullptr);
  CloseHandle(thread);
}

DWORD WINAPI spins_through_stop_points(void*) {
  for (;;) {
    ++Passes;
    thread_stop_point();
  }
}

TEST_F(Threads, KillEndsAThreadAtItsStopPoint) {
  Passes = 0;
  const ThreadNumber number = thread_create(spins_through_stop_points, 0);
  const HANDLE thread = own_handle(number);
  ASSERT_TRUE(wait_until([] { return Passes > 1000; }));
  ShareClock clock = share_clock_start();
  EXPECT_FALSE(thread_kill(number));
  EXPECT_LT(share_clock_ms(clock), 400.0);
  EXPECT_TRUE(has_ended(thread));
  const int passes = Passes;
  thread_stop_point();  // not being stopped: returns
  EXPECT_EQ(Passes, passes);
  CloseHandle(thread);
}

TEST_F(Threads, KillCutsOffAThreadStuckInACall) {
  const HANDLE never = new_event();
  const ThreadNumber number = start_waiting_for(never);
  const HANDLE thread = own_handle(number);
  ASSERT_NE(thread, nullptr);
  ShareClock clock = share_clock_start();
  EXPECT_TRUE(thread_kill(number));
  EXPECT_LT(share_clock_ms(clock), 1500.0);
  EXPECT_TRUE(has_ended(thread));
  EXPECT_EQ(thread_running_handle(number), nullptr);
  EXPECT_FALSE(thread_kill(number));
  CloseHandle(thread);
  CloseHandle(never);
}

// A worker doing what the sensor thread does: heap work, a label change on a window of the main
// thread (sent across threads, so it waits for the main thread), and a short delay.
DWORD WINAPI busy_worker(void* window) {
  for (uint32_t pass = 0;; ++pass) {
    void* block = HeapAlloc(GetProcessHeap(), 0, 64 + pass % 4096);
    HeapFree(GetProcessHeap(), 0, block);
    SetWindowTextW(static_cast<HWND>(window), pass % 2 ? L"45\u00B0C  (113 \u00B0F)" : L"-");
    delay_ms(pass % 2);
  }
}

// The main thread either serves its window while it waits, or does not (the worker then waits
// in its label change when the kill comes).
void let_worker_run(std::minstd_rand& random) {
  const DWORD ms = random() % 6;
  if (random() % 2) happens_within([] { return false; }, ms);
  else Sleep(ms);
}

TEST_F(Threads, StressKillsAtRandomMomentsNeverHang) {
  const HWND window = CreateWindowExW(0, L"STATIC", L"start", WS_OVERLAPPEDWINDOW, 0, 0, 200, 80,
                                      nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  std::minstd_rand random(GetTickCount());
  int forced = 0;
  for (int round = 0; round < 200; ++round) {
    const ThreadNumber number = thread_create(busy_worker, reinterpret_cast<intptr_t>(window));
    ASSERT_NE(number, 0);
    const HANDLE thread = own_handle(number);
    let_worker_run(random);

    ShareClock clock = share_clock_start();
    const bool forced_now = thread_kill(number);
    const double took_ms = share_clock_ms(clock);
    ASSERT_LT(took_ms, 2000.0) << "round " << round;
    // The kill's grace is half a second of the wall clock: on a machine so busy that the worker
    // had less than half of that on a processor, running out of it says nothing of the worker.
    if (forced_now && took_ms >= 250.0) ++forced;
    ASSERT_TRUE(has_ended(thread)) << "round " << round;
    CloseHandle(thread);

    // Nothing the worker may have held is left locked.
    void* block = HeapAlloc(GetProcessHeap(), 0, 128);
    ASSERT_NE(block, nullptr);
    HeapFree(GetProcessHeap(), 0, block);
    ASSERT_TRUE(SetWindowTextW(window, L"main"));
    wchar_t text[16] = {};
    GetWindowTextW(window, text, 16);
    ASSERT_STREQ(text, L"main") << "round " << round;
  }
  EXPECT_EQ(forced, 0) << "a worker that reaches its delays never needs force";
  EXPECT_TRUE(DestroyWindow(window));
}

// ---- delays ----

double elapsed_ms(void (*action)()) {
  LARGE_INTEGER frequency, before, after;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  action();
  QueryPerformanceCounter(&after);
  return 1000.0 * static_cast<double>(after.QuadPart - before.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

TEST_F(Threads, DelaysWaitTheirTime) {
  ShareClock clock = share_clock_start();
  delay_ms(0);
  EXPECT_LT(share_clock_ms(clock), 30.0);
  EXPECT_GE(elapsed_ms([] { delay_ms(50); }), 45.0);
}

}  // namespace
