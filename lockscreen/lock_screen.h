// The lock screen zalvoc: start-up, the settings load and save over the
// dialog's controls, lock, unlock and the local log-in with its panel, the
// settings dialog's commands, and the power, log-off and proxy commands of
// the menus. Everything runs on the program's one GUI thread; the windows
// call in here from their handlers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lockscreen/dialog_hold.h"
#include "lockscreen/dialog_model.h"
#include "lockscreen/lock_state.h"
#include "lockscreen/remaining_time.h"
#include "lockscreen/views.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/log_sink.h"
#include "platform/password_channel.h"
#include "platform/registry.h"
#include "platform/system_shutdown.h"
#include "protocol/password_ops.h"

namespace zalvo::lockscreen {

// The passwords before anything is read, and those an empty registry value
// gives.
inline constexpr std::string_view kInitialAdminPassword = "tewl";
inline constexpr std::string_view kDefaultAdminPassword = "qwmzvk";
inline constexpr std::string_view kInitialSmallPassword = "7";
inline constexpr std::string_view kDefaultSmallPassword = "5";
// The server address before the first settings load.
inline constexpr std::string_view kBuiltInServerIP = "192.168.0.1";
// The one user name of the local log-in (with the small password).
inline constexpr std::string_view kLoginUser = "1";
inline constexpr std::string_view kDesktopKey = "Control Panel\\desktop";
inline constexpr std::string_view kWallpaperValue = "Wallpaper";

// The values the lock screen keeps besides the dialog's controls.
struct LockScreenMemory {
  std::string admin_password{kInitialAdminPassword};
  std::string small_password{kInitialSmallPassword};
  std::string wallpaper_path;
  // The server address in effect since the last load or save: the policy
  // writer copies it to the registry.
  std::string server_ip{kBuiltInServerIP};
  bool hide = true;
};

struct LockScreenPlatform {
  platform::Registry& registry;
  platform::StationFiles& files;
  platform::Desktop& desktop;
  LockStateStore& lock_state;
  // The channel to the station's service, which checks the passwords once it
  // keeps them; none: the lock screen keeps its own.
  platform::PasswordChannel* passwords = nullptr;
};

struct LockScreenViews {
  MainView& main;
  DialogView& dialog;
  RestTimeView& rest_time;
  Melody& melody;
};

class LockScreen {
 public:
  // The log takes what the lock screen could not do: a refused end of
  // Windows or of a process, a value the account may not write, a load that
  // ended early. The clock (a steady one by default) times how long the
  // settings dialog holds the service's lock order off.
  LockScreen(LockScreenPlatform platform, LockScreenViews views, platform::LogSink log = {},
             SteadyClock clock = {});

  DialogModel& dialog() { return dialog_; }
  LockScreenMemory& memory() { return memory_; }
  RemainingTime& remaining_time() { return remaining_time_; }

  // Program start, once the windows exist: the application window hidden,
  // the wallpaper and the two passwords read (not on a station whose service
  // keeps them), AutoAdminLogon "1" written, then the settings load. The main window stays hidden,
  // unless an earlier lock screen of this Windows log-on ended while the station was locked: then
  // the station is locked again.
  void Start();

  // The settings load into the dialog, one guarded sequence: the first
  // failure (no settings file, a list value that is not a string, no
  // krv.krv) ends it, keeps what was set so far, and is logged, except at
  // krv.krv, which is optional and not read while the service keeps the
  // passwords. The proxy item's caption follows the
  // loaded switch, and cbRestrictRun stays as the file says whenever the
  // allowed-programs list read back allows it.
  void LoadSettings();

  // "Запазва промените" and the proxy command: the policies from the dialog
  // (with the server address in effect before this save), then the settings
  // file, the password change, the in-memory values and the proxy caption.
  // Policies written only in part are logged; a failure after them is
  // logged and skips the rest. The error message shows the failure's text,
  // and a policy refused to this account too, under the line that
  // administrator rights are needed when the account was refused.
  void SaveSettings();

  // The main window became visible: the window list and the settings are
  // read again.
  void MainShown();

