// The base of every window of the lock screen: one C++ object per window,
// reached from the window procedure through a static trampoline that stores
// the object's address with the window when it is created (WM_NCCREATE) and
// forgets it when the window is destroyed (WM_NCDESTROY).
#pragma once

#include <windows.h>

#include <string>

namespace zalvo::lockscreen::win32 {

class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  // Destroys the window if it still exists.
  virtual ~Window();

  HWND hwnd() const { return hwnd_; }

  // Destroys the window now (its handlers still run), if it exists.
  void Destroy();

 protected:
  // Registers the class on first use; a class already registered by this
  // process is reused.
  static void RegisterClassOnce(const wchar_t* class_name, UINT style, HBRUSH background);

  // Creates the window of a class registered with RegisterClassOnce; the
  // window's messages go to OnMessage from WM_NCCREATE on. Throws
  // PlatformError when the window can't be created.
  HWND CreateWindowOf(DWORD ex_style, const wchar_t* class_name, const std::wstring& title,
                      DWORD style, int x, int y, int width, int height, HWND parent,
                      UINT_PTR id = 0);

  // The window's own handling; the default is the system's.
  virtual LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  HWND hwnd_ = nullptr;
};

}  // namespace zalvo::lockscreen::win32
