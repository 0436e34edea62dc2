// zalvoc.exe under Wine on a virtual display: the test starts the real
// program, drives it with window messages as the task bar, the mouse and the
// keyboard would, and checks its windows, the registry, krvini.ini and its
// log file. It saves screenshots of the lock screen's windows in the build
// folder (scripts/update-screenshots.sh copies them to docs/screenshots/).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "lockscreen/win32/ids.h"
#include "platform/error.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/keys.h"
#include "settings/passwords.h"
#include "settings/registry_names.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/win32/gui_driver.h"

namespace zalvo::testing {
namespace {

namespace ids = lockscreen::ids;
using lockscreen::Ctl;
using platform::Hive;

constexpr wchar_t kHelperClass[] = L"ZalvoTestHelper";
constexpr char kHelperSwitch[] = "--helper-window";
constexpr char kHungHelperSwitch[] = "--hung-helper-window";
const std::string kWinlogon(settings::kWinlogonKey);
const std::string kZalvo(settings::kZalvoKey);
const std::string kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\";
const std::string kInternet = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const std::string kBrowser = "Software\\Microsoft\\Internet Explorer\\Main";

// The station as a club leaves it: settings, passwords, the Winlogon values,
// the policy keys the writer expects, a wallpaper; no allowed programs.
class LockScreenGui : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0), 0u)
        << "the GUI tests need an X display: run them under scripts/with-xvfb.sh";
    windows_ = files_.WindowsDirectory();
    files_.Replace(settings::SettingsFilePath(windows_, settings::kSettingsFileName),
                   "StartPage=http://portal.example/\r\nPlayMusic=C:\\no-such-melody.mid\r\n"
                   "ProxyServer=proxy.club\r\nProxyPort=3128\r\nHide=1\r\nServerIP=127.0.0.1\r\n"
                   "ClosePasswordForm=60\r\n");
    DeleteFileW(
        win32::Widen(settings::SettingsFilePath(windows_, settings::kPasswordFileName)).c_str());
    auto winlogon = registry_.Create(Hive::kLocalMachine, kWinlogon);
    winlogon->WriteString("AutoAdminLogon", "0");
    winlogon->WriteDword("LocalTimer", 7260);
    auto zalvo = registry_.Create(Hive::kCurrentUser, kZalvo);
    zalvo->WriteString("ZalvoPassword", settings::ScramblePassword("adm1n"));
    zalvo->WriteString("SmallPassword", settings::ScramblePassword("2468"));
    zalvo->WriteString("ServerIP", "unset");
    registry_.Create(Hive::kCurrentUser, "Control Panel\\desktop")
        ->WriteString("Wallpaper", WriteWallpaper(windows_));
    for (const char* group : {"System", "Network", "Explorer"}) {
      registry_.Create(Hive::kCurrentUser, kPolicies + group);
    }
    registry_.Create(Hive::kCurrentUser, kInternet);
    registry_.Create(Hive::kCurrentUser, kBrowser);
    RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(settings::kRestrictRunKey).c_str());
    DeleteFileW(win32::Widen(LogPath()).c_str());
  }

  void TearDown() override {
    if (process_.get() != nullptr) {
      PostMessageW(main_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process_.get(), 1);
        ADD_FAILURE() << "zalvoc.exe did not end when its main window was closed";
      }
    }
    // Later programs of this prefix run without the restrictions.
    for (const char* group : {"System", "Network", "Explorer"}) {
      RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(kPolicies + group).c_str());
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, win32::Widen(kPolicies + "Network").c_str(),
                       L"DisablePwdCaching");
  }

  void StartZalvoc() {
    DrawOwnFrames("zalvoc.exe");
    StartedProcess started = StartProgram(QuotedProgram(ZALVOC_PROGRAM));
    process_.reset(started.handle);
    pid_ = started.id;
    ASSERT_TRUE(WaitFor([&] { return (main_ = TopLevel(pid_, ids::kMainClass)) != nullptr; }))
        << "no main window";
    ASSERT_TRUE(WaitFor([&] { return AutoAdminLogon() == "1"; })) << "start-up did not finish";
    Pump(300);
  }

  std::string AutoAdminLogon() {
    auto key = registry_.Open(Hive::kLocalMachine, kWinlogon);
    return key ? key->ReadString("AutoAdminLogon").value_or("") : "";
  }
  void SetLocalTimer(int32_t seconds) {
    registry_.Open(Hive::kLocalMachine, kWinlogon)
        ->WriteDword("LocalTimer", static_cast<uint32_t>(seconds));
  }
  std::string Settings() {
    try {
      return files_.Read(settings::SettingsFilePath(windows_, settings::kSettingsFileName));
    } catch (const platform::PlatformError&) {
      return "";
    }
  }
  // The lock screen's log: zalvoc.log in the temporary folder, which this
  // test shares with the program it starts.
  static std::string LogPath() {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    return win32::Narrow(folder) + "zalvoc.log";
  }
  std::string Log() {
    try {
      return files_.Read(LogPath());
    } catch (const platform::PlatformError&) {
      return "";
    }
  }
  std::optional<uint32_t> Dword(Hive hive, const std::string& key, const std::string& name) {
    auto k = registry_.Open(hive, key);
    return k ? k->ReadDword(name) : std::nullopt;
  }
  std::optional<std::string> String(Hive hive, const std::string& key, const std::string& name) {
    auto k = registry_.Open(hive, key);
    return k ? k->ReadString(name) : std::nullopt;
  }
  void Menu(int command) { PostMessageW(main_, WM_COMMAND, MAKEWPARAM(command, 0), 0); }
  bool Visible(HWND hwnd) { return hwnd != nullptr && IsWindowVisible(hwnd); }

  // Opens the log-in panel with a double click and logs in with Enter.
  void LogIn(const std::wstring& user, const std::wstring& password) {
    HWND panel = Child(main_, ids::PasswordPanel);
    PostMessageW(main_, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(200, 200));
    ASSERT_TRUE(WaitFor([&] { return Visible(panel); })) << "no log-in panel";
    HWND user_edit = Child(panel, ids::edUser);
    HWND password_edit = Child(panel, ids::edPassword);
    Type(user_edit, user);
    Type(password_edit, password);
    ASSERT_TRUE(WaitFor([&] { return TextOf(password_edit).size() == password.size(); }));
    EXPECT_EQ(TextOf(user_edit), user);
    PressEnter(password_edit);
  }

  win32::Win32Registry registry_;
  win32::Win32Files files_;
  std::string windows_;
  win32::ScopedHandle process_;
  DWORD pid_ = 0;
  HWND main_ = nullptr;
};

