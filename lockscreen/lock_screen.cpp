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

using platform::Access;
using platform::Hive;
using platform::PlatformError;

namespace {

// A stored password: unscrambled, or the default when the value is missing
// or empty. A value of another type throws PlatformError.
std::string StoredPassword(platform::RegistryKey& key, std::string_view name,
                           std::string_view fallback) {
  std::string plain = settings::UnscramblePassword(key.ReadString(name).value_or(""));
  return plain.empty() ? std::string(fallback) : plain;
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string KeyName(Hive hive, std::string_view path) {
  return std::string(hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\") +
         std::string(path);
}

// A failure's text, and what a refusal means for the club.
std::string Explained(const PlatformError& e) {
  std::string text = e.what();
  if (e.kind() == platform::ErrorKind::kAccessDenied) {
    text += " (administrator rights needed)";
  }
  return text;
}

}  // namespace

LockScreen::LockScreen(LockScreenPlatform platform, LockScreenViews views, platform::LogSink log,
                       SteadyClock clock)
    : platform_(platform),
      views_(views),
      remaining_time_(platform.registry, dialog_, views.main, views.rest_time, views.melody),
      log_(std::move(log)),
      clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }) {}

template <typename F>
void LockScreen::Guarded(std::string_view what, F&& command) {
  try {
    command();
  } catch (const PlatformError& e) {
    log_(std::string(what) + " failed: " + Explained(e));
    ShowFailures({e});
  }
}

void LockScreen::ShowFailures(const std::vector<PlatformError>& failures) {
  std::string text;
  for (const PlatformError& e : failures) {
    if (e.kind() == platform::ErrorKind::kAccessDenied) {
      text = strings::Cp1251(strings::kAdminRightsNeeded) + "\r\n";
      break;
    }
  }
  for (const PlatformError& e : failures) {
    text += e.what();
    if (&e != &failures.back()) {
      text += "\r\n";
    }
  }
  views_.main.ShowError(text);
}

std::string LockScreen::WhyNotWritable(Hive hive, std::string_view path, bool created) {
  // Reading is allowed to every account on the keys this is asked about, so
  // a key that opens for reading is one this account may not write.
  if (platform_.registry.Open(hive, path, Access::kRead)) {
    return KeyName(hive, path) + " may only be read by this account (administrator rights needed)";
  }
  return KeyName(hive, path) +
         (created ? " can't be created by this account (administrator rights needed)"
                  : " is missing or can't be opened");
}

std::string LockScreen::SettingsPath(std::string_view name) {
  return settings::SettingsFilePath(platform_.files.WindowsDirectory(), name);
}

void LockScreen::Start() {
  views_.main.HideApplicationWindow();
  try {
    if (auto key = platform_.registry.Open(Hive::kCurrentUser, kDesktopKey, Access::kRead)) {
      memory_.wallpaper_path = key->ReadString(kWallpaperValue).value_or("");
      views_.main.LoadWallpaper(memory_.wallpaper_path);
    }
  } catch (const PlatformError& e) {
    // A wallpaper value of another type: no picture, the teal shows.
    log_(std::string("wallpaper not read: ") + e.what());
  }
  if (ServiceKeepsPasswords()) {
    log_("the station's service keeps the passwords: it checks every log-in");
  } else {
    ReadPasswords();
  }
  WriteAutoAdminLogon("1");
  LoadSettings();
  RestoreLock();
}

bool LockScreen::ServiceKeepsPasswords() {
  if (!service_keeps_passwords_ && platform_.passwords != nullptr &&
      platform_.passwords->ServiceKeepsPasswords()) {
    service_keeps_passwords_ = true;
  }
  return service_keeps_passwords_;
}

void LockScreen::RestoreLock() {
  try {
    lock_state_ = platform_.lock_state.Load();
  } catch (const PlatformError& e) {
    log_(std::string("lock state of this log-on not read: ") + e.what());
    return;
  }
  if (lock_state_.locked) {
    log_("the last lock screen of this log-on ended while the station was locked: locked again");
    // As it was locked: a lock at the service's word left the Task Manager
    // policy to the service.
    HoldLock(lock_state_.task_manager_held);
  } else if (lock_state_.task_manager_held) {
    // A lock of an earlier log-on never ended: its policy goes now.
    ReleaseTaskManager();
  }
}

