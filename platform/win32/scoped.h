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
inline void FreeLocal(HLOCAL memory) {
  ::LocalFree(memory);
}

// A kernel object's handle: most calls answer "none" with nullptr, those of
// files, pipes, searches and snapshots (CreateFileW, CreateNamedPipeW,
// FindFirstFileW, CreateToolhelp32Snapshot) with INVALID_HANDLE_VALUE.
// Neither is held: the holder takes whatever the call gave, tests false for
// both and closes neither.
struct KernelHandlePolicy {
  static HANDLE None() { return nullptr; }
  static bool Holds(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
};

using ScopedHandle = Scoped<HANDLE, CloseHandleValue, KernelHandlePolicy>;
using ScopedKey = Scoped<HKEY, CloseKey>;
using ScopedServiceHandle = Scoped<SC_HANDLE, CloseService>;
// A FindFirstFileW search.
using ScopedFind = Scoped<HANDLE, CloseFind, KernelHandlePolicy>;
using ScopedDesktop = Scoped<HDESK, CloseDesktopHandle>;
// Memory the system allocated for the caller with LocalAlloc: a security
// descriptor, a SID as text, an argument list.
using ScopedLocal = Scoped<HLOCAL, FreeLocal>;

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
