// Labels, frames and fonts: what the controls look like, label texts changed from this thread and
// from a worker while the window waits, replacement and growth of numbers, and fonts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "facade/facade.h"
#include "tests/support/harness.h"

namespace {

constexpr UINT Marker = WM_APP + 9;
const wchar_t* const Reading = L"45\u00B0C  (113 \u00B0F)";

HFONT default_gui_font() { return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)); }
HFONT font_of(HWND control) {
  return reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
}

bool placed_at(HWND control, const RECT& expected) {
  const RECT actual = rect_in_parent(control);
  return EqualRect(&actual, &expected) != FALSE;
}

// What window_wait_event answers up to a marker posted to this thread, the marker left out.
std::vector<int64_t> wait_through_marker() {
  std::vector<int64_t> answers;
  for (int64_t answer; (answer = window_wait_event()) != Marker;) answers.push_back(answer);
  return answers;
}

// Serves the messages other threads send to this one until `thread` ends, at most 5 s of share
// time.
bool wait_serving(HANDLE thread) {
  ShareClock clock = share_clock_start();
  do {
    if (MsgWaitForMultipleObjects(1, &thread, FALSE, 50, QS_SENDMESSAGE) == WAIT_OBJECT_0)
      return true;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  } while (share_clock_ms(clock) < 5000);
  return false;
}

// Waits until another thread has sent this one a message, at most 5 s of share time; the message
// stays unanswered.
bool message_sent_to_this_thread() {
  ShareClock clock = share_clock_start();
  do {
    if (MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE) ==
        WAIT_OBJECT_0)
      return true;
  } while (share_clock_ms(clock) < 5000);
  return false;
}

struct Worker {
  DWORD reply_thread;       // gets the marker once the text is set
  std::atomic<bool> stop;   // for the looping worker
};

DWORD WINAPI set_reading_once(void* parameter) {
  gadget_set_text(0, Reading);
  PostThreadMessageW(static_cast<Worker*>(parameter)->reply_thread, Marker, 0, 0);
  return 0;
}

DWORD WINAPI set_readings_until_stopped(void* parameter) {
  const auto* worker = static_cast<Worker*>(parameter);
  while (!worker->stop) gadget_set_text(0, Reading);
  return 0;
}

class Gadgets : public ::testing::Test {
 protected:
  void SetUp() override {
    facade_for_tests();
    window = window_open(0, 0, 0, 288, 97, L"GPU Temperature",
                         WINDOW_MINIMIZE_BOX | WINDOW_SCREEN_CENTERED);
    frame = frame_create(10, 14, 8, 253, 50, L"GPU # 0   -   Test GPU");
    label = label_create(0, 15, 20, 250, 35, L"Please wait", LABEL_CENTER);
    PostThreadMessageW(GetCurrentThreadId(), Marker, 0, 0);
    wait_through_marker();
  }

  HWND window{};
  HWND frame{};
  HWND label{};
};

}  // namespace

TEST_F(Gadgets, FrameAndLabelAreTheControlsAsked) {
  ASSERT_NE(frame, nullptr);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(gadget_handle(10), frame);
  EXPECT_EQ(gadget_handle(0), label);
  EXPECT_EQ(class_name(frame), L"Button");
  EXPECT_EQ(class_name(label), L"Static");
  EXPECT_EQ(GetWindowLongPtrW(frame, GWL_STYLE), 0x50020007);
  EXPECT_EQ(GetWindowLongPtrW(label, GWL_STYLE), 0x50020081);
  EXPECT_EQ(GetWindowLongPtrW(label, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, 0);
  EXPECT_EQ(GetDlgCtrlID(frame), 10);
  EXPECT_EQ(GetDlgCtrlID(label), 0);
  EXPECT_EQ(GetParent(label), window);
  EXPECT_TRUE(placed_at(frame, {14, 8, 14 + 253, 8 + 50}));
  EXPECT_TRUE(placed_at(label, {15, 20, 15 + 250, 20 + 35}));
  EXPECT_EQ(window_text(frame), L"GPU # 0   -   Test GPU");
  EXPECT_EQ(window_text(label), L"Please wait");
  EXPECT_EQ(font_of(frame), default_gui_font());
  // Labels take the system's colours: the dialog face behind their text.
  const HDC dc = GetDC(label);
  EXPECT_EQ(SendMessageW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                         reinterpret_cast<LPARAM>(label)),
            reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
  ReleaseDC(label, dc);
}

TEST_F(Gadgets, LabelTextsOfAnyLength) {
  gadget_set_text(0, Reading);
  EXPECT_EQ(window_text(label), Reading);
  const std::wstring long_text(20000, L'8');
  gadget_set_text(0, long_text.c_str());
  EXPECT_EQ(GetWindowTextLengthW(label), 20000);
  gadget_set_text(0, L"");
  EXPECT_EQ(GetWindowTextLengthW(label), 0);
  gadget_set_text(0, Reading);
  gadget_set_text(0, nullptr);
  EXPECT_EQ(GetWindowTextLengthW(label), 0);
}

TEST_F(Gadgets, WorkerChangesTheLabelWhileTheWindowWaits) {
  Worker worker{GetCurrentThreadId(), {false}};
  const HANDLE thread = CreateThread(nullptr, 0, set_reading_once, &worker, 0, nullptr);
  const std::vector<int64_t> answers = wait_through_marker();
  // The change was served inside the wait: the wait never answered the sent message itself.
  for (const int64_t answer : answers) EXPECT_NE(answer, WM_SETTEXT);
  EXPECT_EQ(window_text(label), Reading);
  EXPECT_TRUE(wait_serving(thread));
  CloseHandle(thread);
}

TEST_F(Gadgets, ACloseIsNeverLostToAWorkersLabelChange) {
  Worker worker{GetCurrentThreadId(), {false}};
  HANDLE thread = CreateThread(nullptr, 0, set_reading_once, &worker, 0, nullptr);
  // The worker's change now waits for this thread, its mute raised.
  ASSERT_TRUE(message_sent_to_this_thread());
  SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(window_wait_event(), EVENT_CLOSE_WINDOW);
  wait_through_marker();
  EXPECT_TRUE(wait_serving(thread));
  CloseHandle(thread);

  // A worker changing the label as fast as it can while the user keeps closing the window.
  thread = CreateThread(nullptr, 0, set_readings_until_stopped, &worker, 0, nullptr);
  for (int round = 0; round < 100; ++round) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    PostThreadMessageW(GetCurrentThreadId(), Marker, 0, 0);
    const std::vector<int64_t> answers = wait_through_marker();
    ASSERT_EQ(std::count(answers.begin(), answers.end(), EVENT_CLOSE_WINDOW), 1) << round;
  }
  worker.stop = true;
  EXPECT_TRUE(wait_serving(thread));
  CloseHandle(thread);
}

