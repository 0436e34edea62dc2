#include "lockscreen/win32/keyboard_filter.h"

#include "lockscreen/cover.h"

namespace zalvo::lockscreen::win32 {
namespace {

LRESULT CALLBACK FilterKey(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    const auto* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
    // Alt as the event's own flag says, or as the keyboard's state does
    // (injected keys may lack the flag).
    const bool alt =
        (event->flags & LLKHF_ALTDOWN) != 0 || (GetAsyncKeyState(VK_MENU) & 0x8000) != 0;
    const KeyStroke key{event->vkCode, alt, (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0};
    if (SwallowWhileLocked(key)) {
      return 1;
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

bool KeyboardFilter::Renew() {
  HHOOK fresh = SetWindowsHookExW(WH_KEYBOARD_LL, FilterKey, GetModuleHandleW(nullptr), 0);
  if (fresh == nullptr) {
    return false;
  }
  hook_.reset(fresh);
  return true;
}

}  // namespace zalvo::lockscreen::win32
