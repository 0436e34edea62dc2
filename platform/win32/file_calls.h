// The kernel32 calls through which a settings file is written, in one table
// that tests can swap to make one step fail.
#pragma once

#include <windows.h>

namespace zalvo::win32 {

struct FileCalls {
  decltype(&::WriteFile) write_file = &::WriteFile;
  decltype(&::FlushFileBuffers) flush_file_buffers = &::FlushFileBuffers;
  decltype(&::MoveFileExW) move_file = &::MoveFileExW;
};

// The table Win32Files::Replace calls through.
FileCalls& ReplaceFileCalls();

}  // namespace zalvo::win32