void LockScreen::ReleaseTaskManager() {
  // Without a policy of its own the account gets Task Manager back (0 is
  // what Windows assumes without the value).
  WriteTaskManagerPolicy(lock_state_.task_manager_before.value_or(0));
  lock_state_ = {};
  SaveLockState();
}

void LockScreen::SaveLockState() {
  try {
    platform_.lock_state.Save(lock_state_);
  } catch (const PlatformError& e) {
    log_(std::string("lock state not kept (a lock screen started again comes up unlocked): ") +
         e.what());
  }
}

std::optional<uint32_t> LockScreen::ReadTaskManagerPolicy() {
  try {
    if (auto key = platform_.registry.Open(Hive::kCurrentUser, settings::kSystemPoliciesKey,
                                           Access::kRead)) {
      return key->ReadDword(settings::kDisableTaskMgr);
    }
  } catch (const PlatformError& e) {
    log_(std::string(settings::kDisableTaskMgr) + " not read: " + e.what());
  }
  return std::nullopt;
}

void LockScreen::WriteTaskManagerPolicy(uint32_t value) {
  const std::string what = std::string(settings::kDisableTaskMgr) + " " + std::to_string(value);
  auto key =
      platform_.registry.Create(Hive::kCurrentUser, settings::kSystemPoliciesKey, Access::kWrite);
  if (!key) {
    log_(what +
         " not written: " + WhyNotWritable(Hive::kCurrentUser, settings::kSystemPoliciesKey, true));
    return;
  }
  try {
    key->WriteDword(settings::kDisableTaskMgr, value);
  } catch (const PlatformError& e) {
    log_(what + " not written: " + Explained(e));
  }
}

void LockScreen::ReadPasswords() {
  auto key = platform_.registry.Create(Hive::kCurrentUser, settings::kZalvoKey, Access::kRead);
  if (!key) {
    log_("passwords not read: HKEY_CURRENT_USER\\" + std::string(settings::kZalvoKey) +
         " can't be opened or created");
    return;
  }
  // Each password that can't be read keeps its built-in value.
  try {
    memory_.admin_password = StoredPassword(*key, settings::kZalvoPassword, kDefaultAdminPassword);
  } catch (const PlatformError& e) {
    log_(std::string(settings::kZalvoPassword) + " not read: " + e.what());
  }
  try {
    memory_.small_password = StoredPassword(*key, settings::kSmallPassword, kDefaultSmallPassword);
  } catch (const PlatformError& e) {
    log_(std::string(settings::kSmallPassword) + " not read: " + e.what());
  }
}

void LockScreen::WriteAutoAdminLogon(std::string_view value) {
  // Not writable for this account: the screen still locks or unlocks, but
  // Windows' automatic log-on is not handed over.
  const std::string what = std::string(settings::kAutoAdminLogon) + " " + Quoted(value);
  auto key = platform_.registry.Open(Hive::kLocalMachine, settings::kWinlogonKey, Access::kWrite);
  if (!key) {
    log_(what +
         " not written: " + WhyNotWritable(Hive::kLocalMachine, settings::kWinlogonKey, false));
    return;
  }
  try {
    key->WriteString(settings::kAutoAdminLogon, value);
  } catch (const PlatformError& e) {
    log_(what + " not written: " + Explained(e));
  }
}

void LockScreen::ShowProxyCaption() {
  // The caption names what the next click does.
  views_.main.SetProxyCaption(strings::Cp1251(
      dialog_.Checked(Ctl::cbUseProxy) ? strings::kMenuProxyOff : strings::kMenuProxyOn));
}

