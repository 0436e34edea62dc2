#include "platform/win32/data_folder.h"

#include <sddl.h>
#include <shlobj.h>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

// Owner Administrators; a protected DACL: Administrators and SYSTEM full
// control, Users read and execute, inherited by everything inside.
constexpr wchar_t kFolderRights[] =
    L"O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

}  // namespace

FolderRightsCalls& FolderRightsCallTable() {
  static FolderRightsCalls calls;
  return calls;
}

void SecureFolder(const std::wstring& folder) {
  ScopedLocal descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderRights, SDDL_REVISION_1,
                                                            descriptor.put(), nullptr)) {
    ThrowLastError("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  BOOL present = FALSE;
  GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted);
  GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  std::wstring name = folder;
  const DWORD status = FolderRightsCallTable().set_named_security_info(
      name.data(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      owner, nullptr, dacl, nullptr);
  if (status != ERROR_SUCCESS) {
    throw platform::SystemError(ErrorText(status), status);
  }
}

std::wstring DataFolderPath() {
  wchar_t common[MAX_PATH] = {};
  if (FAILED(
          SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) {
    GetEnvironmentVariableW(L"ProgramData", common, MAX_PATH);
  }
  return std::wstring(common) + L"\\Zalvo";
}

std::string PrepareDataFolder(const std::wstring& folder) {
  if (CreateDirectoryW(folder.c_str(), nullptr)) {
    try {
      SecureFolder(folder);
    } catch (const platform::PlatformError& e) {
      RemoveDirectoryW(folder.c_str());
      throw platform::PlatformError("the data folder " + Narrow(folder) +
                                        " can't be given its rights (only the administrators "
                                        "and SYSTEM may change it): " +
                                        e.what(),
                                    e.kind(), e.code());
    }
  }
  return Narrow(folder);
}

}  // namespace zalvo::win32
