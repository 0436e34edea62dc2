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

// No handle is nullptr; CreateFileW's INVALID_HANDLE_VALUE is checked before
// a file's handle is held.
using ScopedHandle = Scoped<HANDLE, CloseHandleValue>;
using ScopedKey = Scoped<HKEY, CloseKey>;
using ScopedServiceHandle = Scoped<SC_HANDLE, CloseService>;

}  // namespace zalvo::win32
