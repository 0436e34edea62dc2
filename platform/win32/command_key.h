// Stores the station's command key where only SYSTEM and the administrators
// can read it (see agent/command_key_store.h for the names).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zalvo::win32 {

// A value to store: a string (Windows-1251) or, with is_dword, a DWORD.
struct ProtectedValue {
  std::wstring_view name;
  std::string_view text;
  uint32_t dword = 0;
  bool is_dword = false;
};

// Creates HKEY_LOCAL_MACHINE\<path>, or takes the existing key, gives it a
// protected DACL of full access for SYSTEM and the administrators only (no
// entry inherited from SOFTWARE, where every user may read), then writes
// the values. Throws PlatformError.
void StoreProtectedValues(std::wstring_view path, std::initializer_list<ProtectedValue> values);

// Creates HKEY_LOCAL_MACHINE\<path>, or takes the existing key, and gives it
// the same protected DACL. Throws PlatformError.
void ProtectKey(std::wstring_view path);

// Deletes those of the values that exist under HKEY_LOCAL_MACHINE\<path>;
// the number deleted. A missing key deletes nothing. Throws PlatformError.
int DeleteValues(std::wstring_view path, std::initializer_list<std::wstring_view> names);

// The key's DACL in SDDL form, for checks.
std::wstring KeyDaclSddl(std::wstring_view path);

}  // namespace zalvo::win32
