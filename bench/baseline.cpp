// The practical limit of a GPU temperature window: one window with one frame and one label per
// GPU, relabelled once a second from a worker thread, and nothing else. The benchmark measures
// the monitor against it. The number of rows is the first argument (default 8).
#include <windows.h>

namespace {

constexpr int DefaultRows = 8;
constexpr int MaximumRows = 64;
constexpr int ClientWidth = 280;
constexpr int RowHeight = 61;
constexpr DWORD PassPeriodMs = 1000;
const wchar_t* const ClassName = L"BaselineWindow";

HWND Labels[MaximumRows];
int Rows;

int rows_from(const wchar_t* arguments) {
  int rows = 0;
  while (*arguments == L' ') ++arguments;
  for (; *arguments >= L'0' && *arguments <= L'9'; ++arguments)
    rows = rows * 10 + (*arguments - L'0');
  if (rows < 1) return DefaultRows;
  return rows > MaximumRows ? MaximumRows : rows;
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND open_window(HINSTANCE instance) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_BTNFACE + 1));
  window_class.lpszClassName = ClassName;
  RegisterClassW(&window_class);
  const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT outer{0, 0, ClientWidth, Rows * RowHeight};
  AdjustWindowRect(&outer, style, FALSE);
  return CreateWindowExW(0, ClassName, L"GPU Temperature", style, CW_USEDEFAULT, CW_USEDEFAULT,
                         outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                         instance, nullptr);
}

void build_rows(HWND window, HINSTANCE instance) {
  wchar_t title[32];
  for (int row = 0; row < Rows; ++row) {
    wsprintfW(title, L"GPU # %d", row);
    CreateWindowExW(0, L"Button", title, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 14, 55 * row + 8, 253,
                    50, window, nullptr, instance, nullptr);
    Labels[row] = CreateWindowExW(0, L"Static", L"Please wait", WS_CHILD | WS_VISIBLE | SS_CENTER,
                                  15, 55 * row + 20, 250, 35, window, nullptr, instance, nullptr);
  }
}

// A reading-like text that changes every pass, so that every label repaints every second.
void make_text(wchar_t (&text)[32], unsigned pass, int row) {
  const int celsius = 40 + static_cast<int>((pass * 7 + static_cast<unsigned>(row) * 5) % 36);
  wsprintfW(text,
            L"%d\x00b0"
            L"C  (%d \x00b0"
            L"F)",
            celsius, celsius * 9 / 5 + 32);
}

DWORD WINAPI relabel(void*) {
  wchar_t text[32];
  for (unsigned pass = 0;; ++pass) {
    for (int row = 0; row < Rows; ++row) {
      make_text(text, pass, row);
      SetWindowTextW(Labels[row], text);
    }
    Sleep(PassPeriodMs);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int) {
  Rows = rows_from(arguments);
  const HWND window = open_window(instance);
  build_rows(window, instance);
  ShowWindow(window, SW_SHOWNORMAL);
  CloseHandle(CreateThread(nullptr, 0, relabel, nullptr, 0, nullptr));
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // Ends the worker too, wherever it is.
  ExitProcess(0);
}
