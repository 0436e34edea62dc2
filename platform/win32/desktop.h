// The Windows session through user32, advapi32, kernel32 and shell32, as
// the session the calling process runs in sees it.
#pragma once

#include <memory>

#include "platform/desktop.h"

namespace zalvo::win32 {

std::unique_ptr<platform::Desktop> MakeWin32Desktop();

}  // namespace zalvo::win32
