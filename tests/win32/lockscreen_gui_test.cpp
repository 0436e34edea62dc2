// zalvoc.exe under Wine on a virtual display: the test starts the real
// program, drives it with window messages as the task bar, the mouse and the
// keyboard would, and checks its windows, the registry, krvini.ini and its
// log file. It saves screenshots of the lock screen's windows in the build
// folder (scripts/update-screenshots.sh copies them to docs/screenshots/).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lockscreen/win32/ids.h"
#include "platform/error.h"
#include "platform/win32/files.h"
#include "platform/win32/lock_screen_windows.h"
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
const std::string kZalvoSystem = kPolicies + "System";

// The keys this test's own low-level keyboard filter saw pressed. Installed
// before the lock screen's, it is called after it, so it sees only what the
// lock screen lets through.
std::vector<DWORD> keys_seen;

LRESULT CALLBACK RecordKey(int code, WPARAM message, LPARAM key) {
  if (code == HC_ACTION && (message == WM_KEYDOWN || message == WM_SYSKEYDOWN)) {
    keys_seen.push_back(reinterpret_cast<const KBDLLHOOKSTRUCT*>(key)->vkCode);
  }
  return CallNextHookEx(nullptr, code, message, key);
}

INPUT Key(WORD vk, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return input;
}

// Whether the keys, pressed (in order, then released in the reverse order)
// as the keyboard would, reach a filter installed before the lock screen's.
// A "Z" pressed after them marks the end of what can come through.
bool KeysComeThrough(std::vector<WORD> keys) {
  keys_seen.clear();
  std::vector<INPUT> inputs;
  for (WORD vk : keys) {
    inputs.push_back(Key(vk, false));
  }
  for (auto vk = keys.rbegin(); vk != keys.rend(); ++vk) {
    inputs.push_back(Key(*vk, true));
  }
  inputs.push_back(Key('Z', false));
  inputs.push_back(Key('Z', true));
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  EXPECT_TRUE(WaitFor([] { return std::count(keys_seen.begin(), keys_seen.end(), 'Z') > 0; }))
      << "the keyboard filter of the test saw nothing";
  return std::count(keys_seen.begin(), keys_seen.end(), keys.back()) > 0;
}

// While it lives, everyone may only read the key, as a standard account
// finds the machine's keys and its own policies; its owner may still give
// the permissions back, which the destructor does.
class ReadOnlyKey {
 public:
  ReadOnlyKey(HKEY root, const std::string& path) {
    RegOpenKeyExW(root, win32::Widen(path).c_str(), 0, READ_CONTROL | WRITE_DAC, key_.put());
    DWORD size = 0;
    RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    saved_.resize(size);
    if (size == 0 || RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, saved_.data(),
                                       &size) != ERROR_SUCCESS) {
      ADD_FAILURE() << "no permissions to keep of " << path;
      return;
    }
    PSECURITY_DESCRIPTOR read_only = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                         &read_only, nullptr);
    EXPECT_EQ(RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, read_only), ERROR_SUCCESS);
    LocalFree(read_only);
  }
  ~ReadOnlyKey() {
    if (!saved_.empty()) {
      RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, saved_.data());
    }
  }
  ReadOnlyKey(const ReadOnlyKey&) = delete;
  ReadOnlyKey& operator=(const ReadOnlyKey&) = delete;

 private:
  win32::ScopedKey key_;
  std::vector<BYTE> saved_;
};

// The texts of a message box's controls, joined by "|".
std::wstring MessageBoxText(HWND box) {
  std::wstring message;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM p) -> BOOL {
        *reinterpret_cast<std::wstring*>(p) += TextOf(child) + L"|";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&message));
  return message;
}

bool operator==(const RECT& a, const RECT& b) {
  return EqualRect(&a, &b) != FALSE;
}

