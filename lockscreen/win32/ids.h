// The names and numbers by which zalvoc.exe's windows, controls and menu
// commands are known, to the program and to the tests that drive it with
// window messages.
#pragma once

#include <cstdint>

#include "lockscreen/dialog_layout.h"
#include "platform/win32/lock_screen_windows.h"

namespace zalvo::lockscreen::ids {

// Window classes.
inline constexpr wchar_t kApplicationClass[] = L"TApplication";
// The main window's class is the one the agent's session helper looks for.
inline constexpr const wchar_t* kMainClass = zalvo::win32::kLockScreenWindowClass;
inline constexpr const wchar_t* kDialogClass = zalvo::win32::kSettingsDialogClass;
inline constexpr wchar_t kRestTimeClass[] = L"TRestTimeForm";
inline constexpr wchar_t kPanelClass[] = L"TPanel";

// The notification icon's message to the main window (WM_USER + 155); its
// lParam is the mouse message.
inline constexpr uint32_t kTrayMessage = 0x49B;
inline constexpr uint32_t kTrayIconId = 1;

// Menu commands (WM_COMMAND to the main window). The notification icon's
// menu: the remaining-time window, then the submenu "Настройки" (lock, proxy
// switch, and three items without an action), then the submenu "Изход"
// (reboot, shut down, log off). The status bar's menu: lock, reboot, shut
// down.
enum MenuCommand : uint16_t {
  mnrestTime = 101,
  mnLock,
  mnProxy,
  mnMixer,
  mnLoadInternet,
  mnLoadGames,
  mnReboot,
  mnShutDown,
  btLogOff,
  mnStatusLock,
  mnStatusReboot,
  mnStatusShutDown,
};

// Child windows of the main window and of its log-in panel.
enum MainControl : uint16_t {
  StatusBar = 201,
  btStartD,
  PasswordPanel,
  lbUser,
  edUser,
  lbPassword,
  edPassword,
  btOK,
  btCancel,
};

// The remaining-time window's label with the minutes.
inline constexpr uint16_t lbRemainingTime = 301;

// The settings dialog: the page control, its four pages, and every control
// of the layout table.
inline constexpr uint16_t PageControl = 900;
inline constexpr uint16_t kFirstPage = 901;  // pages 1 to 4: 901 to 904
constexpr uint16_t ControlId(Ctl c) {
  return static_cast<uint16_t>(1000 + Index(c));
}

}  // namespace zalvo::lockscreen::ids
