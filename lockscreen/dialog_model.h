// The state of the settings dialog's controls: the lock screen's settings
// store. The load fills it, the save writes the file and the policies from
// it, and the rest of the lock screen reads its check boxes and edits. The
// Win32 dialog shows it and writes every change the administrator makes back
// into it; the model tells its observer about every change it makes itself.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "lockscreen/dialog_layout.h"
#include "settings/station_settings.h"

namespace zalvo::lockscreen {

// The lock screen's own executable: the allowed-programs list must name it
// before the RestrictRun policy can be switched on.
inline constexpr std::string_view kOwnExecutable = "zalvoc.exe";

// Built-in contents that show while the settings file can't be read.
inline constexpr std::string_view kBuiltInStartPage = "https://www.abv.bg/";
inline constexpr std::string_view kBuiltInProxyOverride =
    "mail.abv.bg;passport.abv.bg;mail.google.com";
inline constexpr std::string_view kBuiltInMelody = "C:\\WINDOWS\\Media\\town.mid";

class DialogModel {
 public:
  using Observer = std::function<void(Ctl)>;

  // The dialog's built-in contents.
  DialogModel();

  bool Checked(Ctl box) const { return checked_[Index(box)]; }
  // A change of cbRestrictRun runs the guard: the box stays ticked only while
  // the allowed-programs list holds zalvoc.exe (in any letter case).
  void SetChecked(Ctl box, bool on);

  // Windows-1251 text of an edit.
  const std::string& Text(Ctl edit) const { return texts_[Index(edit)]; }
  void SetText(Ctl edit, std::string text);

  bool Checked(settings::Key key) const;
  void SetChecked(settings::Key key, bool on);
  const std::string& Text(settings::Key key) const;
  void SetText(settings::Key key, std::string text);

  // The entries of lstOpenWindows (open window titles, kept sorted without
  // regard to the case of a to z; equal titles each keep an entry) and of
  // lstAllowedPrograms (in the order added).
  const std::vector<std::string>& Items(Ctl list) const;
  void ClearItems(Ctl list);
  void AddItem(Ctl list, std::string item);

  // Empties the two new-password entries (each showing of the dialog).
  void ClearNewPasswords();

  // A copy of the settings the controls hold, for the policy writer and the
  // save: every flag and text of the key table, SearchPage with the fixed
  // search-portal address.
  settings::StationSettings Settings() const;

  void SetObserver(Observer observer) { observer_ = std::move(observer); }

 private:
  void Notify(Ctl c) const;
  std::vector<std::string>& ItemsOf(Ctl list);
  bool ListsOwnExecutable() const;

  std::array<bool, kCtlCount> checked_{};
  std::array<std::string, kCtlCount> texts_{};
  std::vector<std::string> window_titles_;
  std::vector<std::string> programs_;
  Observer observer_;
};

}  // namespace zalvo::lockscreen
