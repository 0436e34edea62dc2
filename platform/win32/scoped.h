// The Win32 handle kinds in the one RAII wrapper (platform/scoped.h).
#pragma once

#include <windows.h>

#include "platform/scoped.h"

namespace zalvo::win32 {

using platform::Scoped;

inline void CloseHandleValue(HANDLE h) {
  ::CloseHandle(h);
}
inline void CloseKey(HKEY k) {
  ::RegCloseKey(k);
}
inline void CloseService(SC_HANDLE s) {
  ::CloseServiceHandle(s);
}
inline void CloseFind(HANDLE h) {
  ::FindClose(h);
}
inline void CloseDesktopHandle(HDESK d) {
  ::CloseDesktop(d);
}

// No handle is nullptr; CreateFileW's INVALID_HANDLE_VALUE is checked before
// a file's handle is held.
using ScopedHandle = Scoped<HANDLE, CloseHandleValue>;
using ScopedKey = Scoped<HKEY, CloseKey>;
using ScopedServiceHandle = Scoped<SC_HANDLE, CloseService>;
// A FindFirstFileW search; its INVALID_HANDLE_VALUE is checked before it is held.
using ScopedFind = Scoped<HANDLE, CloseFind>;
using ScopedDesktop = Scoped<HDESK, CloseDesktopHandle>;

// GDI and user objects of the windows.
template <typename T>
void DeleteGdiObject(T object) {
  ::DeleteObject(object);
}
inline void DeleteMemoryDc(HDC dc) {
  ::DeleteDC(dc);
}
inline void ReleaseScreenDc(HDC dc) {
  ::ReleaseDC(nullptr, dc);
}
inline void DestroyIconHandle(HICON icon) {
  ::DestroyIcon(icon);
}
inline void DestroyMenuHandle(HMENU menu) {
  ::DestroyMenu(menu);
}

using ScopedFont = Scoped<HFONT, DeleteGdiObject<HFONT>>;
using ScopedBitmap = Scoped<HBITMAP, DeleteGdiObject<HBITMAP>>;
using ScopedBrush = Scoped<HBRUSH, DeleteGdiObject<HBRUSH>>;
// A device context of CreateCompatibleDC, and the screen's of GetDC(nullptr).
using ScopedMemoryDc = Scoped<HDC, DeleteMemoryDc>;
using ScopedScreenDc = Scoped<HDC, ReleaseScreenDc>;
using ScopedIcon = Scoped<HICON, DestroyIconHandle>;
using ScopedMenu = Scoped<HMENU, DestroyMenuHandle>;

}  // namespace zalvo::win32
