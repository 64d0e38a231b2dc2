#include "facade/objects.h"
#include "facade/runtime.h"
#include "facade/window_gadget.h"

#include <commctrl.h>

namespace {

struct GadgetRecord;

// What differs between gadget kinds; a kind without a routine leaves that step to the system.
struct GadgetKind {
  // Answers a notification the gadget sent to its window; false leaves it to the default.
  bool (*notify)(GadgetRecord* gadget, HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                 LRESULT* answer);
  void (*release)(GadgetRecord* gadget);
};

struct GadgetRecord {
  HWND handle;  // 0 while the number holds no gadget
  const GadgetKind* kind;
  WNDPROC previous_proc;
  int64_t back_colour;   // COLORREF, or -1 for the system's
  int64_t front_colour;  // COLORREF, or -1 for the system's
  HBRUSH back_brush;
};

struct FontRecord {
  HFONT handle;  // 0 while the number holds no font
};

constexpr int32_t GadgetGrowthStep = 50;
constexpr int32_t FontGrowthStep = 16;
constexpr int64_t SystemColour = -1;
constexpr LONG_PTR NoGadgetId = -1;
constexpr DWORD FrameStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | BS_GROUPBOX;
constexpr DWORD LabelStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX;
constexpr uint32_t LabelClientEdge = 0x20000;
constexpr int PointsPerInch = 72;
const wchar_t* const GadgetIdProperty = L"RT_ID";
const HFONT DefaultFontRequest = reinterpret_cast<HFONT>(static_cast<intptr_t>(-1));
// Created controls carry this identifier until they are registered as gadgets.
const HMENU UnregisteredId = reinterpret_cast<HMENU>(static_cast<intptr_t>(NoGadgetId));

ObjectTable* GadgetTable;
ObjectTable* FontTable;
HFONT DefaultGadgetFont;
HFONT CurrentGadgetFont;

bool label_notify(GadgetRecord* gadget, HWND, UINT message, WPARAM wparam, LPARAM,
                  LRESULT* answer) {
  if (message != WM_CTLCOLORSTATIC) return false;
  const auto dc = reinterpret_cast<HDC>(wparam);
  if (gadget->front_colour != SystemColour) {
    SetTextColor(dc, static_cast<COLORREF>(gadget->front_colour));
    if (gadget->back_colour == SystemColour) {
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      *answer = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      return true;
    }
  }
  if (gadget->back_colour == SystemColour) return false;
  SetBkColor(dc, static_cast<COLORREF>(gadget->back_colour));
  *answer = reinterpret_cast<LRESULT>(gadget->back_brush);
  return true;
}

void label_release(GadgetRecord* gadget) {
  if (gadget->back_brush) DeleteObject(gadget->back_brush);
  gadget->back_brush = nullptr;
}

const GadgetKind LabelKind{label_notify, label_release};
const GadgetKind FrameKind{nullptr, nullptr};

GadgetRecord* gadget_of(ObjectNumber number) {
  return static_cast<GadgetRecord*>(object_get(GadgetTable, number));
}

void forget_gadget(HWND control, GadgetRecord* gadget, ObjectNumber number) {
  if (gadget->kind->release) gadget->kind->release(gadget);
  RemovePropW(control, GadgetIdProperty);
  SetWindowLongPtrW(control, GWLP_ID, NoGadgetId);
  object_clear(GadgetTable, number);
}

LRESULT CALLBACK gadget_proc(HWND control, UINT message, WPARAM wparam, LPARAM lparam) {
  const LONG_PTR number = GetWindowLongPtrW(control, GWLP_ID);
  GadgetRecord* gadget = number == NoGadgetId ? nullptr : gadget_of(number);
  if (!gadget || gadget->handle != control)
    return DefWindowProcW(control, message, wparam, lparam);
  // Whatever the control posts while it takes on a new text is caused by that change.
  if (message == WM_SETTEXT) event_text_change_begin();
  const LRESULT answer = CallWindowProcW(gadget->previous_proc, control, message, wparam, lparam);
  if (message == WM_SETTEXT) event_text_change_end();
  if (message == WM_NCDESTROY) forget_gadget(control, gadget, number);
  return answer;
}

void gadget_free(ObjectNumber number) {
  // The control's WM_NCDESTROY clears the record; clearing again covers a control already gone.
  if (const GadgetRecord* gadget = gadget_of(number)) DestroyWindow(gadget->handle);
  object_clear(GadgetTable, number);
}

void font_free(ObjectNumber number) {
  if (const auto* font = static_cast<const FontRecord*>(object_get(FontTable, number)))
    DeleteObject(font->handle);
  object_clear(FontTable, number);
}

HWND gadget_register(ObjectNumber number, GadgetRecord* gadget, HWND control,
                     const GadgetKind* kind) {
  gadget->handle = control;
  gadget->kind = kind;
  gadget->previous_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gadget_proc)));
  SetWindowLongPtrW(control, GWLP_ID, static_cast<LONG_PTR>(number));
  SetPropW(control, GadgetIdProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(number)));
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(CurrentGadgetFont), TRUE);
  return control;
}