void LockScreen::LoadSettings() {
  // What a failure at this point of the sequence is logged as; krv.krv is
  // optional, so its absence ends the load without a line.
  std::string_view failed = "settings not loaded";
  try {
    settings::SettingsText file(platform_.files.Read(SettingsPath(settings::kSettingsFileName)));
    ApplySettingsFile(file, dialog_);
    ShowProxyCaption();
    memory_.server_ip = dialog_.Text(Ctl::edServerIP);
    memory_.hide = dialog_.Checked(Ctl::cbHideMyDesktop);
    failed = "allowed programs read in part";
    ReadBackAllowedProgramsKeepingRestriction(
        file.Flag(settings::Info(settings::Key::RestrictRun).name));
    failed = {};
    if (ServiceKeepsPasswords()) {
      return;  // the service has taken krv.krv over
    }
    settings::PasswordOverride passwords = settings::ParsePasswordFile(
        platform_.files.Read(SettingsPath(settings::kPasswordFileName)));
    if (passwords.admin) {
      memory_.admin_password = std::move(*passwords.admin);
    }
    if (passwords.small) {
      memory_.small_password = std::move(*passwords.small);
    }
  } catch (const PlatformError& e) {
    // The rest keeps what it had.
    if (!failed.empty()) {
      log_(std::string(failed) + ": " + e.what());
    }
  }
}

void LockScreen::ReadBackAllowedProgramsKeepingRestriction(bool restrict_run) {
  // The file's flags were applied while the list still held what it held
  // before (nothing at the first load), and the guard may have unticked
  // cbRestrictRun for that. Set it again against the list just read, so that
  // a save before the next load does not lift the restriction; the guard
  // still refuses it when the list lacks zalvoc.exe.
  try {
    ReadBackAllowedPrograms(platform_.registry, dialog_);
  } catch (const PlatformError&) {
    dialog_.SetChecked(Ctl::cbRestrictRun, restrict_run);
    throw;
  }
  dialog_.SetChecked(Ctl::cbRestrictRun, restrict_run);
}

void LockScreen::SaveSettings() {
  const settings::StationSettings values = dialog_.Settings();
  // What the error message shows: a policy this account was refused, and
  // the failure that ended the save.
  std::vector<PlatformError> failures;
  // The policy writer stops at the first value it can't write.
  if (auto failure = settings::ApplyPolicyPlan(
          platform_.registry,
          settings::BuildPolicyPlan(values, memory_.server_ip,
                                    settings::PolicyVariant::kLockScreen),
          [this](const std::string& wallpaper) { views_.main.LoadWallpaper(wallpaper); })) {
    log_("policies written in part: " + Explained(*failure));
    if (failure->kind() == platform::ErrorKind::kAccessDenied) {
      failures.push_back(*failure);
    }
  }
  try {
    platform_.files.Replace(SettingsPath(settings::kSettingsFileName),
                            FormatLockScreenSettings(values));
    ChangePassword();
    memory_.server_ip = dialog_.Text(Ctl::edServerIP);
    memory_.hide = dialog_.Checked(Ctl::cbHideMyDesktop);
    ShowProxyCaption();
  } catch (const PlatformError& e) {
    log_("settings save failed: " + Explained(e));
    failures.push_back(e);
  }
  if (!failures.empty()) {
    ShowFailures(failures);
  }
}