RECT VirtualScreen() {
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  return {x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

// The lock state of the log-on and the policy a lock left, so that every
// test starts with a station that was never locked.
void ForgetTheLock() {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kav\\Zalvo\\LockState");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Kav\\Zalvo", L"LockHoldsTaskManager");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Kav\\Zalvo", L"TaskManagerBeforeLock");
}

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
    // No service keeps the passwords here: the lock screen keeps its own.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Widen(settings::kPasswordStoreKey).c_str());
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
    ForgetTheLock();
  }

  void TearDown() override {
    if (process_.get() != nullptr) {
      // Locked, only its own exit paths close it.
      const bool locked = Visible(main_) && Topmost(main_);
      if (!locked) {
        PostMessageW(main_, WM_CLOSE, 0, 0);
      }
      if (WaitForSingleObject(process_.get(), locked ? 0 : 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 10000);
        EXPECT_TRUE(locked) << "zalvoc.exe did not end when its main window was closed";
      }
    }
    // Later programs of this prefix run without the restrictions.
    for (const char* group : {"System", "Network", "Explorer"}) {
      RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(kPolicies + group).c_str());
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, win32::Widen(kPolicies + "Network").c_str(),
                       L"DisablePwdCaching");
    ForgetTheLock();
  }

  // Starts zalvoc.exe and waits until its start-up has finished: by default
  // until it has written AutoAdminLogon "1".
  void StartZalvoc(std::function<bool()> started = {}) {
    DrawOwnFrames("zalvoc.exe");
    StartedProcess process = StartProgram(QuotedProgram(ZALVOC_PROGRAM));
    process_.reset(process.handle);
    pid_ = process.id;
    ASSERT_TRUE(WaitFor([&] { return (main_ = TopLevel(pid_, ids::kMainClass)) != nullptr; }))
        << "no main window";
    if (!started) {
      started = [&] { return AutoAdminLogon() == "1"; };
    }
    ASSERT_TRUE(WaitFor(started)) << "start-up did not finish";
    Pump(300);
  }
  bool Logged(const std::string& line) { return Log().find(line) != std::string::npos; }
  std::optional<uint32_t> TaskManager() {
    return Dword(Hive::kCurrentUser, kZalvoSystem, "DisableTaskMgr");
  }
  bool Topmost(HWND hwnd) { return (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

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
    EXPECT_NE(MessageBoxText(box).find(L"krvini.ini"), std::wstring::npos);
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

TEST_F(LockScreenGui, TheLockHoldsAgainstKeysAndOtherWindowsAndComesBackAfterAKill) {
  HelperWindow thief(L"Zalvo focus thief");
  const platform::Scoped<HHOOK, UnhookWindowsHookEx> recorder(
      SetWindowsHookExW(WH_KEYBOARD_LL, RecordKey, GetModuleHandleW(nullptr), 0));
  ASSERT_TRUE(recorder);
  // A standard account: the Winlogon key and the account's network policies
  // may only be read.
  const ReadOnlyKey winlogon(HKEY_LOCAL_MACHINE, kWinlogon);
  const ReadOnlyKey network(HKEY_CURRENT_USER, kPolicies + "Network");
  const std::string admin = " may only be read by this account (administrator rights needed)";
  StartZalvoc([&] {
    return Logged("AutoAdminLogon \"1\" not written: HKEY_LOCAL_MACHINE\\" + kWinlogon + admin);
  });
  // The remaining time shows all the same.
  PostMessageW(main_, ids::kTrayMessage, ids::kTrayIconId, WM_LBUTTONUP);
  HWND rest = nullptr;
  ASSERT_TRUE(WaitFor([&] { return Visible(rest = TopLevel(pid_, ids::kRestTimeClass)); }));
  EXPECT_TRUE(WaitFor([&] { return TextOf(Child(rest, ids::lbRemainingTime)) == L"121 мин."; }));
  PostMessageW(rest, WM_CLOSE, 0, 0);

  // A second lock screen in the session ends at once.
  StartedProcess second = StartProgram(QuotedProgram(ZALVOC_PROGRAM));
  const win32::ScopedHandle second_process(second.handle);
  EXPECT_EQ(WaitForSingleObject(second_process.get(), 15000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(process_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Unlocked, every key goes through; locked, the Windows key and Alt+Tab
  // don't, and other keys still do.
  EXPECT_TRUE(KeysComeThrough({VK_LWIN}));
  EXPECT_TRUE(KeysComeThrough({VK_MENU, VK_TAB}));
  Menu(ids::mnLock);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_) && Topmost(main_); }));
  EXPECT_TRUE(WaitFor([&] { return TaskManager() == 1u; }));
  EXPECT_TRUE(Logged("AutoAdminLogon \"0\" not written: HKEY_LOCAL_MACHINE\\" + kWinlogon + admin));
  RECT r;
  GetWindowRect(main_, &r);
  EXPECT_TRUE(r == VirtualScreen());
  EXPECT_FALSE(KeysComeThrough({VK_LWIN}));
  EXPECT_FALSE(KeysComeThrough({VK_MENU, VK_TAB}));
  EXPECT_FALSE(KeysComeThrough({VK_CONTROL, VK_ESCAPE}));
  EXPECT_TRUE(KeysComeThrough({'A'}));

  // Another program's window takes the focus: the lock screen takes it back.
  SetForegroundWindow(thief.hwnd());
  EXPECT_TRUE(WaitFor([&] {
    DWORD owner = 0;
    GetWindowThreadProcessId(GetForegroundWindow(), &owner);
    return owner == pid_;
  })) << "the focus stayed with another program";

  // Unlocked again, nothing of the lock is in force.
  LogIn(L"1", L"2468");
  ASSERT_TRUE(WaitFor([&] { return !Visible(main_); }));
  EXPECT_TRUE(WaitFor([&] { return TaskManager() == 0u; }));
  EXPECT_FALSE(Topmost(main_));
  EXPECT_TRUE(KeysComeThrough({VK_LWIN}));

  // A save this account may not do says so.
  Menu(ids::mnProxy);
  HWND box = nullptr;
  ASSERT_TRUE(WaitFor([&] { return Visible(box = TopLevel(pid_, L"#32770")); }));
  const std::wstring message = MessageBoxText(box);
  EXPECT_NE(message.find(L"Необходими са администраторски права."), std::wstring::npos) << message;
  EXPECT_NE(message.find(L"Policies\\Network can't be opened for writing"), std::wstring::npos);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));

  Menu(ids::mnLock);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_) && TaskManager() == 1u; }));

  // Ended from Task Manager while locked: started again, it locks again.
  // (Once a process with a keyboard filter of its own is killed, Wine passes
  // no more injected keys to this test's filter, so the keys come before.)
  ASSERT_TRUE(TerminateProcess(process_.get(), 1));
  WaitForSingleObject(process_.get(), 10000);
  StartZalvoc([&] { return Visible(main_) && Topmost(main_); });
  EXPECT_TRUE(Logged("ended while the station was locked: locked again"));
  EXPECT_EQ(TaskManager(), 1u);
  // Its unlock puts back everything the lock took.
  LogIn(L"1", L"2468");
  EXPECT_TRUE(WaitFor([&] { return !Visible(main_); }));
  EXPECT_TRUE(WaitFor([&] { return TaskManager() == 0u; }));
  EXPECT_FALSE(Topmost(main_));
}