// Takes the number's entry only once the control exists: a failed creation leaves the older
// gadget of that number in place.
GadgetRecord* take_entry(ObjectNumber number, HWND control) {
  if (!control) return nullptr;
  auto* gadget = static_cast<GadgetRecord*>(object_slot(GadgetTable, number));
  if (!gadget) DestroyWindow(control);
  return gadget;
}

HWND create_control(DWORD extended_style, const wchar_t* class_name, const wchar_t* text,
                    DWORD style, int32_t x, int32_t y, int32_t width, int32_t height) {
  return CreateWindowExW(extended_style, class_name, text ? text : L"", style, x, y, width, height,
                         gadget_parent(), UnregisteredId, facade_instance(), nullptr);
}

HFONT font_or_default(HFONT font) { return font == DefaultFontRequest ? DefaultGadgetFont : font; }

}  // namespace

void font_start() { FontTable = table_create(sizeof(FontRecord), FontGrowthStep, font_free); }

void gadgets_start() {
  DefaultGadgetFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  CurrentGadgetFont = DefaultGadgetFont;
  GadgetTable = table_create(sizeof(GadgetRecord), GadgetGrowthStep, gadget_free);
  const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), 0x0B48};
  InitCommonControlsEx(&classes);
}

void fonts_end() { object_free_all(FontTable); }

bool gadget_notify(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* answer) {
  HWND control = reinterpret_cast<HWND>(lparam);
  if (message == WM_NOTIFY && lparam) control = reinterpret_cast<const NMHDR*>(lparam)->hwndFrom;
  if (!control) return false;
  const LONG_PTR number = GetWindowLongPtrW(control, GWLP_ID);
  if (reinterpret_cast<intptr_t>(GetPropW(control, GadgetIdProperty)) != number) return false;
  GadgetRecord* gadget = gadget_of(number);
  if (!gadget || gadget->handle != control || !gadget->kind->notify) return false;
  return gadget->kind->notify(gadget, window, message, wparam, lparam, answer);
}

HWND frame_create(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                  const wchar_t* title) {
  const HWND control = create_control(0, L"Button", title, FrameStyle, x, y, width, height);
  GadgetRecord* gadget = take_entry(number, control);
  return gadget ? gadget_register(number, gadget, control, &FrameKind) : nullptr;
}

HWND label_create(ObjectNumber number, int32_t x, int32_t y, int32_t width, int32_t height,
                  const wchar_t* text, uint32_t flags) {
  const DWORD extended_style = (flags & LabelClientEdge) ? WS_EX_CLIENTEDGE : 0;
  const HWND control =
      create_control(extended_style, L"Static", text, flags | LabelStyle, x, y, width, height);
  GadgetRecord* gadget = take_entry(number, control);
  if (!gadget) return nullptr;
  gadget->front_colour = SystemColour;
  gadget->back_colour = SystemColour;
  return gadget_register(number, gadget, control, &LabelKind);
}

HWND gadget_handle(ObjectNumber number) {
  const GadgetRecord* gadget = gadget_of(number);
  return gadget ? gadget->handle : nullptr;
}

void gadget_set_font(ObjectNumber number, HFONT font) {
  if (number == -1) {
    CurrentGadgetFont = font_or_default(font);
    return;
  }
  const GadgetRecord* gadget = gadget_of(number);
  if (!gadget) return;
  SendMessageA(gadget->handle, WM_SETFONT, reinterpret_cast<WPARAM>(font_or_default(font)), TRUE);
}

void gadget_set_text(ObjectNumber number, const wchar_t* text) {
  const GadgetRecord* gadget = gadget_of(number);
  if (!gadget) return;
  // A worker being stopped ends here rather than start another change it cannot finish.
  thread_stop_point();
  event_mute_raise();
  SetWindowTextW(gadget->handle, text ? text : L"");
  event_mute_lower();
}

HFONT font_load(ObjectNumber number, const wchar_t* face, int32_t size, uint32_t flags) {
  auto* font = static_cast<FontRecord*>(object_slot(FontTable, number));
  if (!font) return nullptr;
  const HDC display = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
  if (!display) return nullptr;
  // Negative: the font mapper then matches the character height, not the cell height.
  const int height = -MulDiv(size, GetDeviceCaps(display, LOGPIXELSY), PointsPerInch);
  font->handle = CreateFontW(height, 0, 0, 0, (flags & FONT_BOLD) ? FW_BOLD : FW_NORMAL,
                             (flags & FONT_ITALIC) ? 1 : 0, (flags & FONT_UNDERLINE) ? 1 : 0,
                             (flags & FONT_STRIKEOUT) ? 1 : 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS,
                             (flags & FONT_HIGH_QUALITY) ? PROOF_QUALITY : DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, face);
  DeleteDC(display);
  return font->handle;
}

HFONT font_handle(ObjectNumber number) {
  const auto* font = static_cast<const FontRecord*>(object_get(FontTable, number));
  return font ? font->handle : nullptr;
}
