#include "lockscreen/win32/ui.h"

#include <commctrl.h>

#include "lockscreen/strings.h"
#include "lockscreen/win32/window.h"
#include "platform/win32/error.h"
#include "platform/win32/wide.h"

namespace zalvo::lockscreen::win32 {
namespace {

// A control's messages first: a close (which the system's handling of a
// control turns into its end) and an end this program did not cause are
// dropped.
LRESULT CALLBACK GuardControl(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id,
                              DWORD_PTR /*data*/) {
  switch (message) {
    case WM_CLOSE:
      return 0;
    case WM_DESTROY:
    case WM_NCDESTROY:
      if (!Window::Destroying()) {
        Window::ForeignMessageDropped(message == WM_DESTROY ? "WM_DESTROY" : "WM_NCDESTROY");
        return 0;
      }
      if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, GuardControl, id);
      }
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, message, wparam, lparam);
}

}  // namespace

ScopedFont MakeFont(const wchar_t* face, int points, bool bold) {
  int height = points;
  if (points > 0) {
    ScopedScreenDc screen(GetDC(nullptr));
    height = -MulDiv(points, GetDeviceCaps(screen.get(), LOGPIXELSY), 72);
  }
  return ScopedFont(CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                                RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face));
}

ScopedFont MakeControlFont() {
  return MakeFont(L"MS Sans Serif", 8);
}

std::string GetText(HWND hwnd) {
  int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  int n = GetWindowTextW(hwnd, text.data(), length + 1);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return zalvo::win32::Narrow(text);
}

void SetText(HWND hwnd, const std::string& cp1251) {
  SetWindowTextW(hwnd, zalvo::win32::Widen(cp1251).c_str());
}

std::wstring Wide(std::string_view utf8) {
  return zalvo::win32::Widen(strings::Cp1251(utf8));
}

HWND CreateControl(HWND parent, const wchar_t* window_class, const std::wstring& text, DWORD style,
                   DWORD ex_style, int x, int y, int width, int height, int id, HFONT font) {
  HWND hwnd = CreateWindowExW(ex_style, window_class, text.c_str(), WS_CHILD | style, x, y, width,
                              height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), nullptr);
  if (hwnd == nullptr) {
    zalvo::win32::ThrowLastError("CreateWindowEx");
  }
  SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SetWindowSubclass(hwnd, GuardControl, 1, 0);
  return hwnd;
}

ScopedIcon MakeTrayIcon() {
  constexpr int kSize = 32;
  ScopedBitmap color;
  ScopedMemoryDc memory;
  {
    ScopedScreenDc screen(GetDC(nullptr));
    color.reset(CreateCompatibleBitmap(screen.get(), kSize, kSize));
    memory.reset(CreateCompatibleDC(screen.get()));
  }
  ScopedBitmap mask(CreateBitmap(kSize, kSize, 1, 1, nullptr));
  HDC dc = memory.get();

  // The picture: a teal square with a white frame and a yellow "Z".
  HGDIOBJ old = SelectObject(dc, color.get());
  ScopedBrush teal(CreateSolidBrush(RGB(0, 128, 128)));
  RECT all{0, 0, kSize, kSize};
  FillRect(dc, &all, teal.get());
  ScopedBrush white(CreateSolidBrush(RGB(255, 255, 255)));
  FrameRect(dc, &all, white.get());
  ScopedBrush yellow(CreateSolidBrush(RGB(255, 255, 0)));
  RECT top{7, 6, 25, 10}, bottom{7, 22, 25, 26};
  FillRect(dc, &top, yellow.get());
  FillRect(dc, &bottom, yellow.get());
  for (int i = 0; i < 12; ++i) {
    RECT step{21 - i, 10 + i, 25 - i, 11 + i};
    FillRect(dc, &step, yellow.get());
  }
  // The mask: every pixel opaque.
  SelectObject(dc, mask.get());
  PatBlt(dc, 0, 0, kSize, kSize, BLACKNESS);
  SelectObject(dc, old);

  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmMask = mask.get();
  info.hbmColor = color.get();
  return ScopedIcon(CreateIconIndirect(&info));
}

}  // namespace zalvo::lockscreen::win32
