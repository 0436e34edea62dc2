#include "lockscreen/win32/window.h"

#include "platform/win32/error.h"

namespace zalvo::lockscreen::win32 {

Window::~Window() {
  Destroy();
}

void Window::Destroy() {
  if (hwnd_ != nullptr) {
    ++destroying_;
    DestroyWindow(hwnd_);
    --destroying_;
  }
}

void Window::ForeignMessageDropped(std::string_view what) {
  if (foreign_said_.find(what) != foreign_said_.end()) {
    return;
  }
  foreign_said_.emplace(what);
  foreign_log_("a " + std::string(what) +
               " from another program was ignored (further ones are not logged)");
}

bool Window::Foreign(HWND hwnd, UINT message, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      // Only while this program creates a window, and only the first one.
      return creating_ == 0 || GetWindowLongPtrW(hwnd, GWLP_USERDATA) != 0;
    case WM_DESTROY:
    case WM_NCDESTROY:
      return destroying_ == 0;
    case WM_NOTIFY: {
      // Its header is where the sender says; another program's pointer may
      // point anywhere in this process. Read without faulting.
      NMHDR header{};
      SIZE_T read = 0;
      if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(lparam), &header,
                             sizeof header, &read) ||
          read != sizeof header) {
        return true;
      }
      return GetWindowThreadProcessId(header.hwndFrom, nullptr) != GetCurrentThreadId();
    }
    default:
      return false;
  }
}

void Window::RegisterClassOnce(const wchar_t* class_name, UINT style, HBRUSH background) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(instance, class_name, &existing)) {
    return;
  }
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = Procedure;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = background;
  wc.lpszClassName = class_name;
  if (RegisterClassExW(&wc) == 0) {
    zalvo::win32::ThrowLastError("RegisterClassEx");
  }
}

HWND Window::CreateWindowOf(DWORD ex_style, const wchar_t* class_name, const std::wstring& title,
                            DWORD style, int x, int y, int width, int height, HWND parent,
                            UINT_PTR id) {
  ++creating_;
  HWND hwnd = CreateWindowExW(ex_style, class_name, title.c_str(), style, x, y, width, height,
                              parent, reinterpret_cast<HMENU>(id), GetModuleHandleW(nullptr), this);
  const DWORD error = GetLastError();
  --creating_;
  if (hwnd == nullptr) {
    SetLastError(error);
    zalvo::win32::ThrowLastError("CreateWindowEx");
  }
  return hwnd;
}

LRESULT Window::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    return 0;  // the system's handling would destroy the window
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

LRESULT CALLBACK Window::Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (Foreign(hwnd, message, lparam)) {
    switch (message) {
      case WM_NCCREATE:
        ForeignMessageDropped("WM_NCCREATE");
        break;
      case WM_NOTIFY:
        ForeignMessageDropped("WM_NOTIFY");
        break;
      default:
        ForeignMessageDropped(message == WM_DESTROY ? "WM_DESTROY" : "WM_NCDESTROY");
        break;
    }
    return 0;
  }
  Window* self = nullptr;
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    self = static_cast<Window*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (self == nullptr) {
    // Messages before WM_NCCREATE (WM_GETMINMAXINFO) and after WM_NCDESTROY.
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  LRESULT result = self->OnMessage(message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return result;
}

}  // namespace zalvo::lockscreen::win32