TEST_F(LockScreenGui, StartsHiddenShowsTheTimeLocksAndLogsInWithTheSmallPassword) {
  StartZalvoc();
  EXPECT_FALSE(Visible(main_));
  EXPECT_EQ(TextOf(main_), L"Работна област");
  EXPECT_TRUE(WaitFor([&] { return HasTrayIcon(main_); }));
  // When Explorer starts again its new task bar has no icons, and tells the
  // programs so; the lock screen adds its icon again.
  NOTIFYICONDATAW gone{};
  gone.cbSize = NOTIFYICONDATAW_V1_SIZE;
  gone.hWnd = main_;
  gone.uID = 1;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
  EXPECT_FALSE(HasTrayIcon(main_));
  PostMessageW(main_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(WaitFor([&] { return HasTrayIcon(main_); }));

  // A right release on the icon opens its menu at the cursor.
  PostMessageW(main_, ids::kTrayMessage, ids::kTrayIconId, WM_RBUTTONUP);
  HWND menu = nullptr;
  EXPECT_TRUE(WaitFor([&] { return Visible(menu = TopLevel(pid_, L"#32768")); }));
  PostMessageW(main_, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(WaitFor([&] { return !Visible(TopLevel(pid_, L"#32768")); }));

  // A left release opens the remaining-time window; each tick reads LocalTimer.
  PostMessageW(main_, ids::kTrayMessage, ids::kTrayIconId, WM_LBUTTONUP);
  HWND rest = nullptr;
  ASSERT_TRUE(WaitFor([&] { return Visible(rest = TopLevel(pid_, ids::kRestTimeClass)); }));
  HWND label = Child(rest, ids::lbRemainingTime);
  EXPECT_EQ(TextOf(rest), L"Time");
  EXPECT_TRUE(WaitFor([&] { return TextOf(label) == L"121 мин."; })) << TextOf(label).size();
  RECT r;
  GetWindowRect(rest, &r);
  EXPECT_EQ(r.right - r.left, 211);
  EXPECT_EQ(r.bottom - r.top, 80);
  EXPECT_TRUE(GetWindowLongW(rest, GWL_EXSTYLE) & WS_EX_TOPMOST);
  SetLocalTimer(-61);  // negative: the melody (missing here) fails silently
  EXPECT_TRUE(WaitFor([&] { return TextOf(label) == L"-1 мин."; }));
  SetLocalTimer(1500);
  EXPECT_TRUE(WaitFor([&] { return TextOf(label) == L"25 мин."; }));
  SaveScreenshot(rest, "remaining-time.png");
  // Its close button hides it, and nothing reads the time any more.
  PostMessageW(rest, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitFor([&] { return !Visible(rest); }));
  SetLocalTimer(60);
  Pump(1500);
  EXPECT_EQ(TextOf(label), L"25 мин.");

  // "Заключване" covers the screen and hands Windows' automatic log-on back.
  Menu(ids::mnLock);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_); }));
  EXPECT_TRUE(WaitFor([&] { return AutoAdminLogon() == "0"; }));
  GetWindowRect(main_, &r);
  EXPECT_EQ(r.right - r.left, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(r.bottom - r.top, GetSystemMetrics(SM_CYSCREEN));
  HWND status = Child(main_, ids::StatusBar);
  EXPECT_EQ(LOWORD(Send(status, SB_GETTEXTLENGTHW, 1)),
            std::wstring(L" Добре дошли. Моля изчакайте ...").size());
  EXPECT_FALSE(Visible(Child(main_, ids::btStartD)));
  // Alt+F4 and the window menu's Close are dropped.
  PostMessageW(main_, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageW(main_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  Pump(500);
  EXPECT_TRUE(Visible(main_));
  EXPECT_FALSE(IsIconic(main_));
  SaveScreenshot(RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)},
                 "locked-screen.png");

  // A wrong password changes nothing and empties the edits.
  LogIn(L"1", L"0000");
  Pump(500);
  EXPECT_TRUE(Visible(main_));
  EXPECT_EQ(AutoAdminLogon(), "0");
  EXPECT_EQ(TextOf(Child(main_, ids::edPassword)), L"");
  // User "1" with the small password unlocks: Hide is on, so the window goes.
  LogIn(L"1", L"2468");
  EXPECT_TRUE(WaitFor([&] { return !Visible(main_); }));
  EXPECT_TRUE(WaitFor([&] { return AutoAdminLogon() == "1"; }));
  EXPECT_FALSE(Visible(TopLevel(pid_, ids::kDialogClass)));

  // Closing the main window removes the icon and ends the program.
  HWND main = main_;
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(process_.get(), 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(HasTrayIcon(main));
}

// A window of this test program with the caption.
class HelperWindow {
 public:
  explicit HelperWindow(const std::wstring& caption) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kHelperClass;
    RegisterClassW(&wc);
    hwnd_ = CreateWindowExW(0, kHelperClass, caption.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 880,
                            620, 120, 90, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  ~HelperWindow() {
    if (IsWindow(hwnd_)) {
      DestroyWindow(hwnd_);
    }
  }
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_;
};

// The same window in a process of its own.
struct HelperProcess {
  explicit HelperProcess(const std::string& caption, bool hung = false) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + win32::Widen(self) + L"\" " +
                           win32::Widen(hung ? kHungHelperSwitch : kHelperSwitch) + L" \"" +
                           win32::Widen(caption) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
      win32::ScopedHandle thread(info.hThread);
      process.reset(info.hProcess);
      pid = info.dwProcessId;
    }
  }
  ~HelperProcess() {
    if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process.get(), 1);
    }
  }
  win32::ScopedHandle process;
  DWORD pid = 0;
};

