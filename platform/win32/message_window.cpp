#include "platform/win32/message_window.h"

#include <algorithm>

namespace zalvo::win32 {
namespace {

constexpr DWORD kStyle = WS_POPUP | WS_BORDER;
constexpr DWORD kExStyle = WS_EX_TOPMOST | WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW;
// The text wraps at this width (at 96 dots per inch), words longer than a
// line included; the window keeps this far from the work area's edges and
// its text this far from its border.
constexpr int kTextWidth = 360;
constexpr int kMargin = 16;
constexpr int kPadding = 12;
constexpr UINT kLabelFormat = DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;

constexpr UINT_PTR kCloseTimer = 1;
// Posted to the window when a newer text waits.
constexpr UINT kTakeText = WM_APP + 1;

void RegisterClassOnce(WNDPROC procedure) {
  static std::once_flag once;
  std::call_once(once, [procedure] {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = GetSysColorBrush(COLOR_INFOBK);
    window_class.lpszClassName = kMessageWindowClass;
    RegisterClassExW(&window_class);
  });
}

int Scaled(int value, int dpi) {
  return MulDiv(value, dpi, 96);
}

}  // namespace

MessageWindow::~MessageWindow() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (window_ != nullptr) {
      PostMessageW(window_, WM_CLOSE, 0, 0);
    }
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

void MessageWindow::Show(std::wstring text, std::chrono::milliseconds shown_for) {
  std::lock_guard lock(mutex_);
  pending_ = Text{std::move(text), shown_for};
  if (running_) {
    // A window shown takes the text now; between two windows, or before
    // the first, the thread takes it for the next.
    if (window_ != nullptr) {
      PostMessageW(window_, kTakeText, 0, 0);
    }
    return;
  }
  // A thread that has ended does nothing more: it is joined at once.
  if (thread_.joinable()) {
    thread_.join();
  }
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void MessageWindow::Run() {
  RegisterClassOnce(&WindowProc);
  for (;;) {
    Text text;
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || !pending_) {
        running_ = false;
        return;
      }
      text = std::move(*pending_);
      pending_.reset();
    }
    HWND window = CreateWindowExW(kExStyle, kMessageWindowClass, L"", kStyle, 0, 0, 0, 0, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) {
      continue;  // the text is lost; a newer one tries again
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    // A STATIC without SS_NOTIFY lets clicks through to the window.
    label_ = CreateWindowExW(0, L"STATIC", L"",
                             WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, 0, 0,
                             0, 0, window, nullptr, GetModuleHandleW(nullptr), nullptr);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      LOGFONTW font = metrics.lfMessageFont;
      font.lfHeight = font.lfHeight * 4 / 3;
      font_.reset(CreateFontIndirectW(&font));
      SendMessageW(label_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    }
    Present(window, text);
    bool stop_now = false;
    {
      std::lock_guard lock(mutex_);
      window_ = window;
      stop_now = stopping_;
    }
    if (stop_now) {
      DestroyWindow(window);
    } else {
      ShowWindow(window, SW_SHOWNOACTIVATE);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    label_ = nullptr;
    font_.reset();
  }
}

void MessageWindow::Present(HWND window, const Text& text) {
  SetWindowTextW(label_, text.text.c_str());
  RECT room{};
  {
    HDC dc = GetDC(label_);
    const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
    room.right = Scaled(kTextWidth, dpi);
    if (dc != nullptr) {
      HGDIOBJ before = SelectObject(dc, font_ ? font_.get() : GetStockObject(DEFAULT_GUI_FONT));
      DrawTextW(dc, text.text.c_str(), static_cast<int>(text.text.size()), &room,
                kLabelFormat | DT_CALCRECT);
      SelectObject(dc, before);
      ReleaseDC(label_, dc);
    }
    const int padding = Scaled(kPadding, dpi);
    const int margin = Scaled(kMargin, dpi);
    MoveWindow(label_, padding, padding, room.right, room.bottom, FALSE);
    RECT frame{0, 0, room.right + 2 * padding, room.bottom + 2 * padding};
    AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    SetWindowPos(window, HWND_TOPMOST, std::max(work.left, work.right - width - margin),
                 std::max(work.top, work.bottom - height - margin), width, height, SWP_NOACTIVATE);
  }
  InvalidateRect(window, nullptr, TRUE);
  // The same timer again: its time starts anew.
  const auto ms = std::clamp<int64_t>(text.shown_for.count(), USER_TIMER_MINIMUM, 0x7FFFFFFF);
  SetTimer(window, kCloseTimer, static_cast<UINT>(ms), nullptr);
}

LRESULT CALLBACK MessageWindow::WindowProc(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  auto* self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) {  // the messages of its creation
    return DefWindowProcW(window, message, wparam, lparam);
  }
  switch (message) {
    case kTakeText: {
      std::optional<Text> text;
      {
        std::lock_guard lock(self->mutex_);
        text.swap(self->pending_);
      }
      if (text) {
        self->Present(window, *text);
      }
      return 0;
    }
    case WM_MOUSEACTIVATE:
      return MA_NOACTIVATE;
    case WM_TIMER:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
      DestroyWindow(window);
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
      SetBkColor(dc, GetSysColor(COLOR_INFOBK));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_INFOBK));
    }
    case WM_DESTROY: {
      std::lock_guard lock(self->mutex_);
      self->window_ = nullptr;
      PostQuitMessage(0);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace zalvo::win32