TEST_F(Gadgets, ALabelReplacesTheFrameOfItsNumber) {
  const HWND replacement = label_create(10, 15, 20, 250, 35, L"Please wait", LABEL_CENTER);
  ASSERT_NE(replacement, nullptr);
  EXPECT_FALSE(IsWindow(frame));
  EXPECT_EQ(gadget_handle(10), replacement);
  EXPECT_EQ(class_name(replacement), L"Static");
  EXPECT_EQ(GetDlgCtrlID(replacement), 10);
}

TEST_F(Gadgets, NumbersBeyondTheTableGrowIt) {
  const HWND far_label = label_create(60, 15, 75, 250, 35, L"Please wait", LABEL_CENTER);
  ASSERT_NE(far_label, nullptr);
  EXPECT_EQ(gadget_handle(60), far_label);
  EXPECT_EQ(GetDlgCtrlID(far_label), 60);
  EXPECT_EQ(gadget_handle(0), label);
  EXPECT_EQ(gadget_handle(10), frame);
}

TEST_F(Gadgets, NumbersWithoutAGadgetOrFontAreNothing) {
  for (const ObjectNumber number : {ObjectNumber{7}, ObjectNumber{1000000}, ObjectNumber{-1}})
    EXPECT_EQ(gadget_handle(number), nullptr);
  gadget_set_text(1000000, L"x");
  gadget_set_font(1000000, default_gui_font());
  EXPECT_EQ(font_handle(3), nullptr);
  EXPECT_EQ(font_handle(1000000), nullptr);
  EXPECT_EQ(font_handle(-5), nullptr);
}

TEST_F(Gadgets, GadgetsGoWithTheirWindowAndNeedOne) {
  // The window of number 0 is freed first, then fails to come back.
  EXPECT_EQ(window_open(0, 0, 0, 288, 97, L"", WS_CHILD), nullptr);
  EXPECT_FALSE(IsWindow(label));
  EXPECT_EQ(gadget_handle(0), nullptr);
  EXPECT_EQ(gadget_handle(10), nullptr);
  EXPECT_EQ(label_create(0, 15, 20, 250, 35, L"Please wait", LABEL_CENTER), nullptr);
  EXPECT_EQ(frame_create(10, 14, 8, 253, 50, nullptr), nullptr);
  EXPECT_EQ(gadget_handle(0), nullptr);
}

TEST_F(Gadgets, FontsAreMadeInPointsAndGivenToLabels) {
  const HFONT font = font_load(4, L"MS Sans Serif", 24, FONT_BOLD);
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(font_handle(4), font);
  const HDC display = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
  const int dpi = GetDeviceCaps(display, LOGPIXELSY);
  DeleteDC(display);
  LOGFONTW described{};
  ASSERT_NE(GetObjectW(font, sizeof(described), &described), 0);
  EXPECT_EQ(described.lfHeight, -MulDiv(24, dpi, 72));
  EXPECT_EQ(described.lfWeight, FW_BOLD);
  EXPECT_EQ(described.lfItalic, 0);
  EXPECT_EQ(std::wstring(described.lfFaceName), L"MS Sans Serif");

  gadget_set_font(0, font_handle(4));
  EXPECT_EQ(font_of(label), font);
  EXPECT_EQ(font_of(frame), default_gui_font());
  gadget_set_font(0, reinterpret_cast<HFONT>(static_cast<intptr_t>(-1)));
  EXPECT_EQ(font_of(label), default_gui_font());

  // Loading the number again deletes the font it held.
  EXPECT_NE(font_load(4, L"MS Sans Serif", 10, FONT_ITALIC), nullptr);
  EXPECT_EQ(GetObjectType(font), 0u);
}
