// The Win32 desktop under the real API: the two-step privilege switch on the
// process token, window captions read with the wide call and turned into
// Windows-1251, at most 254 characters, and the message window that stays
// out of the foreground; and the password channel's two ends facing a pipe
// that another program made first.
#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/win32/desktop.h"
#include "platform/win32/desktop_helpers.h"
#include "platform/win32/message_window.h"
#include "platform/win32/password_pipe.h"
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

// Runs this thread's messages until the condition holds, at most `limit`.
template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (condition()) {
      return true;
    }
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    Sleep(20);
  }
}

// The text of the message window's label; empty without a window.
std::wstring MessageText(HWND window) {
  HWND label = FindWindowExW(window, nullptr, L"STATIC", nullptr);
  wchar_t text[512] = {};
  GetWindowTextW(label, text, 512);
  return text;
}

// A game in front keeps the foreground (and with it the keyboard) while a
// message is shown above it, replaced, and gone by itself after its time.
TEST(Win32Desktop, AMessageIsShownTopmostWithoutTakingTheForegroundAndGoesByItself) {
  HWND game = CreateWindowExW(0, L"STATIC", L"game", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640,
                              480, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(game, nullptr);
  SetForegroundWindow(game);
  ASSERT_TRUE(
      PumpUntil([&] { return GetForegroundWindow() == game; }, std::chrono::milliseconds(2000)));

  auto desktop = MakeWin32Desktop();
  // "Остават 5 минути" in Windows-1251.
  ASSERT_TRUE(desktop->ShowMessage("\xCE\xF1\xF2\xE0\xE2\xE0\xF2 5 \xEC\xE8\xED\xF3\xF2\xE8",
                                   std::chrono::milliseconds(3000)));
  HWND shown = nullptr;
  ASSERT_TRUE(PumpUntil(
      [&] {
        shown = FindWindowW(kMessageWindowClass, nullptr);
        return shown != nullptr && IsWindowVisible(shown);
      },
      std::chrono::milliseconds(3000)));
  EXPECT_EQ(MessageText(shown),
            L"\x041E\x0441\x0442\x0430\x0432\x0430\x0442 5 "
            L"\x043C\x0438\x043D\x0443\x0442\x0438");
  EXPECT_NE(GetWindowLongPtrW(shown, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
  EXPECT_NE(GetWindowLongPtrW(shown, GWL_EXSTYLE) & WS_EX_NOACTIVATE, 0);
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(GetForegroundWindow(), game);

  // A newer text replaces the one shown, in the same window.
  ASSERT_TRUE(desktop->ShowMessage("second", std::chrono::milliseconds(1500)));
  EXPECT_TRUE(
      PumpUntil([&] { return MessageText(shown) == L"second"; }, std::chrono::milliseconds(2000)));
  EXPECT_EQ(GetForegroundWindow(), game);

  EXPECT_TRUE(PumpUntil([] { return FindWindowW(kMessageWindowClass, nullptr) == nullptr; },
                        std::chrono::milliseconds(5000)));
  EXPECT_EQ(GetForegroundWindow(), game);

  // A click closes it before its time.
  ASSERT_TRUE(desktop->ShowMessage("click", std::chrono::milliseconds(60000)));
  ASSERT_TRUE(PumpUntil([&] { return (shown = FindWindowW(kMessageWindowClass, nullptr)); },
                        std::chrono::milliseconds(3000)));
  PostMessageW(shown, WM_LBUTTONDOWN, MK_LBUTTON, 0);
  EXPECT_TRUE(PumpUntil([] { return FindWindowW(kMessageWindowClass, nullptr) == nullptr; },
                        std::chrono::milliseconds(3000)));
  DestroyWindow(game);
}

// A program of the customer's makes the channel's name first. The service's
// end can't make its channel and says so; the lock screen's end checks the
// other end before it writes anything and refuses it: its owner is not
// SYSTEM, or (with SYSTEM named as its owner, as Wine lets any program do)
// its process is not the service's. (The squatter's pipe allows one
// instance: Wine, unlike Windows, lets a first instance be made beside a
// pipe that allows more.)
TEST(PasswordChannel, ANameTakenFirstIsNeitherServedNorTrusted) {
  const std::wstring name = L"\\\\.\\pipe\\ZalvoPasswordsTaken";
  ScopedHandle taken(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 512, 512, 0,
                                      nullptr));
  ASSERT_TRUE(taken);
  std::vector<std::string> lines;
  PasswordPipeServer server({[](std::string_view) { return std::string("served"); },
                             {},
                             std::chrono::milliseconds(50),
                             L"",
                             [&lines](std::string_view line) { lines.emplace_back(line); },
                             name});
  EXPECT_FALSE(server.Start());
  Sleep(200);  // a few tries again
  server.Stop();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("is held by another program"), std::string::npos) << lines[0];

  const std::wstring mark = L"SOFTWARE\\ZalvoTestPasswordMark";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, mark.c_str());
  auto client = MakePasswordPipeClient(mark, L"ZalvoTestNoSuchService", name);
  EXPECT_FALSE(client->ServiceKeepsPasswords());
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, mark.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(client->ServiceKeepsPasswords());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, mark.c_str());

  auto refusal = [&](const std::wstring& pipe) {
    try {
      (void)MakePasswordPipeClient(mark, L"ZalvoTestNoSuchService", pipe)->Exchange("secret");
    } catch (const platform::PlatformError& e) {
      return std::string(e.what());
    }
    return std::string("answered");
  };
  EXPECT_NE(refusal(name).find("not the station's service: it is owned by"), std::string::npos)
      << refusal(name);
  const std::wstring as_system = L"\\\\.\\pipe\\ZalvoPasswordsAsSystem";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:SYD:(A;;GA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_ATTRIBUTES named_system{sizeof named_system, descriptor, FALSE};
  ScopedHandle system_named(CreateNamedPipeW(as_system.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 512, 512,
                                             0, &named_system));
  LocalFree(descriptor);
  ASSERT_TRUE(system_named);
  EXPECT_NE(refusal(as_system).find("the service ZalvoTestNoSuchService can't be asked"),
            std::string::npos)
      << refusal(as_system);
  // Nothing typed reached either pipe (a pipe whose client has gone still
  // tells what it left unread).
  for (HANDLE pipe : {taken.get(), system_named.get()}) {
    DWORD waiting = 0;
    (void)PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr);
    EXPECT_EQ(waiting, 0u);
  }
}

}  // namespace
}  // namespace zalvo::win32
