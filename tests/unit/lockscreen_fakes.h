// Recording stand-ins for the lock screen's windows, for the unit tests of
// the lock screen's logic.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lockscreen/lock_screen.h"
#include "lockscreen/strings.h"
#include "platform/error.h"
#include "settings/registry_names.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/memory_files.h"
#include "tests/support/memory_registry.h"

namespace zalvo::lockscreen::testing {

class FakeMainView final : public MainView {
 public:
  bool visible = false;
  bool covering = false;
  bool unlocked_controls = true;
  bool login_panel = false;
  bool held = false;
  bool filter_refused = false;         // HoldScreen(true) reports no keyboard filter
  std::optional<int32_t> login_timer;  // seconds while running
  std::string status;
  std::string proxy_caption;
  bool rest_time_checked = false;
  std::vector<std::string> wallpapers;
  std::vector<std::string> errors;
  std::vector<std::string> actions;

  bool Visible() override { return visible; }
  void Show() override { visible = true, actions.push_back("Show"); }
  void Hide() override { visible = false, covering = false, actions.push_back("Hide"); }
  void CoverScreen() override { visible = covering = true, actions.push_back("CoverScreen"); }
  bool HoldScreen(bool hold) override {
    held = hold;
    return !(hold && filter_refused);
  }
  void HideApplicationWindow() override { actions.push_back("HideApplicationWindow"); }
  void ShowUnlockedControls(bool shown) override { unlocked_controls = shown; }
  void SetStatusText(const std::string& text) override { status = text; }
  void LoadWallpaper(const std::string& path) override { wallpapers.push_back(path); }
  void SetProxyCaption(const std::string& text) override { proxy_caption = text; }
  void SetRestTimeChecked(bool checked) override { rest_time_checked = checked; }
  void ShowLoginPanel() override { login_panel = true, actions.push_back("ShowLoginPanel"); }
  void HideLoginPanel() override { login_panel = false; }
  void ClearLoginEdits() override { actions.push_back("ClearLoginEdits"); }
  void StartLoginPanelTimer(int32_t seconds) override { login_timer = seconds; }
  void StopLoginPanelTimer() override { login_timer.reset(); }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void Close() override { visible = false, actions.push_back("Close"); }
  void MonitorOn() override { actions.push_back("MonitorOn"); }
};

class FakeDialogView final : public DialogView {
 public:
  bool visible = false;
  std::vector<std::pair<int, int>> shown_sizes;
  // Runs while the dialog is shown modally, as the administrator's actions.
  std::function<void()> while_shown;

  bool Visible() override { return visible; }
  void ShowModal(int width, int height) override {
    shown_sizes.emplace_back(width, height);
    visible = true;
    if (while_shown) {
      while_shown();
    }
    visible = false;
  }
  void Close() override { visible = false; }
  void Warn(const std::string& text) override { warnings.push_back(text); }

  std::vector<std::string> warnings;
};

class FakeRestTimeView final : public RestTimeView {
 public:
  bool visible = false;
  bool timer = false;
  int shows = 0;
  std::string label = "(never set)";

  bool Visible() override { return visible; }
  void Show() override { visible = true, ++shows; }
  void SetLabel(const std::string& text) override { label = text; }
  void StartTimer() override { timer = true; }
  void StopTimer() override { timer = false; }
};

class FakeMelody final : public Melody {
 public:
  bool playing = false;
  bool unplayable = false;
  std::vector<std::string> actions;

  bool Playing() override { return playing; }
  void Play(const std::string& path) override {
    actions.push_back("Play " + path);
    if (unplayable) {
      throw platform::PlatformError("cannot open " + path);
    }
    playing = true;
  }
  void Stop() override {
    actions.push_back("Stop");
    playing = false;
  }
};

// The lock state as Windows keeps it: the lock for one log-on, the Task
// Manager policy until it is put back.
class MemoryLockStateStore final : public LockStateStore {
 public:
  LockState state;

  // The log-off, or a restart of Windows.
  void NewLogOn() { state.locked = false; }

  LockState Load() override { return state; }
  void Save(const LockState& kept) override { state = kept; }
};

using zalvo::testing::MemoryFiles;

inline const std::string kSettingsPath = "C:\\WINDOWS\\krvini.ini";
inline const std::string kPasswordPath = "C:\\WINDOWS\\krv.krv";
inline const std::string kWinlogon = "HKLM\\" + std::string(settings::kWinlogonKey);
inline const std::string kZalvo = "HKCU\\" + std::string(settings::kZalvoKey);
inline const std::string kAllowed = "HKCU\\" + std::string(settings::kRestrictRunKey);
inline const std::string kSystemPolicies = "HKCU\\" + std::string(settings::kSystemPoliciesKey);

// The error message of a failure this account was refused.
inline std::string AdminRightsNeeded(const std::string& failure) {
  return strings::Cp1251(strings::kAdminRightsNeeded) + "\r\n" + failure;
}

// A lock screen over fakes, with the Winlogon key present; its log lines
// are kept in order. With a channel, the station's service keeps the
// passwords when the channel says so.
struct LockScreenRig {
  explicit LockScreenRig(platform::PasswordChannel* channel = nullptr) : channel_(channel) {
    registry.AddKey(kWinlogon);
  }

  platform::PasswordChannel* channel_;
  zalvo::testing::MemoryRegistry registry;
  MemoryFiles files;
  zalvo::testing::FakeDesktop desktop;
  MemoryLockStateStore lock_state;
  FakeMainView main;
  FakeDialogView dialog_view;
  FakeRestTimeView rest_time;
  FakeMelody melody;
  std::vector<std::string> log;
  // The lock screen's steady clock, moved by the test.
  std::chrono::steady_clock::time_point now{};
  LockScreen screen{{registry, files, desktop, lock_state, channel_},
                    {main, dialog_view, rest_time, melody},
                    [this](std::string_view line) { log.emplace_back(line); },
                    [this] { return now; }};

  DialogModel& dialog() { return screen.dialog(); }
  std::optional<std::string> AutoAdminLogon() const {
    return registry.String(kWinlogon, std::string(settings::kAutoAdminLogon));
  }
};

}  // namespace zalvo::lockscreen::testing