  // The lock (menu items "Заключване" and "Старт"); nothing while the
  // settings dialog is visible. The lock is remembered for the log-on, the
  // screen is held (topmost, keyboard filter) and the account's Task Manager
  // is disabled; what the account may not do is logged.
  void Lock();
  // The agent's service orders the lock while no session runs, at every
  // tick: a lock screen that does not show the lock locks (and says so in
  // its log); one that does is left as it is. The service holds the Task
  // Manager policy itself, so this lock leaves it alone. An open settings
  // dialog holds the order off for ten minutes at most (DialogHold): it
  // warns a minute before, then the order closes it without saving and
  // locks.
  void LockAtServiceWord();
  // Whether the main window may close at a request from outside the
  // program's own exit paths (the log-off, the end of the Windows session):
  // not while locked; a refusal is logged.
  [[nodiscard]] bool CloseAllowed();
  // The unlock of a correct log-in and of "Скрива програмата": the hold is
  // released, and after a lock the Task Manager policy goes back to what it
  // was before it (enabled when the account had none).
  void Unlock();

  // The log-in panel: opened by a double click on the status bar or the
  // wallpaper; hidden again after ClosePasswordForm seconds without input
  // (a value that is not a positive number keeps it shown).
  void OpenLoginPanel();
  void LoginInput();
  void LoginPanelTimedOut();
  // "Добре": user "1" with the small password unlocks; the administrator
  // password, with any name, unlocks and opens the settings dialog modally.
  // The edits are emptied afterwards. While the station's service keeps the
  // passwords, it checks the name and password and answers which of the
  // three it is; when it can't be asked, or the channel's other end is not
  // the installed service, nothing unlocks (logged).
  void Login(const std::string& user, const std::string& password);

  // Whether the station's service keeps the passwords (its mark is there).
  // Once it does, it does for the rest of this program's run.
  [[nodiscard]] bool ServiceKeepsPasswords();

  // The settings dialog's commands. A title that names no window, a process
  // that could not be ended and a list key that can't be opened are logged.
  void ReleaseStation();
  void RefreshWindowList();
  void ChooseWindow(size_t index);
  void CloseChosenWindow();
  void EndChosenProcess();
  void AddProgram();

  // The power, log-off and proxy commands of the menus, without
  // confirmation. A missing shutdown privilege and a refusal by Windows are
  // logged; the log-off closes the main window all the same.
  void Reboot();
  void ShutDown();
  void LogOff();
  void ToggleProxy();

 private:
  std::string SettingsPath(std::string_view name);
  void ReadPasswords();
  void WriteAutoAdminLogon(std::string_view value);
  std::string WhyNotWritable(platform::Hive hive, std::string_view path, bool created);
  void RestoreLock();
  void HoldLock(bool take_task_manager);
  void SaveLockState();
  std::optional<uint32_t> ReadTaskManagerPolicy();
  void WriteTaskManagerPolicy(uint32_t value);
  void ReleaseTaskManager();
  void ShowFailures(const std::vector<platform::PlatformError>& failures);
  void ShowProxyCaption();
  void ReadBackAllowedProgramsKeepingRestriction(bool restrict_run);
  void ChangePassword();
  void ChangePasswordAtService(const std::string& entry);
  void LoginAtService(const std::string& user, const std::string& password);
  // One request to the service and its reply; a channel that fails and a
  // reply that can't be read throw PlatformError.
  protocol::passwords::Reply AskService(const protocol::passwords::Request& request);
  void OpenSettingsDialog();
  std::optional<int32_t> LoginPanelSeconds() const;
  void RestartLoginPanelTimer();
  // Runs a dialog or menu command; a platform failure is logged as "what
  // failed: reason" and shows the program's error message with its text.
  template <typename F>
  void Guarded(std::string_view what, F&& command);

  LockScreenPlatform platform_;
  LockScreenViews views_;
  DialogModel dialog_;
  LockScreenMemory memory_;
  RemainingTime remaining_time_;
  platform::LogSink log_;
  // The restart and shut-down of the menus: a refusal is logged, and the
  // person asks again.
  platform::SystemShutdown power_off_{platform_.desktop, log_};
  LockState lock_state_;
  bool login_panel_shown_ = false;
  bool service_keeps_passwords_ = false;
  // While the settings dialog opened by the service's answer is shown: the
  // administrator password it was opened with, which a password change
  // hands to the service.
  std::string dialog_password_;
  SteadyClock clock_;
  DialogHold dialog_hold_;
};

}  // namespace zalvo::lockscreen