void LockScreen::ChangePassword() {
  const std::string& entry = dialog_.Text(Ctl::edNewPassword);
  if (entry.empty() || entry != dialog_.Text(Ctl::edNewPassword1)) {
    return;
  }
  if (ServiceKeepsPasswords()) {
    ChangePasswordAtService(entry);
    return;
  }
  auto key = platform_.registry.Create(Hive::kCurrentUser, settings::kZalvoKey, Access::kWrite);
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

protocol::passwords::Reply LockScreen::AskService(const protocol::passwords::Request& request) {
  const std::string reply =
      platform_.passwords->Exchange(protocol::passwords::EncodeRequest(request));
  try {
    return protocol::passwords::DecodeReply(reply);
  } catch (const protocol::passwords::FrameError& e) {
    throw PlatformError(std::string("the service's reply can't be read: ") + e.what(),
                        platform::ErrorKind::kBroken);
  }
}

void LockScreen::ChangePasswordAtService(const std::string& entry) {
  using protocol::passwords::Answer;
  if (dialog_password_.empty()) {
    // The entries outlive the dialog; only the dialog the service opened
    // may change a password.
    log_(
        "password change skipped: passwords change only in the settings dialog opened with the "
        "administrator password");
    return;
  }
  const bool admin = dialog_.Checked(Ctl::cbPassAdmin);
  const std::string which = admin ? "administrator password" : "small password";
  protocol::passwords::Reply reply = AskService(protocol::passwords::Change{
      dialog_password_,
      admin ? protocol::passwords::Which::kAdmin : protocol::passwords::Which::kSmall, entry});
  switch (reply.answer) {
    case Answer::kChanged:
      break;
    case Answer::kTooSoon:
      throw PlatformError("The " + which +
                          " was not changed: after wrong passwords the service "
                          "checks the next in " +
                          std::to_string(reply.retry_after_s) + " s");
    case Answer::kInvalid:
      throw PlatformError("The " + which + " was not changed: the service takes 1 to " +
                          "8 characters on one line");
    case Answer::kRefused:
      throw PlatformError("The " + which +
                              " was not changed: the service did not take the "
                              "administrator password the dialog was opened with",
                          platform::ErrorKind::kAccessDenied);
    default:
      throw PlatformError("The " + which + " was not changed: the service can't keep it");
  }
  log_("the " + which + " is changed by the station's service");
  if (admin) {
    dialog_password_ = entry;
  }
  // The copy of the server address goes where it always went.
  auto key = platform_.registry.Create(Hive::kCurrentUser, settings::kZalvoKey, Access::kWrite);
  if (!key) {
    throw PlatformError("Cannot open the registry key HKEY_CURRENT_USER\\" +
                        std::string(settings::kZalvoKey));
  }
  key->WriteString(settings::kServerIPValue, memory_.server_ip);
}

void LockScreen::LoginAtService(const std::string& user, const std::string& password) {
  using protocol::passwords::Answer;
  protocol::passwords::Reply reply;
  try {
    reply = AskService(protocol::passwords::LogIn{user, password});
  } catch (const PlatformError& e) {
    // Never the built-in passwords: the station stays as it is.
    log_("log-in refused: the station's service checks the passwords and can't be asked: " +
         std::string(e.what()));
    return;
  }
  switch (reply.answer) {
    case Answer::kUnlock:
      Unlock();
      break;
    case Answer::kUnlockAndSettings:
      Unlock();
      RefreshWindowList();
      dialog_password_ = password;
      try {
        OpenSettingsDialog();
      } catch (...) {
        dialog_password_.clear();
        throw;
      }
      dialog_password_.clear();
      break;
    case Answer::kTooSoon:
      log_("log-in not checked: after wrong passwords the service checks the next in " +
           std::to_string(reply.retry_after_s) + " s");
      break;
    case Answer::kFailed:
      log_("log-in refused: the station's service can't read its passwords");
      break;
    default:
      log_("log-in refused by the station's service: wrong name or password");
      break;
  }
}

void LockScreen::MainShown() {
  RefreshWindowList();
  LoadSettings();
}

void LockScreen::Lock() {
  HoldLock(true);
}

void LockScreen::LockAtServiceWord() {
  if (!views_.dialog.Visible()) {
    dialog_hold_.Reset();
  } else {
    const auto minutes = std::to_string(DialogHold::kLongest.count());
    switch (dialog_hold_.Order(clock_())) {
      case DialogHold::Step::kBegins:
        log_("the service's lock order waits for the open settings dialog, " + minutes +
             " minutes at most");
        return;
      case DialogHold::Step::kHolds:
        return;
      case DialogHold::Step::kWarns:
        log_("the settings dialog closes in a minute at the service's lock order: warned");
        views_.dialog.Warn(strings::Cp1251(strings::kDialogClosesSoon));
        return;
      case DialogHold::Step::kEnds:
        log_("the settings dialog was open " + minutes +
             " minutes while no session runs: closed without saving");
        views_.dialog.Close();
        break;
    }
  }
  if (lock_state_.locked && views_.main.Visible()) {
    return;  // it shows the lock already
  }
  log_("locked at the service's word: no session runs");
  HoldLock(false);
}

bool LockScreen::CloseAllowed() {
  if (!lock_state_.locked) {
    return true;
  }
  log_("a request to close the locked lock screen was refused");
  return false;
}

void LockScreen::HoldLock(bool take_task_manager) {
  if (views_.dialog.Visible()) {
    return;
  }
  // Remembered first, so that a lock screen ended from here on comes back
  // locked. Locking again keeps the policy found by the first lock.
  if (take_task_manager && !lock_state_.task_manager_held) {
    lock_state_.task_manager_before = ReadTaskManagerPolicy();
    lock_state_.task_manager_held = true;
  }
  lock_state_.locked = true;
  SaveLockState();
  const bool was_visible = views_.main.Visible();
  views_.main.CoverScreen();
  if (!was_visible) {
    MainShown();
  }
  views_.main.ShowUnlockedControls(false);
  views_.main.SetStatusText(strings::Cp1251(strings::kStatusLocked));
  if (!views_.main.HoldScreen(true)) {
    log_("keyboard filter not installed: the Windows keys and Alt+Tab reach the desktop");
  }
  if (take_task_manager) {
    WriteTaskManagerPolicy(1);
  }
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
  static_cast<void>(views_.main.HoldScreen(false));
  if (lock_state_.task_manager_held) {
    ReleaseTaskManager();  // nothing of the lock stays
  } else if (lock_state_.locked) {
    lock_state_.locked = false;
    SaveLockState();
  }
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
  if (ServiceKeepsPasswords()) {
    LoginAtService(user, password);
    views_.main.ClearLoginEdits();
    return;
  }
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
  } catch (const PlatformError& e) {
    // The list keeps the entries added so far.
    log_(std::string("window list cut short: ") + e.what());
  }
}

