// The base of every window of the lock screen: one C++ object per window,
// reached from the window procedure through a static trampoline that stores
// the object's address with the window when it is created (WM_NCCREATE) and
// forgets it when the window is destroyed (WM_NCDESTROY).
//
// Any program of the session may send or post any message to these
// windows. The trampoline takes the messages of a window's birth and end
// only while this program creates or destroys a window itself (a
// WM_NCCREATE, WM_DESTROY or WM_NCDESTROY from another program is dropped),
// and a WM_NOTIFY only when its header can be read and comes from a window
// of this thread. A WM_CLOSE closes none of the program's windows unless the
// window handles it itself (the system's handling would destroy it).
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "platform/log_sink.h"

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

  // Whether this program is destroying a window of its own just now: the
  // only time a WM_DESTROY or WM_NCDESTROY is the system's.
  static bool Destroying() { return destroying_ > 0; }
  // Where the first message of each kind that another program sent or
  // posted to drop is told (the program's log).
  static void SetForeignMessageLog(platform::LogSink log) { foreign_log_ = std::move(log); }
  // A message of that kind from another program was dropped.
  static void ForeignMessageDropped(std::string_view what);

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
  // Whether a message that only this program may cause came from another.
  static bool Foreign(HWND hwnd, UINT message, LPARAM lparam);

  HWND hwnd_ = nullptr;

  // All of the program's windows live on its one GUI thread.
  static inline int creating_ = 0;
  static inline int destroying_ = 0;
  static inline platform::LogSink foreign_log_;
  static inline std::set<std::string, std::less<>> foreign_said_;
};

}  // namespace zalvo::lockscreen::win32
