// The Win32 desktop under the real API: the two-step privilege switch on the
// process token, and window captions read with the wide call and turned into
// Windows-1251, at most 254 characters.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/desktop.h"
#include "platform/win32/desktop_helpers.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

// The attributes of a privilege in the process token; nullopt when the
// token does not hold it.
std::optional<DWORD> PrivilegeAttributes(const wchar_t* name) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return std::nullopt;
  }
  ScopedHandle token(raw);
  LUID luid{};
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) {
    return std::nullopt;
  }
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) {
    return std::nullopt;
  }
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart) {
      return p.Attributes;
    }
  }
  return std::nullopt;
}

TEST(Win32Desktop, EnablesAHeldPrivilegeInTheTokenAndRefusesOthers) {
  auto desktop = MakeWin32Desktop();
  ASSERT_TRUE(PrivilegeAttributes(L"SeShutdownPrivilege").has_value());
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw));
  ScopedHandle token(raw);
  ASSERT_TRUE(SetTokenPrivilege(token.get(), "SeShutdownPrivilege", false));
  EXPECT_EQ(*PrivilegeAttributes(L"SeShutdownPrivilege") & SE_PRIVILEGE_ENABLED, 0u);

  SetLastError(0xdeadbeef);
  EXPECT_TRUE(desktop->EnablePrivilege("SeShutdownPrivilege"));
  EXPECT_NE(*PrivilegeAttributes(L"SeShutdownPrivilege") & SE_PRIVILEGE_ENABLED, 0u);
  // Enabling an enabled privilege is no failure.
  EXPECT_TRUE(desktop->EnablePrivilege("SeShutdownPrivilege"));
  for (const char* name :
       {"SeSecurityPrivilege", "SeSystemEnvironmentPrivilege", "SeShutdownPrivilege"}) {
    EXPECT_TRUE(desktop->EnablePrivilege(name)) << name;
  }

  EXPECT_FALSE(desktop->EnablePrivilege("SeNoSuchPrivilege"));
  // A privilege the account does not hold: the adjustment reports it as not
  // assigned.
  ASSERT_FALSE(PrivilegeAttributes(L"SeCreateTokenPrivilege").has_value());
  EXPECT_FALSE(desktop->EnablePrivilege("SeCreateTokenPrivilege"));
}

class CaptionWindow {
 public:
  explicit CaptionWindow(const std::wstring& caption) {
    hwnd_ = CreateWindowExW(0, L"STATIC", caption.c_str(), WS_OVERLAPPED, 0, 0, 100, 50, nullptr,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  ~CaptionWindow() {
    if (hwnd_ != nullptr) {
      DestroyWindow(hwnd_);
    }
  }
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

TEST(Win32Desktop, ReadsCaptionsAsWindows1251UpTo254Characters) {
  auto desktop = MakeWin32Desktop();
  std::wstring cyrillic = L"\x0428\x0430\x0445 - chess";  // "Шах - chess"
  CaptionWindow short_window(cyrillic);
  ASSERT_NE(short_window.hwnd(), nullptr);
  EXPECT_EQ(desktop->WindowCaption(FromHwnd(short_window.hwnd())), "\xD8\xE0\xF5 - chess");

  // 300 characters: the first 254 come back, one byte each.
  std::wstring long_caption(300, L'\x0436');  // "ж"
  long_caption[253] = L'z';
  CaptionWindow long_window(long_caption);
  std::string read = desktop->WindowCaption(FromHwnd(long_window.hwnd()));
  EXPECT_EQ(read.size(), 254u);
  EXPECT_EQ(read.front(), '\xE6');
  EXPECT_EQ(read.back(), 'z');

  // A character Windows-1251 can't hold becomes "?"; no caption is empty.
  CaptionWindow foreign(
      L"a\x4E2D"
      L"b");
  EXPECT_EQ(desktop->WindowCaption(FromHwnd(foreign.hwnd())), "a?b");
  CaptionWindow blank(L"");
  EXPECT_EQ(desktop->WindowCaption(FromHwnd(blank.hwnd())), "");
  EXPECT_EQ(desktop->WindowCaption(0), "");
}

}  // namespace
}  // namespace zalvo::win32
