// The program's hidden top-level window, which owns the other windows so
// that none of them has a task-bar button, and the message loops: the
// program's own and the modal one of the settings dialog. Keyboard messages
// of the windows that act as dialogs (the settings dialog, the log-in panel)
// go through IsDialogMessage, so Tab moves between their controls and Enter
// presses the log-in panel's default button.
//
// Any program may post WM_QUIT to this one, or WM_CLOSE to the hidden
// window (which, closed, would take every window it owns with it): the
// loops end only when the program itself asked (Quit), and the window
// closes at nobody's message.
#pragma once

#include <functional>
#include <vector>

#include "lockscreen/win32/window.h"

namespace zalvo::lockscreen::win32 {

class Application final : public Window {
 public:
  void Create();

  // Keyboard messages of this window and its children go through
  // IsDialogMessage.
  void AddDialogContainer(HWND container) { containers_.push_back(container); }

  // Ends the program's loops with the exit code.
  void Quit(int exit_code);

  // Runs until the program quits; returns the exit code.
  int Run();
  // Runs while the condition holds. The program's quit meanwhile ends it
  // and is posted again for the outer loop.
  void RunWhile(const std::function<bool()>& condition);
  // Handles the messages already waiting, then returns.
  void ProcessPendingMessages();

 private:
  void Dispatch(MSG& msg);
  // Whether a WM_QUIT retrieved is the program's own; another program's is
  // dropped.
  bool OwnQuit();

  std::vector<HWND> containers_;
  bool quitting_ = false;
  int exit_code_ = 0;
};

// A plain child window that holds controls: the log-in panel and the pages
// of the settings dialog. It passes its controls' notifications to its
// parent, and it names its default button to IsDialogMessage.
class Panel final : public Window {
 public:
  void Create(HWND parent, int id, int x, int y, int width, int height, bool raised, bool visible,
              int default_button = 0);

 protected:
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  bool raised_ = false;
  int default_button_ = 0;
};

}  // namespace zalvo::lockscreen::win32