TEST_F(LockScreenGui, TheAdministratorEditsSavesClosesWindowsAndAddsPrograms) {
  HelperWindow helper(L"!Zalvo helper one");
  StartZalvoc();
  Menu(ids::mnStatusLock);  // "Старт" of the status-bar menu locks too
  ASSERT_TRUE(WaitFor([&] { return Visible(main_); }));
  ASSERT_TRUE(WaitFor([&] { return AutoAdminLogon() == "0"; }));

  // The administrator password with any name releases the station and opens
  // the dialog modally at 550 x 465.
  LogIn(L"anyone", L"adm1n");
  HWND dialog = nullptr;
  ASSERT_TRUE(WaitFor([&] { return Visible(dialog = TopLevel(pid_, ids::kDialogClass)); }));
  EXPECT_FALSE(Visible(main_));
  EXPECT_EQ(AutoAdminLogon(), "1");
  EXPECT_EQ(TextOf(dialog), L"Въведете Име и Парола");
  RECT r;
  GetWindowRect(dialog, &r);
  EXPECT_EQ(r.right - r.left, 550);
  EXPECT_EQ(r.bottom - r.top, 465);
  EXPECT_FALSE(IsWindowEnabled(main_) && Visible(main_));

  // The lock does nothing while the dialog is visible.
  Menu(ids::mnLock);
  Pump(700);
  EXPECT_FALSE(Visible(main_));
  EXPECT_EQ(AutoAdminLogon(), "1");

  auto control = [&](Ctl c) { return Child(dialog, ids::ControlId(c)); };
  HWND tabs = Child(dialog, ids::PageControl);
  auto page = [&](int index) {
    Send(tabs, TCM_SETCURFOCUS, static_cast<WPARAM>(index));
    HWND shown = Child(dialog, ids::kFirstPage + index);
    EXPECT_TRUE(WaitFor([&] { return Visible(shown); })) << "page " << index + 1;
    Pump(400);
  };
  // The load filled the controls from krvini.ini.
  EXPECT_EQ(TextOf(control(Ctl::edServerIP)), L"127.0.0.1");
  EXPECT_EQ(TextOf(control(Ctl::edPort)), L"3128");
  EXPECT_EQ(TextOf(control(Ctl::edSendDataTime)), L"60");
  EXPECT_TRUE(Checked(control(Ctl::cbHideMyDesktop)));
  EXPECT_FALSE(Checked(control(Ctl::cbPlayGame)));  // absent from the file: cleared
  EXPECT_FALSE(Visible(control(Ctl::edWallpaper)));
  for (int i = 0; i < 4; ++i) {
    page(i);
    SaveScreenshot(dialog, "settings-page-" + std::to_string(i + 1) + ".png");
  }

  // Page 1: a new administrator password and a new server address.
  page(0);
  SetTextOf(control(Ctl::edServerIP), L"127.0.0.9");
  Type(control(Ctl::edNewPassword), L"n3w-longer-than-8");
  SetTextOf(control(Ctl::edNewPassword1), L"n3w-long");
  Click(control(Ctl::cbPassAdmin));
  EXPECT_TRUE(WaitFor([&] { return Checked(control(Ctl::cbPassAdmin)); }));
  EXPECT_TRUE(WaitFor([&] { return TextOf(control(Ctl::edNewPassword)) == L"n3w-long"; }))
      << "at most 8 characters can be typed";
  // Page 3 and 4: policies and report contents.
  page(2);
  Click(control(Ctl::cbNoDrives));
  Click(control(Ctl::cbDisabledPassword));
  page(3);
  Click(control(Ctl::cbFreeDisk));

  // Page 2: the open windows, their "Close" buttons and the allowed programs.
  page(1);
  HWND open_windows = control(Ctl::lstOpenWindows);
  PostMessageW(open_windows, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageW(open_windows, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  HWND chosen_window = control(Ctl::edChosenWindow);
  EXPECT_TRUE(WaitFor([&] { return TextOf(chosen_window) == L"!ZALVO HELPER ONE"; }))
      << "click copies";
  Click(control(Ctl::btCloseWindow));
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(helper.hwnd()); }));

  HelperProcess other("Zalvo helper two");
  ASSERT_TRUE(other.process);
  ASSERT_TRUE(WaitFor([&] { return TopLevel(other.pid, kHelperClass) != nullptr; }));
  SetTextOf(chosen_window, L"zalvo HELPER two");
  Click(control(Ctl::btEndProcess));
  EXPECT_EQ(WaitForSingleObject(other.process.get(), 15000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  GetExitCodeProcess(other.process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);

  // A window that does not answer holds the lock screen up only briefly.
  HelperProcess hung("Zalvo hung helper", true);
  ASSERT_TRUE(WaitFor([&] { return TopLevel(hung.pid, kHelperClass) != nullptr; }));
  SetTextOf(chosen_window, L"Zalvo hung helper");
  Click(control(Ctl::btCloseWindow));
  Pump(500);
  // Typing (posted messages) reaches the dialog again within the bound.
  PostMessageW(chosen_window, WM_KEYDOWN, VK_END, 1);
  Type(chosen_window, L"!");
  EXPECT_TRUE(WaitFor([&] { return TextOf(chosen_window) == L"Zalvo hung helper!"; }, 10000));

  // A title that names no window ends nothing, and the log says so.
  SetTextOf(chosen_window, L"Zalvo no such window");
  Click(control(Ctl::btEndProcess));
  EXPECT_TRUE(WaitFor([&] {
    return Log().find("end process: no window \"Zalvo no such window\"\r\n") != std::string::npos;
  })) << Log();

  HWND restrict_run = control(Ctl::cbRestrictRun);
  Click(restrict_run);  // refused while the list lacks zalvoc.exe
  Pump(500);
  EXPECT_FALSE(Checked(restrict_run));
  SetTextOf(control(Ctl::edNewProgram), L"zalvoc.exe");
  Click(control(Ctl::btAddProgram));
  EXPECT_TRUE(WaitFor([&] {
    return String(Hive::kCurrentUser, std::string(settings::kRestrictRunKey), "1") == "zalvoc.exe";
  }));
  EXPECT_EQ(Send(control(Ctl::lstAllowedPrograms), LB_GETCOUNT), 1);
  Click(restrict_run);
  EXPECT_TRUE(WaitFor([&] { return Checked(restrict_run); }));

  // A settings file that can't be replaced (a folder has taken its name): the
  // failure's text is shown, and neither the password nor the in-memory
  // values change.
  const std::wstring settings_path =
      win32::Widen(settings::SettingsFilePath(windows_, settings::kSettingsFileName));
  ASSERT_TRUE(DeleteFileW(settings_path.c_str()));
  ASSERT_TRUE(CreateDirectoryW(settings_path.c_str(), nullptr));
  Click(control(Ctl::btSave));
  HWND box = nullptr;
  EXPECT_TRUE(WaitFor([&] { return Visible(box = TopLevel(pid_, L"#32770")); }));
  if (box != nullptr) {
    std::wstring message;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM p) -> BOOL {
          auto* text = reinterpret_cast<std::wstring*>(p);
          *text += TextOf(child) + L"|";
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&message));
    EXPECT_NE(message.find(L"krvini.ini"), std::wstring::npos);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));
  }
  RemoveDirectoryW(settings_path.c_str());
  EXPECT_EQ(String(Hive::kCurrentUser, kZalvo, "ZalvoPassword"),
            settings::ScramblePassword("adm1n"));
  EXPECT_EQ(Dword(Hive::kCurrentUser, kPolicies + "Explorer", "NoDrives"), 7u)
      << "the policies are written before the file";

  // "Запазва промените": policies first, then the file, then the password.
  Click(control(Ctl::btSave));
  ASSERT_TRUE(WaitFor([&] { return Settings().find("RestrictRun=1") != std::string::npos; }));
  std::vector<std::string> lines = settings::SplitLines(Settings());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "SearchPage=" + std::string(settings::kSearchPageUrl));
  for (const char* line :
       {"StartPage=http://portal.example/", "ServerIP=127.0.0.9", "NoDrives=1", "FreeDisk=1",
        "DisabledPassword=1", "ClosePasswordForm=60", "PlayGame=0", "Hide=1"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  const std::string explorer = kPolicies + "Explorer";
  EXPECT_EQ(Dword(Hive::kCurrentUser, explorer, "NoDrives"), 7u);
  EXPECT_EQ(Dword(Hive::kCurrentUser, explorer, "RestrictRun"), 1u);
  EXPECT_EQ(Dword(Hive::kCurrentUser, kPolicies + "System", "NoDispCPL"), 0u);
  EXPECT_EQ(Dword(Hive::kCurrentUser, kPolicies + "Network", "NoNetSetup"), 0u);
  EXPECT_EQ(Dword(Hive::kLocalMachine, kPolicies + "Network", "DisablePwdCaching"), 1u);
  EXPECT_EQ(String(Hive::kCurrentUser, kBrowser, "Search Page"),
            std::string(settings::kSearchPageUrl));
  EXPECT_EQ(String(Hive::kCurrentUser, kBrowser, "Start Page"), "http://portal.example/");
  EXPECT_EQ(String(Hive::kCurrentUser, kInternet, "ProxyServer"), "proxy.club:3128");
  EXPECT_EQ(String(Hive::kCurrentUser, kZalvo, "ZalvoPassword"),
            settings::ScramblePassword("n3w-long"));
  // The copy of the server address is the one in effect before this save.
  EXPECT_EQ(String(Hive::kCurrentUser, kZalvo, "ServerIP"), "127.0.0.1");

  // Enter and Escape neither save nor close the dialog.
  PressEnter(control(Ctl::edProxy));
  PostMessageW(control(Ctl::edProxy), WM_KEYDOWN, VK_ESCAPE, 1);
  Pump(500);
  EXPECT_TRUE(Visible(dialog));

  // "Скрива програмата" releases the station and closes the dialog.
  Click(control(Ctl::btRelease));
  EXPECT_TRUE(WaitFor([&] { return !Visible(dialog); }));
  EXPECT_FALSE(Visible(main_));
  EXPECT_EQ(AutoAdminLogon(), "1");

  // The proxy command from the icon's menu flips ProxyEnable and saves; twice
  // leaves it as it was.
  Menu(ids::mnProxy);
  EXPECT_TRUE(WaitFor([&] { return Dword(Hive::kCurrentUser, kInternet, "ProxyEnable") == 1u; }));
  EXPECT_TRUE(
      WaitFor([&] { return Settings().find("\r\nProxyEnable=1\r\n") != std::string::npos; }));
  Menu(ids::mnProxy);
  EXPECT_TRUE(WaitFor([&] { return Dword(Hive::kCurrentUser, kInternet, "ProxyEnable") == 0u; }));
  EXPECT_TRUE(
      WaitFor([&] { return Settings().find("\r\nProxyEnable=0\r\n") != std::string::npos; }));
  // The server address saved before is the copy now.
  EXPECT_EQ(String(Hive::kCurrentUser, kZalvo, "ServerIP"), "127.0.0.9");

  // The new administrator password opens the dialog again.
  Menu(ids::mnLock);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_); }));
  LogIn(L"", L"n3w-long");
  EXPECT_TRUE(WaitFor([&] { return Visible(dialog); }));
  Send(dialog, WM_CLOSE);
  EXPECT_TRUE(WaitFor([&] { return !Visible(dialog); }));
}

}  // namespace
}  // namespace zalvo::testing

namespace {

LRESULT CALLBACK HelperProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// A window with the caption, for the lock screen to close or end; a hung one
// stops handling its messages once it is shown.
int RunHelperWindow(const std::wstring& caption, bool hung) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = HelperProcedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = zalvo::testing::kHelperClass;
  RegisterClassW(&wc);
  CreateWindowExW(0, zalvo::testing::kHelperClass, caption.c_str(),
                  WS_OVERLAPPEDWINDOW | WS_VISIBLE, 880, 620, 120, 90, nullptr, nullptr,
                  GetModuleHandleW(nullptr), nullptr);
  if (hung) {
    Sleep(120000);
    return 0;
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], zalvo::testing::kHelperSwitch) == 0) {
    return RunHelperWindow(zalvo::win32::Widen(argv[2]), false);
  }
  if (argc == 3 && std::strcmp(argv[1], zalvo::testing::kHungHelperSwitch) == 0) {
    return RunHelperWindow(zalvo::win32::Widen(argv[2]), true);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
