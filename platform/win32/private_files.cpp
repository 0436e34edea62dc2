#include "platform/private_files.h"

#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::platform {
namespace {

// The user this program runs as, from its token.
std::vector<BYTE> TokenUser() {
  win32::ScopedHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    win32::ThrowLastError("OpenProcessToken");
  }
  DWORD size = 0;
  ::GetTokenInformation(token.get(), ::TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (!::GetTokenInformation(token.get(), ::TokenUser, user.data(), size, &size)) {
    win32::ThrowLastError("GetTokenInformation");
  }
  return user;
}

PSID UserSid(std::vector<BYTE>& user) {
  return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) {
    win32::ThrowLastError("ConvertSidToStringSidW");
  }
  win32::ScopedLocal owned(text);
  return text;
}

// The account's name, or its SID when it has none.
std::string AccountName(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_size = 256;
  DWORD domain_size = 256;
  SID_NAME_USE use{};
  if (::LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    return win32::Narrow(name);
  }
  return win32::Narrow(SidText(sid));
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return ::IsWellKnownSid(sid, type) != FALSE;
}

}  // namespace

void CreatePrivateFile(const std::string& path, std::string_view content) {
  std::vector<BYTE> user = TokenUser();
  // Protected: nothing inherited from the folder; full control for the user,
  // the administrators and SYSTEM.
  const std::wstring sddl = L"D:P(A;;FA;;;" + SidText(UserSid(user)) + L")(A;;FA;;;BA)(A;;FA;;;SY)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    win32::ThrowLastError("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  win32::ScopedLocal owned_descriptor(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const std::wstring wide = win32::Widen(path);
  win32::ScopedHandle file(::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    DWORD code = ::GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
      throw platform::SystemError(path + " exists already (a key file is never written over)",
                                  code);
    }
    win32::ThrowError("CreateFileW " + path, code);
  }
  DWORD written = 0;
  if (!::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                   nullptr) ||
      written != content.size() || !::FlushFileBuffers(file.get())) {
    DWORD code = ::GetLastError();
    file.reset();
    ::DeleteFileW(wide.c_str());
    win32::ThrowError("WriteFile " + path, code);
  }
}

std::string OthersMayRead(const std::string& path) {
  std::wstring wide = win32::Widen(path);
  PACL dacl = nullptr;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD status = ::GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    win32::ThrowError("GetNamedSecurityInfoW " + path, status);
  }
  win32::ScopedLocal owned_descriptor(descriptor);
  const std::string fix = ": give it rights for you and the administrators only (icacls \"" + path +
                          "\" /inheritance:r /grant:r \"%USERNAME%\":F /grant:r *S-1-5-32-544:F)";
  if (dacl == nullptr) {
    return path + " may be read or changed by every user (it has no access list)" + fix;
  }
  std::vector<BYTE> user = TokenUser();
  std::string others;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) {
      continue;
    }
    auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    constexpr ACCESS_MASK kReadOrChange = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                          GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC |
                                          WRITE_OWNER;
    if ((allowed->Mask & kReadOrChange) == 0) {
      continue;
    }
    PSID sid = &allowed->SidStart;
    if (::EqualSid(sid, UserSid(user)) || (owner != nullptr && ::EqualSid(sid, owner)) ||
        IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid) ||
        IsWellKnown(sid, WinCreatorOwnerSid)) {
      continue;
    }
    others += (others.empty() ? "" : ", ") + AccountName(sid);
  }
  if (others.empty()) {
    return {};
  }
  return path + " may be read or changed by " + others + fix;
}

}  // namespace zalvo::platform
