#include "lockscreen/win32/window.h"

#include "platform/win32/error.h"

namespace zalvo::lockscreen::win32 {

Window::~Window() {
  Destroy();
}

void Window::Destroy() {
  if (hwnd_ != nullptr) {
    DestroyWindow(hwnd_);
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
  HWND hwnd = CreateWindowExW(ex_style, class_name, title.c_str(), style, x, y, width, height,
                              parent, reinterpret_cast<HMENU>(id), GetModuleHandleW(nullptr), this);
  if (hwnd == nullptr) {
    zalvo::win32::ThrowLastError("CreateWindowEx");
  }
  return hwnd;
}

LRESULT Window::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

LRESULT CALLBACK Window::Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
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