TEST_F(LockScreenGui,
       RunsBesideAProgramHoldingItsMarkAndTheLockedScreenOutlivesOtherProgramsMessages) {
  // Any program of the session may make the lock screen's one-a-session mark
  // first: the lock screen runs all the same.
  const win32::ScopedHandle squatter(CreateMutexW(nullptr, TRUE, L"Local\\ZalvoLockScreen"));
  ASSERT_TRUE(squatter);
  StartZalvoc();
  EXPECT_TRUE(Logged("mark was held by a program without a lock screen window: this one runs"));

  Menu(ids::mnLock);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_) && Topmost(main_); }));
  // A close posted by another program, and the window menu's close with the
  // system's own low bits, leave it running and covering.
  PostMessageW(main_, WM_CLOSE, 0, 0);
  PostMessageW(main_, WM_SYSCOMMAND, SC_CLOSE | 0x2, 0);
  PostMessageW(main_, WM_SYSCOMMAND, SC_MINIMIZE | 0xF, 0);
  Pump(1000);
  EXPECT_EQ(WaitForSingleObject(process_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(Visible(main_) && Topmost(main_));
  EXPECT_FALSE(IsIconic(main_));
  EXPECT_TRUE(Logged("a request to close the locked lock screen was refused"));

  // Sent and posted to each of its windows (the hidden application window
  // that owns the others, the main window and every control on it): a
  // close, the messages of a window's end, a quit, and an end of the
  // Windows session that the system did not announce. It keeps running and
  // covering, and every window is still there.
  std::vector<HWND> windows = {TopLevel(pid_, ids::kApplicationClass), main_};
  EnumChildWindows(
      main_,
      [](HWND child, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  ASSERT_GT(windows.size(), 5u);
  ASSERT_NE(windows[0], nullptr);
  for (HWND window : windows) {
    for (UINT message : {WM_CLOSE, WM_DESTROY, WM_NCDESTROY}) {
      PostMessageW(window, message, 0, 0);
      DWORD_PTR result = 0;
      SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
    }
  }
  for (HWND window : {windows[0], main_}) {
    PostMessageW(window, WM_QUIT, 0, 0);
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 2000,
                        &result);
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 2000,
                        &result);
    PostMessageW(window, WM_ENDSESSION, TRUE, 0);
  }
  PostThreadMessageW(GetWindowThreadProcessId(main_, nullptr), WM_QUIT, 0, 0);
  Pump(1000);
  EXPECT_EQ(WaitForSingleObject(process_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(Visible(main_) && Topmost(main_));
  for (HWND window : windows) {
    EXPECT_TRUE(IsWindow(window)) << window;
  }
  for (const char* kind : {"WM_QUIT", "WM_DESTROY", "WM_NCDESTROY", "WM_ENDSESSION"}) {
    EXPECT_TRUE(Logged("a " + std::string(kind) + " from another program was ignored")) << kind;
  }

  // The service's lock order, from whichever program: unlocked, it locks.
  LogIn(L"1", L"2468");
  ASSERT_TRUE(WaitFor([&] { return !Visible(main_); }));
  PostMessageW(main_, RegisterWindowMessageW(win32::kLockOrderMessage), 0, 0);
  EXPECT_TRUE(WaitFor([&] { return Visible(main_) && Topmost(main_); }));
  EXPECT_TRUE(Logged("locked at the service's word: no session runs"));
}

// Runs on the two-monitor display of lockscreen_two_monitor_test.
TEST_F(LockScreenGui, CoversTheWholeVirtualScreenAndFitsItAgainWhenTheMonitorsChange) {
  if (GetSystemMetrics(SM_CMONITORS) < 2) {
    GTEST_SKIP() << "one monitor: lockscreen_two_monitor_test runs this on two";
  }
  StartZalvoc();
  Menu(ids::mnLock);
  ASSERT_TRUE(WaitFor([&] { return Visible(main_); }));
  MONITORINFO primary{};
  primary.cbSize = sizeof primary;
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &primary));
  ASSERT_FALSE(primary.rcMonitor == VirtualScreen()) << "the monitors cover the same area";
  RECT r;
  GetWindowRect(main_, &r);
  EXPECT_TRUE(r == VirtualScreen()) << r.left << "," << r.top << " " << r.right << "," << r.bottom;
  // The status bar runs along the bottom of the primary monitor.
  GetWindowRect(Child(main_, ids::StatusBar), &r);
  EXPECT_EQ(r.left, primary.rcMonitor.left);
  EXPECT_EQ(r.right, primary.rcMonitor.right);
  EXPECT_EQ(r.bottom, primary.rcMonitor.bottom);

  // After a display change the cover fits the monitors again.
  SetWindowPos(main_, nullptr, 40, 40, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE);
  PostMessageW(main_, WM_DISPLAYCHANGE, 24,
               MAKELPARAM(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)));
  EXPECT_TRUE(WaitFor([&] {
    RECT now;
    GetWindowRect(main_, &now);
    return now == VirtualScreen();
  }));
  LogIn(L"1", L"2468");
  EXPECT_TRUE(WaitFor([&] { return !Visible(main_); }));
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
