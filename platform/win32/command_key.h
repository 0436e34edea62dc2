// Stores the station's command key where only SYSTEM and the administrators
// can read it (see agent/command_key_store.h for the names).
#pragma once

#include <string_view>

namespace zalvo::win32 {

// Creates HKEY_LOCAL_MACHINE\<path>, or takes the existing key, gives it a
// protected DACL of full access for SYSTEM and the administrators only (no
// entry inherited from SOFTWARE, where every user may read), then writes
// the two string values. Throws PlatformError.
void StoreProtectedValues(std::wstring_view path, std::wstring_view name1, std::string_view data1,
                          std::wstring_view name2, std::string_view data2);

// The key's DACL in SDDL form, for checks.
std::wstring KeyDaclSddl(std::wstring_view path);

}  // namespace zalvo::win32
