// GoogleTest customisation for mingw-w64's win32 thread model, whose C++ library (GCC 12) has
// no std::mutex or std::condition_variable. GoogleTest uses them only for Notification, which
// is given here on a Win32 event instead.
#pragma once

#if defined(__MINGW32__)
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif
