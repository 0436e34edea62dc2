// The top-level windows of a desktop and the processes behind them, as a
// program reads and ends them, each question in one call (so that a desktop
// that is far away, the customer's from the service, answers it in one
// round trip). Captions are Windows-1251.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

// A top-level window, as the system's window handle value.
using WindowHandle = uint64_t;

// The longest caption read from a window: 255 characters with the terminator.
inline constexpr size_t kMaxCaption = 254;

class TopWindows {
 public:
  virtual ~TopWindows() = default;

  // A window with its caption (at most kMaxCaption characters; empty when it
  // has none).
  struct CaptionedWindow {
    WindowHandle handle = 0;
    std::string caption;
  };

  // All top-level windows with their captions, in the order the system
  // enumerates them, hidden ones included.
  virtual std::vector<CaptionedWindow> TopLevelWindowsWithCaptions() = 0;

  // The foreground window with its caption; handle 0 and no caption when
  // there is none.
  virtual CaptionedWindow ForegroundWindowWithCaption() = 0;

  // The first top-level window whose caption equals the text, compared as
  // the system compares window titles (without regard to case); 0 when none.
  [[nodiscard]] virtual WindowHandle FindWindowByCaption(std::string_view caption) = 0;

  // The process that created the window; 0 when the window is gone.
  [[nodiscard]] virtual uint32_t WindowProcessId(WindowHandle window) = 0;

  // Opens the process for termination only (the handle not inheritable) and
  // terminates it with the exit code; false when either step failed.
  [[nodiscard]] virtual bool TerminateProcess(uint32_t process_id, uint32_t exit_code) = 0;

  // Ends the process that owns the first top-level window with the caption
  // (compared as FindWindowByCaption does), as one step: the process is
  // opened for termination, and ended only when the window still belongs to
  // it then, so that a window that changed hands meanwhile ends nothing.
  struct OwnerEnd {
    uint32_t process_id = 0;  // 0: no window has the caption
    bool ended = false;       // false: it could not be opened or ended
  };
  [[nodiscard]] virtual OwnerEnd EndWindowOwner(std::string_view caption, uint32_t exit_code) = 0;
};

}  // namespace zalvo::platform
