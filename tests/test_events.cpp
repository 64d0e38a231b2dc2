// The event queue: order, merging of repeats, muting during text changes, and per-window drops.
#include <gtest/gtest.h>

#include <vector>

#include "facade/facade.h"
#include "tests/support/harness.h"

namespace {

class Events : public ::testing::Test {
 protected:
  void SetUp() override {
    facade_for_tests();
    while (event_take() != 0) {
    }
  }
};

std::vector<int32_t> take_all() {
  std::vector<int32_t> codes;
  while (const int32_t code = event_take()) codes.push_back(code);
  return codes;
}

struct Handoff {
  HANDLE raised;
  HANDLE release;
};

// Holds the mute raised, as a worker does while its label change waits for the main thread.
DWORD WINAPI hold_mute_raised(void* parameter) {
  const auto* handoff = static_cast<const Handoff*>(parameter);
  event_mute_raise();
  SetEvent(handoff->raised);
  WaitForSingleObject(handoff->release, INFINITE);
  event_mute_lower();
  return 0;
}

}  // namespace

TEST_F(Events, ComeOutOldestFirstWithRepeatsInARowMerged) {
  event_post(EVENT_MOVE_WINDOW, 0, 0, 0);
  event_post(EVENT_MOVE_WINDOW, 0, 0, 0);  // merged
  event_post(EVENT_MOVE_WINDOW, 1, 1, 0);  // another window: kept
  event_post(EVENT_ACTIVATE_WINDOW, 0, 0, 0);
  event_post(EVENT_MOVE_WINDOW, 0, 0, 0);  // not in a row: kept
  EXPECT_EQ(take_all(), (std::vector<int32_t>{EVENT_MOVE_WINDOW, EVENT_MOVE_WINDOW,
                                              EVENT_ACTIVATE_WINDOW, EVENT_MOVE_WINDOW}));
  EXPECT_EQ(event_take(), 0);
  EXPECT_EQ(event_take(), 0);
}

TEST_F(Events, OnlyEventsOfATextChangeInProgressAreMuted) {
  event_mute_raise();
  event_text_change_begin();
  event_post(EVENT_REPAINT, 0, 0, 0);
  event_text_change_end();
  event_post(EVENT_MOVE_WINDOW, 0, 0, 0);  // raised, but not caused by the change
  event_mute_lower();
  event_text_change_begin();
  event_post(EVENT_SIZE_WINDOW, 0, 0, 0);  // a change nobody muted
  event_text_change_end();
  EXPECT_EQ(take_all(), (std::vector<int32_t>{EVENT_MOVE_WINDOW, EVENT_SIZE_WINDOW}));
}

TEST_F(Events, AnotherThreadsMuteNeverSilencesThisThread) {
  Handoff handoff{CreateEventW(nullptr, TRUE, FALSE, nullptr),
                  CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  const HANDLE worker = CreateThread(nullptr, 0, hold_mute_raised, &handoff, 0, nullptr);
  ASSERT_TRUE(wait_until([&] { return WaitForSingleObject(handoff.raised, 0) == WAIT_OBJECT_0; }));
  event_post(EVENT_CLOSE_WINDOW, 0, 0, 0);
  SetEvent(handoff.release);
  WaitForSingleObject(worker, 5000);
  EXPECT_EQ(event_take(), EVENT_CLOSE_WINDOW);
  CloseHandle(worker);
  CloseHandle(handoff.raised);
  CloseHandle(handoff.release);
}

TEST_F(Events, DroppingAWindowKeepsTheOthersInOrder) {
  event_post(EVENT_MOVE_WINDOW, 2, 2, 0);
  event_post(EVENT_MOVE_WINDOW, 3, 3, 0);
  event_post(EVENT_SIZE_WINDOW, 0, 2, 0);
  event_post(EVENT_CLOSE_WINDOW, 3, 3, 0);
  event_drop_window(2);
  event_post(EVENT_CLOSE_WINDOW, 3, 3, 0);  // still merged with the newest that is left
  EXPECT_EQ(take_all(), (std::vector<int32_t>{EVENT_MOVE_WINDOW, EVENT_CLOSE_WINDOW}));
}
