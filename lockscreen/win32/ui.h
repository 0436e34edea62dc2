// Small helpers of the lock screen's windows: the RAII wrappers of GDI
// objects, icons and menus (platform/win32/scoped.h), the fonts, window texts in Windows-1251, and
// child controls.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/scoped.h"

namespace zalvo::lockscreen::win32 {

using zalvo::win32::ScopedBitmap;
using zalvo::win32::ScopedBrush;
using zalvo::win32::ScopedFont;
using zalvo::win32::ScopedIcon;
using zalvo::win32::ScopedMemoryDc;
using zalvo::win32::ScopedMenu;
using zalvo::win32::ScopedScreenDc;

// A font of the given point size (or, with a negative size, pixel height).
ScopedFont MakeFont(const wchar_t* face, int points, bool bold = false);
// 8-point "MS Sans Serif", the font of every control.
ScopedFont MakeControlFont();

// Window texts as the system's Windows-1251 text.
std::string GetText(HWND hwnd);
void SetText(HWND hwnd, const std::string& cp1251);
// A UTF-8 literal of strings.h as a wide string for a window.
std::wstring Wide(std::string_view utf8);

// Creates a child control of a system class with the font set. Its close,
// and an end this program did not cause, are dropped (Window::Destroying).
HWND CreateControl(HWND parent, const wchar_t* window_class, const std::wstring& text, DWORD style,
                   DWORD ex_style, int x, int y, int width, int height, int id, HFONT font);

// A 32 by 32 icon in the 16 standard colours: the lock screen's mark.
ScopedIcon MakeTrayIcon();

}  // namespace zalvo::lockscreen::win32
