// The Windows session a program runs in, as a whole: its windows, what its
// person sees and hears, its shell, and the machine from the program's own
// account (each role in its own header). A program that acts on another
// session (the service, through its session helper) takes the roles one by
// one from whichever object does each (DesktopRoles).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/machine.h"
#include "platform/presence.h"
#include "platform/shell.h"
#include "platform/top_windows.h"

namespace zalvo::platform {

class Desktop : public TopWindows, public Presence, public Shell, public Machine {
 public:
  // The foreground window; 0 when there is none.
  [[nodiscard]] virtual WindowHandle ForegroundWindow() = 0;

  // All top-level windows in the order the system enumerates them, hidden
  // ones included.
  virtual std::vector<WindowHandle> TopLevelWindows() = 0;

  // The caption of a window, at most kMaxCaption characters; empty when it
  // has none.
  virtual std::string WindowCaption(WindowHandle window) = 0;

  // Asks a window to close, as the Close of its system menu does
  // (WM_SYSCOMMAND SC_CLOSE), and waits for it; a hung window, or one that
  // keeps it waiting for its user's answer, does not hold the caller up for
  // more than a short bound.
  virtual void CloseWindow(WindowHandle window) = 0;

  // The session's own windows are read one call at a time.
  std::vector<CaptionedWindow> TopLevelWindowsWithCaptions() final {
    std::vector<CaptionedWindow> windows;
    for (WindowHandle window : TopLevelWindows()) {
      windows.push_back({window, WindowCaption(window)});
    }
    return windows;
  }
  CaptionedWindow ForegroundWindowWithCaption() final {
    const WindowHandle window = ForegroundWindow();
    return {window, window == 0 ? std::string() : WindowCaption(window)};
  }
};

// The roles of a desktop as the agent takes them: all from one whole
// desktop, or each from the object that does it.
struct DesktopRoles {
  DesktopRoles(Desktop& whole)  // NOLINT(google-explicit-constructor): a whole desktop has them all
      : windows(whole), presence(whole), shell(whole), machine(whole) {}
  DesktopRoles(TopWindows& its_windows, Presence& its_presence, Shell& its_shell,
               Machine& its_machine)
      : windows(its_windows), presence(its_presence), shell(its_shell), machine(its_machine) {}

  TopWindows& windows;
  Presence& presence;
  Shell& shell;
  Machine& machine;
};

}  // namespace zalvo::platform
