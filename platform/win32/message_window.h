// The message window of the session's desktop: a small window at the bottom
// right of the primary monitor's work area, above every other window
// (WS_EX_TOPMOST), that is shown without activation (WS_EX_NOACTIVATE,
// SW_SHOWNOACTIVATE; a click does not activate it either) and has no task
// bar button (WS_EX_TOOLWINDOW): a game in front keeps the keyboard and
// stays the foreground window. It closes itself when its time has passed or
// at a click. The window lives on a thread of its own, so that Show returns
// at once; a newer text replaces the one shown and starts its time again.
#pragma once

#include <windows.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/win32/scoped.h"

namespace zalvo::win32 {

// The class of the message window; its caption is empty (so that it is not
// listed among the windows with a caption) and its text is that of its one
// STATIC child.
inline constexpr wchar_t kMessageWindowClass[] = L"ZalvoMessageWindow";

class MessageWindow {
 public:
  MessageWindow() = default;
  // Closes a window still shown and waits for its thread.
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  void Show(std::wstring text, std::chrono::milliseconds shown_for);

 private:
  struct Text {
    std::wstring text;
    std::chrono::milliseconds shown_for{0};
  };

  // The window's thread: a window for each text, while texts come.
  void Run();
  // The text, size, place and time of the window (on its thread).
  void Present(HWND window, const Text& text);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  std::mutex mutex_;
  std::optional<Text> pending_;  // given, not yet taken by the window
  HWND window_ = nullptr;        // while it exists
  bool running_ = false;         // the thread has not yet ended
  bool stopping_ = false;
  std::thread thread_;

  // The window's thread's own.
  HWND label_ = nullptr;
  ScopedFont font_;
};

}  // namespace zalvo::win32
