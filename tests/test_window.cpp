// Windows and the event loop: geometry, class and properties, the events the wait returns, and
// replacement of a window under the same number.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "facade/facade.h"
#include "tests/support/harness.h"

namespace {

constexpr UINT Marker = WM_APP + 7;
constexpr uint32_t MonitorFlags = WINDOW_MINIMIZE_BOX | WINDOW_SCREEN_CENTERED;

HWND open_monitor(ObjectNumber number, uint32_t flags = MonitorFlags) {
  return window_open(number, 0, 0, 288, 97, L"GPU Temperature", flags);
}

// Everything window_wait_event answers up to a marker posted now, the marker left out. Posted
// messages come out in order, and the events of each dispatch come out before the next message.
std::vector<int64_t> wait_through_posted() {
  PostThreadMessageW(GetCurrentThreadId(), Marker, 0, 0);
  std::vector<int64_t> answers;
  for (int64_t answer; (answer = window_wait_event()) != Marker;) answers.push_back(answer);
  return answers;
}

bool contains(const std::vector<int64_t>& answers, int64_t value) {
  return std::find(answers.begin(), answers.end(), value) != answers.end();
}

// The answer right before the first close event, or 0 when no close event came.
int64_t answer_before_close(HWND window, CloseBy how) {
  request_close(window, how);
  std::vector<int64_t> answers;
  // Alt+F4 takes a second round: its key message posts the system command.
  for (int round = 0; round < 3 && !contains(answers, EVENT_CLOSE_WINDOW); ++round) {
    const std::vector<int64_t> more = wait_through_posted();
    answers.insert(answers.end(), more.begin(), more.end());
  }
  const auto close = std::find(answers.begin(), answers.end(), EVENT_CLOSE_WINDOW);
  return close == answers.end() || close == answers.begin() ? 0 : *(close - 1);
}

std::wstring window_id_property(HWND window) {
  return std::to_wstring(reinterpret_cast<intptr_t>(GetPropW(window, L"RT_WindowID")));
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override { facade_for_tests(); }
  void TearDown() override { wait_through_posted(); }
};

}  // namespace

TEST_F(Windows, OpenCentredWithTheClientSizeAndOwnClass) {
  const HWND window = open_monitor(0);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window_handle(0), window);
  const SIZE client = client_size(window);
  EXPECT_EQ(client.cx, 288);
  EXPECT_EQ(client.cy, 97);
  RECT outer{};
  GetWindowRect(window, &outer);
  const int screen_width = GetSystemMetrics(SM_CXSCREEN);
  const int screen_height = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_EQ(outer.left, (screen_width - std::min<int>(outer.right - outer.left, screen_width)) / 2);
  EXPECT_EQ(outer.top, (screen_height - std::min<int>(outer.bottom - outer.top, screen_height)) / 2);
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(window_text(window), L"GPU Temperature");
  EXPECT_EQ(GetWindowLongPtrW(window, GWL_STYLE) & (WS_CHILD | WS_THICKFRAME | WS_MAXIMIZEBOX |
                                                     WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
            static_cast<LONG_PTR>(WINDOW_MINIMIZE_BOX));
  EXPECT_EQ(class_name(window), L"WindowClass_0");
  EXPECT_EQ(window_id_property(window), L"1");

  const HWND seventh = open_monitor(7);
  EXPECT_EQ(class_name(seventh), L"WindowClass_7");
  EXPECT_EQ(window_id_property(seventh), L"8");
}

TEST_F(Windows, ResizeKeepsWhatIsIgnored) {
  const HWND window = open_monitor(0);
  RECT before{};
  GetWindowRect(window, &before);
  window_resize(0, COORD_IGNORE, COORD_IGNORE, 280, 122);
  RECT after{};
  GetWindowRect(window, &after);
  EXPECT_EQ(client_size(window).cx, 280);
  EXPECT_EQ(client_size(window).cy, 122);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.top, before.top);

  window_resize(0, 40, 30, COORD_IGNORE, COORD_IGNORE);
  GetWindowRect(window, &after);
  EXPECT_EQ(after.left, 40);
  EXPECT_EQ(after.top, 30);
  EXPECT_EQ(client_size(window).cx, 280);
  EXPECT_EQ(client_size(window).cy, 122);
}

TEST_F(Windows, FirstWaitsAnswerTheQueuedEventsOfOpening) {
  open_monitor(0);
  const std::vector<int64_t> answers = wait_through_posted();
  const auto first_message = std::find_if(answers.begin(), answers.end(), [](int64_t answer) {
    return answer < EVENT_ACTIVATE_WINDOW || answer > EVENT_SIZE_WINDOW;
  });
  const std::vector<int64_t> queued(answers.begin(), first_message);
  EXPECT_TRUE(contains(queued, EVENT_MOVE_WINDOW));
  EXPECT_TRUE(contains(queued, EVENT_ACTIVATE_WINDOW));
}

TEST_F(Windows, CloseRequestsGiveTheCloseEventAndTheWindowStays) {
  const HWND window = open_monitor(0);
  wait_through_posted();
  EXPECT_EQ(answer_before_close(window, CloseBy::CloseMessage), WM_CLOSE);
  EXPECT_EQ(answer_before_close(window, CloseBy::SystemCommand), WM_SYSCOMMAND);
  EXPECT_NE(answer_before_close(window, CloseBy::AltF4), 0);
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(window_handle(0), window);
}

TEST_F(Windows, MinimiseAndRestore) {
  const HWND window = open_monitor(0);
  wait_through_posted();
  PostMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  const std::vector<int64_t> minimised = wait_through_posted();
  EXPECT_TRUE(contains(minimised, EVENT_MINIMIZE_WINDOW));
  EXPECT_FALSE(contains(minimised, EVENT_SIZE_WINDOW));

  PostMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0);
  const std::vector<int64_t> restored = wait_through_posted();
  const auto restore = std::find(restored.begin(), restored.end(), EVENT_RESTORE_WINDOW);
  ASSERT_NE(restore, restored.end());
  ASSERT_NE(restore + 1, restored.end());
  EXPECT_EQ(*(restore + 1), EVENT_SIZE_WINDOW);
}

TEST_F(Windows, ReopeningANumberReplacesTheWindowAndItsGadgets) {
  const HWND first = open_monitor(0);
  label_create(5, 15, 20, 250, 35, L"Please wait", LABEL_CENTER);
  const HWND second = open_monitor(0);
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(IsWindow(first));
  EXPECT_EQ(window_handle(0), second);
  EXPECT_EQ(gadget_handle(5), nullptr);
  EXPECT_EQ(class_name(second), L"WindowClass_0");
}

TEST_F(Windows, AFailedOpenLeavesTheNumberEmpty) {
  const HWND old = open_monitor(3);
  // A child window without a parent cannot be created.
  EXPECT_EQ(open_monitor(3, MonitorFlags | WS_CHILD), nullptr);
  EXPECT_FALSE(IsWindow(old));
  EXPECT_EQ(window_handle(3), nullptr);
}

TEST_F(Windows, NumbersWithoutAWindowAreNoWindow) {
  EXPECT_EQ(window_handle(15), nullptr);
  EXPECT_EQ(window_handle(1000000), nullptr);
  EXPECT_EQ(window_handle(-1), nullptr);
  window_resize(1000000, 0, 0, 10, 10);
  window_resize(-1, 0, 0, 10, 10);
}
