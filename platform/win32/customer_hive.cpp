// Which account is whose for the customer's hive: the console user's SID, an
// account's SID by its name, whether a user's hive is loaded, and the
// computer's name.
#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <vector>

#include "platform/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/session_launcher.h"
#include "platform/win32/session_launcher_internal.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

using Outcome = platform::LaunchResult::Outcome;

}  // namespace

std::optional<std::string> ConsoleUserSid() {
  ConsoleUser user = FindConsoleUser();
  if (user.outcome == Outcome::kNobodyLoggedOn) {
    return std::nullopt;
  }
  if (user.outcome != Outcome::kStarted) {
    throw platform::PlatformError(user.reason);
  }
  std::optional<std::string> sid = TokenUserSid(user.token.get());
  if (!sid) {
    throw platform::PlatformError("the console user's SID can't be read");
  }
  return sid;
}

bool UserHiveLoaded(const std::string& sid) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, Widen(sid).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ScopedKey owned(key);
  return true;
}

std::optional<std::string> LookUpAccountSid(std::string_view account) {
  std::wstring name = Widen(account);
  DWORD sid_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use{};
  LookupAccountNameW(nullptr, name.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0) {
    return std::nullopt;
  }
  std::vector<BYTE> sid(sid_size);
  std::vector<wchar_t> domain(domain_size + 1);
  if (!LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sid_size, domain.data(), &domain_size,
                          &use) ||
      use != SidTypeUser) {
    return std::nullopt;
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid.data(), &text)) {
    return std::nullopt;
  }
  ScopedLocal owned(text);
  return Narrow(text);
}

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) {
    return "";
  }
  return Narrow(std::wstring_view(name, size));
}

}  // namespace zalvo::win32
