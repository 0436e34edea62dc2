// The station's data folder, %ProgramData%\Zalvo: the service's and the
// set-up's logs are kept there, so only the administrators and SYSTEM may
// change what is in it.
#pragma once

#include <windows.h>
// After windows.h.
#include <aclapi.h>

#include <string>

namespace zalvo::win32 {

// The calls through which a folder gets its rights, in one table that tests
// can swap to make them fail.
struct FolderRightsCalls {
  decltype(&::SetNamedSecurityInfoW) set_named_security_info = &::SetNamedSecurityInfoW;
};
FolderRightsCalls& FolderRightsCallTable();

// Gives the folder the administrators as its owner and a protected DACL:
// Administrators and SYSTEM full control, Users read and execute, inherited
// by everything inside. Throws PlatformError with the system's words for
// why not.
void SecureFolder(const std::wstring& folder);

// %ProgramData%\Zalvo.
std::wstring DataFolderPath();

// The folder, made with its rights when missing, as Windows-1251 text. A
// folder this call made whose rights can't be set is removed again (so that
// the next call tries again rather than use it) and PlatformError says so;
// one that exists is used as it is (the installer checks it beforehand).
std::string PrepareDataFolder(const std::wstring& folder);

}  // namespace zalvo::win32
