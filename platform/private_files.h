// Files that only their owner reads, for the command keys: created with the
// owner's rights alone, and checked for rights that others hold.
#pragma once

#include <string>
#include <string_view>

namespace zalvo::platform {

// Creates the file with the content, readable and writable by its owner
// only (mode 0600; on Windows a protected DACL for the user, the
// administrators and SYSTEM). An existing file is never written over: it
// throws PlatformError, as does any other failure (and then no file is
// left). The path is Windows-1251 text.
void CreatePrivateFile(const std::string& path, std::string_view content);

// Who besides the file's owner (and the administrators and SYSTEM on
// Windows) may read or change the file: empty when nobody, else a sentence
// saying who and how to fix it. Throws PlatformError when the file's rights
// can't be read.
[[nodiscard]] std::string OthersMayRead(const std::string& path);

}  // namespace zalvo::platform
