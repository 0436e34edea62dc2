#include "platform/win32/command_key.h"

#include <windows.h>
#include <sddl.h>

#include <string>

#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

// Protected (no inherited entries); full key access for SYSTEM and the
// built-in administrators, for the key and what it may hold.
constexpr wchar_t kAdminsOnly[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

void Check(LSTATUS status, std::string_view what) {
  if (status != ERROR_SUCCESS) {
    ThrowError(what, static_cast<uint32_t>(status));
  }
}

void WriteString(HKEY key, std::wstring_view name, std::string_view data) {
  std::wstring wide = Widen(data);
  Check(::RegSetValueExW(key, std::wstring(name).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(wide.c_str()),
                         static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
        "RegSetValueExW");
}

// The key, created or opened, with the admins-only DACL set: a key that
// existed before keeps its old DACL unless it is set here.
ScopedKey CreateProtected(std::wstring_view path) {
  ScopedLocal sd;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminsOnly, SDDL_REVISION_1,
                                                              sd.put(), nullptr)) {
    ThrowLastError("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, sd.get(), FALSE};
  ScopedKey key;
  Check(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::wstring(path).c_str(), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | WRITE_DAC, &attributes,
                          key.put(), nullptr),
        "RegCreateKeyExW");
  Check(::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, sd.get()), "RegSetKeySecurity");
  return key;
}

}  // namespace

void ProtectKey(std::wstring_view path) {
  (void)CreateProtected(path);
}

void StoreProtectedValues(std::wstring_view path, std::initializer_list<ProtectedValue> values) {
  // The values are written only once the key is closed to other accounts.
  ScopedKey key = CreateProtected(path);
  for (const ProtectedValue& value : values) {
    if (value.is_dword) {
      DWORD data = value.dword;
      Check(::RegSetValueExW(key.get(), std::wstring(value.name).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&data), sizeof data),
            "RegSetValueExW");
    } else {
      WriteString(key.get(), value.name, value.text);
    }
  }
}

int DeleteValues(std::wstring_view path, std::initializer_list<std::wstring_view> names) {
  ScopedKey key;
  LSTATUS status =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::wstring(path).c_str(), 0, KEY_SET_VALUE, key.put());
  if (status == ERROR_FILE_NOT_FOUND) {
    return 0;
  }
  Check(status, "RegOpenKeyExW");
  int deleted = 0;
  for (std::wstring_view name : names) {
    status = ::RegDeleteValueW(key.get(), std::wstring(name).c_str());
    if (status == ERROR_SUCCESS) {
      ++deleted;
    } else if (status != ERROR_FILE_NOT_FOUND) {
      Check(status, "RegDeleteValueW");
    }
  }
  return deleted;
}

std::wstring KeyDaclSddl(std::wstring_view path) {
  ScopedKey key;
  Check(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::wstring(path).c_str(), 0, READ_CONTROL, key.put()),
        "RegOpenKeyExW");
  DWORD size = 0;
  ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
  std::string buffer(size, '\0');
  Check(::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, buffer.data(), &size),
        "RegGetKeySecurity");
  ScopedLocal text;
  LPWSTR sddl = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          buffer.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    ThrowLastError("ConvertSecurityDescriptorToStringSecurityDescriptorW");
  }
  text.reset(sddl);
  return sddl;
}

}  // namespace zalvo::win32