void LockScreen::ChooseWindow(size_t index) {
  const auto& titles = dialog_.Items(Ctl::lstOpenWindows);
  if (index < titles.size()) {
    dialog_.SetText(Ctl::edChosenWindow, titles[index]);
  }
}

void LockScreen::CloseChosenWindow() {
  Guarded("close window", [&] {
    const std::string& title = dialog_.Text(Ctl::edChosenWindow);
    if (title.empty()) {
      return;
    }
    // Window titles compare without regard to case, so the capitalised
    // entry still finds its window.
    if (platform::WindowHandle window = platform_.desktop.FindWindowByCaption(title)) {
      platform_.desktop.CloseWindow(window);
    } else {
      log_("close window: no window " + Quoted(title));
    }
  });
}

void LockScreen::EndChosenProcess() {
  Guarded("end process", [&] {
    const std::string& title = dialog_.Text(Ctl::edChosenWindow);
    if (title.empty()) {
      return;
    }
    platform::WindowHandle window = platform_.desktop.FindWindowByCaption(title);
    uint32_t process_id = window != 0 ? platform_.desktop.WindowProcessId(window) : 0;
    if (process_id == 0) {
      log_("end process: no window " + Quoted(title));
    } else if (!platform_.desktop.TerminateProcess(process_id, 0)) {
      log_("end process: process " + std::to_string(process_id) + " could not be ended");
    }
    RefreshWindowList();
  });
}

void LockScreen::AddProgram() {
  Guarded("program add", [&] {
    if (!AddAllowedProgram(platform_.registry, dialog_)) {
      // Only a refusal keeps the key from being opened or created.
      throw PlatformError("HKEY_CURRENT_USER\\" + std::string(settings::kRestrictRunKey) +
                              " can't be opened or created",
                          platform::ErrorKind::kAccessDenied);
    }
  });
}

void LockScreen::Reboot() {
  (void)power_off_.Request(platform::PowerOff::kRestart);
}

void LockScreen::ShutDown() {
  (void)power_off_.Request(platform::PowerOff::kShutDown);
}

void LockScreen::LogOff() {
  if (!platform_.desktop.LogOff()) {
    log_("log-off refused by Windows");
  }
  // The program ends all the same.
  views_.main.Close();
}

void LockScreen::ToggleProxy() {
  dialog_.SetChecked(Ctl::cbUseProxy, !dialog_.Checked(Ctl::cbUseProxy));
  SaveSettings();
}

}  // namespace zalvo::lockscreen
