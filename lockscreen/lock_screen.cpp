#include "lockscreen/lock_screen.h"

#include "lockscreen/settings_io.h"
#include "lockscreen/strings.h"
#include "platform/error.h"
#include "settings/passwords.h"
#include "settings/policies.h"
#include "settings/registry_names.h"
#include "settings/settings_file.h"
#include "text/text.h"

namespace zalvo::lockscreen {

using platform::Hive;
using platform::PlatformError;

namespace {

// A stored password: unscrambled, or the default when the value is missing
// or empty; nullopt when it can't be read.
std::optional<std::string> StoredPassword(platform::RegistryKey& key, std::string_view name,
                                          std::string_view fallback) {
  try {
    std::string plain = settings::UnscramblePassword(key.ReadString(name).value_or(""));
    return plain.empty() ? std::string(fallback) : plain;
  } catch (const PlatformError&) {
    return std::nullopt;
  }
}

}  // namespace

LockScreen::LockScreen(LockScreenPlatform platform, LockScreenViews views)
    : platform_(platform),
      views_(views),
      remaining_time_(platform.registry, dialog_, views.main, views.rest_time, views.melody) {}

template <typename F>
void LockScreen::Guarded(F&& command) {
  try {
    command();
  } catch (const PlatformError& e) {
    views_.main.ShowError(e.what());
  }
}

std::string LockScreen::SettingsPath(std::string_view name) {
  return settings::SettingsFilePath(platform_.files.WindowsDirectory(), name);
}

void LockScreen::Start() {
  views_.main.HideApplicationWindow();
  try {
    if (auto key = platform_.registry.Open(Hive::kCurrentUser, kDesktopKey)) {
      memory_.wallpaper_path = key->ReadString(kWallpaperValue).value_or("");
      views_.main.LoadWallpaper(memory_.wallpaper_path);
    }
  } catch (const PlatformError&) {
    // A wallpaper value of another type: no picture, the teal shows.
  }
  ReadPasswords();
  WriteAutoAdminLogon("1");
  LoadSettings();
}

void LockScreen::ReadPasswords() {
  auto key = platform_.registry.Create(Hive::kCurrentUser, settings::kZalvoKey);
  if (!key) {
    return;
  }
  if (auto admin = StoredPassword(*key, settings::kZalvoPassword, kDefaultAdminPassword)) {
    memory_.admin_password = *admin;
  }
  if (auto small = StoredPassword(*key, settings::kSmallPassword, kDefaultSmallPassword)) {
    memory_.small_password = *small;
  }
}

void LockScreen::WriteAutoAdminLogon(std::string_view value) {
  auto key = platform_.registry.Open(Hive::kLocalMachine, settings::kWinlogonKey);
  if (!key) {
    return;
  }
  try {
    key->WriteString(settings::kAutoAdminLogon, value);
  } catch (const PlatformError&) {
    // Not writable for this account: the screen still locks or unlocks.
  }
}

void LockScreen::LoadSettings() {
  try {
    settings::SettingsText file(platform_.files.Read(SettingsPath(settings::kSettingsFileName)));
    ApplySettingsFile(file, dialog_);
    memory_.server_ip = dialog_.Text(Ctl::edServerIP);
    memory_.hide = dialog_.Checked(Ctl::cbHideMyDesktop);
    ReadBackAllowedPrograms(platform_.registry, dialog_);
    settings::PasswordOverride passwords = settings::ParsePasswordFile(
        platform_.files.Read(SettingsPath(settings::kPasswordFileName)));
    memory_.admin_password = std::move(passwords.admin);
    memory_.small_password = std::move(passwords.small);
  } catch (const PlatformError&) {
    // The rest keeps what it had.
  }
}

void LockScreen::SaveSettings() {
  const settings::StationSettings values = dialog_.Settings();
  settings::ApplyPolicyPlan(
      platform_.registry,
      settings::BuildPolicyPlan(values, memory_.server_ip, settings::PolicyVariant::kLockScreen),
      [this](const std::string& wallpaper) { views_.main.LoadWallpaper(wallpaper); });
  Guarded([&] {
    platform_.files.Replace(SettingsPath(settings::kSettingsFileName),
                            FormatLockScreenSettings(values));
    ChangePassword();
    memory_.server_ip = dialog_.Text(Ctl::edServerIP);
    memory_.hide = dialog_.Checked(Ctl::cbHideMyDesktop);
    views_.main.SetProxyCaption(strings::Cp1251(
        dialog_.Checked(Ctl::cbUseProxy) ? strings::kMenuProxyOff : strings::kMenuProxyOn));
  });
}

void LockScreen::ChangePassword() {
  const std::string& entry = dialog_.Text(Ctl::edNewPassword);
  if (entry.empty() || entry != dialog_.Text(Ctl::edNewPassword1)) {
    return;
  }
  auto key = platform_.registry.Create(Hive::kCurrentUser, settings::kZalvoKey);
  if (!key) {
    // Saying nothing would leave the administrator believing the new
    // password is in force.
    throw PlatformError("Cannot open the registry key HKEY_CURRENT_USER\\" +
                        std::string(settings::kZalvoKey));
  }
  if (dialog_.Checked(Ctl::cbPassAdmin)) {
    key->WriteString(settings::kZalvoPassword, settings::ScramblePassword(entry));
    memory_.admin_password = entry;
  } else {
    key->WriteString(settings::kSmallPassword, settings::ScramblePassword(entry));
    memory_.small_password = entry;
  }
  // The address in effect before this save; the edited one is taken over
  // after this.
  key->WriteString(settings::kServerIPValue, memory_.server_ip);
}

void LockScreen::MainShown() {
  RefreshWindowList();
  LoadSettings();
}

void LockScreen::Lock() {
  if (views_.dialog.Visible()) {
    return;
  }
  const bool was_visible = views_.main.Visible();
  views_.main.CoverScreen();
  if (!was_visible) {
    MainShown();
  }
  views_.main.ShowUnlockedControls(false);
  views_.main.SetStatusText(strings::Cp1251(strings::kStatusLocked));
  views_.main.SetScreenSaverRunning(true);
  WriteAutoAdminLogon("0");
}

void LockScreen::Unlock() {
  if (memory_.hide) {
    views_.main.Hide();
  } else if (!views_.main.Visible()) {
    views_.main.Show();
    MainShown();
  }
  views_.main.HideApplicationWindow();
  views_.main.ShowUnlockedControls(true);
  if (dialog_.Checked(Ctl::cbShutDownMonitor)) {
    views_.main.MonitorOn();
  }
  views_.main.SetStatusText("");
  views_.main.SetScreenSaverRunning(false);
  WriteAutoAdminLogon("1");
}

std::optional<int32_t> LockScreen::LoginPanelSeconds() const {
  auto seconds = text::ParseInt32(dialog_.Text(Ctl::edClosePasswordForm));
  if (seconds && *seconds > 0) {
    return seconds;
  }
  return std::nullopt;
}

void LockScreen::RestartLoginPanelTimer() {
  if (auto seconds = LoginPanelSeconds()) {
    views_.main.StartLoginPanelTimer(*seconds);
  } else {
    views_.main.StopLoginPanelTimer();
  }
}

void LockScreen::OpenLoginPanel() {
  views_.main.ShowLoginPanel();
  login_panel_shown_ = true;
  RestartLoginPanelTimer();
}

void LockScreen::LoginInput() {
  if (login_panel_shown_) {
    RestartLoginPanelTimer();
  }
}

void LockScreen::LoginPanelTimedOut() {
  views_.main.StopLoginPanelTimer();
  if (login_panel_shown_) {
    views_.main.HideLoginPanel();
    login_panel_shown_ = false;
  }
}

void LockScreen::Login(const std::string& user, const std::string& password) {
  if (user == kLoginUser && password == memory_.small_password) {
    Unlock();
  }
  if (password == memory_.admin_password) {
    Unlock();
    RefreshWindowList();
    OpenSettingsDialog();
  }
  views_.main.ClearLoginEdits();
}

void LockScreen::OpenSettingsDialog() {
  dialog_.ClearNewPasswords();
  LoadSettings();
  views_.dialog.ShowModal(kDialogGeometry.shown_width, kDialogGeometry.shown_height);
}

void LockScreen::ReleaseStation() {
  Unlock();
  views_.dialog.Close();
}

void LockScreen::RefreshWindowList() {
  dialog_.ClearItems(Ctl::lstOpenWindows);
  try {
    for (platform::WindowHandle window : platform_.desktop.TopLevelWindows()) {
      std::string caption = platform_.desktop.WindowCaption(window);
      if (!caption.empty()) {
        dialog_.AddItem(Ctl::lstOpenWindows, text::UpperLatin(caption));
      }
    }
  } catch (const PlatformError&) {
    // The list keeps the entries added so far.
  }
}

void LockScreen::ChooseWindow(size_t index) {
  const auto& titles = dialog_.Items(Ctl::lstOpenWindows);
  if (index < titles.size()) {
    dialog_.SetText(Ctl::edChosenWindow, titles[index]);
  }
}

void LockScreen::CloseChosenWindow() {
  Guarded([&] {
    const std::string& title = dialog_.Text(Ctl::edChosenWindow);
    if (title.empty()) {
      return;
    }
    // Window titles compare without regard to case, so the capitalised
    // entry still finds its window.
    if (platform::WindowHandle window = platform_.desktop.FindWindowByCaption(title)) {
      platform_.desktop.SendSystemCommand(window, kScClose);
    }
  });
}

void LockScreen::EndChosenProcess() {
  Guarded([&] {
    const std::string& title = dialog_.Text(Ctl::edChosenWindow);
    if (title.empty()) {
      return;
    }
    platform::WindowHandle window = platform_.desktop.FindWindowByCaption(title);
    uint32_t process_id = window != 0 ? platform_.desktop.WindowProcessId(window) : 0;
    if (process_id != 0) {
      platform_.desktop.TerminateProcess(process_id, 0);
    }
    RefreshWindowList();
  });
}

void LockScreen::AddProgram() {
  Guarded([&] { AddAllowedProgram(platform_.registry, dialog_); });
}

void LockScreen::Reboot() {
  if (platform_.desktop.EnablePrivilege(kShutdownPrivilege)) {
    platform_.desktop.ExitSession(platform::ExitMode::kRebootForce);
  }
}

void LockScreen::ShutDown() {
  if (platform_.desktop.EnablePrivilege(kShutdownPrivilege)) {
    platform_.desktop.ExitSession(platform::ExitMode::kShutdownForce);
  }
}

void LockScreen::LogOff() {
  platform_.desktop.ExitSession(platform::ExitMode::kLogOffForce);
  views_.main.Close();
}

void LockScreen::ToggleProxy() {
  dialog_.SetChecked(Ctl::cbUseProxy, !dialog_.Checked(Ctl::cbUseProxy));
  SaveSettings();
}

}  // namespace zalvo::lockscreen
