// The low-level keyboard filter of the locked screen (WH_KEYBOARD_LL). Its
// callback runs on the GUI thread between two messages and must return
// within the system's hook time-out, or Windows drops the filter without a
// word: it only asks SwallowWhileLocked and returns. Windows may also drop a
// filter that was slow once, so the locked screen installs it afresh every
// second (Renew), the new one before the old one goes.
#pragma once

#include <windows.h>

#include "platform/scoped.h"

namespace zalvo::lockscreen::win32 {

class KeyboardFilter {
 public:
  // Installs the filter, or a fresh one in place of the one installed. False
  // when Windows refused it (the one before, if any, stays).
  [[nodiscard]] bool Renew();
  void Remove() { hook_.reset(); }
  bool installed() const { return static_cast<bool>(hook_); }

 private:
  static void Unhook(HHOOK hook) { ::UnhookWindowsHookEx(hook); }
  platform::Scoped<HHOOK, Unhook> hook_;
};

}  // namespace zalvo::lockscreen::win32
