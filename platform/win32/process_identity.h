// Which program file a process runs, told by the file itself rather than by
// its name: a copy of a program elsewhere, or another program given its
// name, is not that program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zalvo::win32 {

// The full path of this program's file.
std::wstring ModulePath();

// The full path of the process's program file (QueryFullProcessImageNameW);
// nullopt when the process can't be opened or asked.
std::optional<std::wstring> ProcessImagePath(uint32_t process_id);

// Whether two paths name one file: the same full path without regard to
// case, or the same volume and file index.
bool SameFile(const std::wstring& a, const std::wstring& b);

// Whether the process runs the program file.
bool ProcessRunsFile(uint32_t process_id, const std::wstring& program);

}  // namespace zalvo::win32
