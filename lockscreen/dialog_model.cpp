#include "lockscreen/dialog_model.h"

#include <algorithm>
#include <stdexcept>

#include "text/text.h"

namespace zalvo::lockscreen {

using settings::Key;

DialogModel::DialogModel() {
  texts_[Index(Ctl::edPort)] = "8080";
  texts_[Index(Ctl::edPlayMusic)] = kBuiltInMelody;
  texts_[Index(Ctl::edSearchList)] = "File Download";
  texts_[Index(Ctl::edClosePasswordForm)] = "10";
  texts_[Index(Ctl::edSendDataTime)] = "60";
  texts_[Index(Ctl::edAutoShutDownSec)] = "6000";
  texts_[Index(Ctl::edStartPage)] = kBuiltInStartPage;
  texts_[Index(Ctl::edProxyOverride)] = kBuiltInProxyOverride;
  checked_[Index(Ctl::cbHideMyDesktop)] = true;
  checked_[Index(Ctl::cbCheckWindowsList)] = true;
  checked_[Index(Ctl::cbPlayGame)] = true;
}

void DialogModel::SetChecked(Ctl box, bool on) {
  if (box == Ctl::cbRestrictRun && on && !ListsOwnExecutable()) {
    on = false;
  }
  checked_[Index(box)] = on;
  // Told even when nothing changed: a click that the guard refused has
  // already ticked the box on the screen.
  Notify(box);
}

void DialogModel::SetText(Ctl edit, std::string text) {
  std::string& current = texts_[Index(edit)];
  if (current == text) {
    return;
  }
  current = std::move(text);
  Notify(edit);
}

namespace {
Ctl ControlFor(Key key) {
  auto c = ControlOf(key);
  if (!c) {
    throw std::logic_error("no control edits this key");
  }
  return *c;
}
}  // namespace

bool DialogModel::Checked(Key key) const {
  return Checked(ControlFor(key));
}
void DialogModel::SetChecked(Key key, bool on) {
  SetChecked(ControlFor(key), on);
}
const std::string& DialogModel::Text(Key key) const {
  return Text(ControlFor(key));
}
void DialogModel::SetText(Key key, std::string text) {
  SetText(ControlFor(key), std::move(text));
}

const std::vector<std::string>& DialogModel::Items(Ctl list) const {
  return list == Ctl::lstOpenWindows ? window_titles_ : programs_;
}

std::vector<std::string>& DialogModel::ItemsOf(Ctl list) {
  return list == Ctl::lstOpenWindows ? window_titles_ : programs_;
}

void DialogModel::ClearItems(Ctl list) {
  ItemsOf(list).clear();
  Notify(list);
}

void DialogModel::AddItem(Ctl list, std::string item) {
  std::vector<std::string>& items = ItemsOf(list);
  if (list == Ctl::lstOpenWindows) {
    auto at = std::upper_bound(
        items.begin(), items.end(), item,
        [](const std::string& a, const std::string& b) { return text::LessIgnoreCase(a, b); });
    items.insert(at, std::move(item));
  } else {
    items.push_back(std::move(item));
  }
  Notify(list);
}

void DialogModel::ClearNewPasswords() {
  SetText(Ctl::edNewPassword, "");
  SetText(Ctl::edNewPassword1, "");
}

settings::StationSettings DialogModel::Settings() const {
  settings::StationSettings s;
  for (const settings::KeyInfo& info : settings::KeyTable()) {
    if (info.key == Key::SearchPage) {
      s.SetText(info.key, std::string(settings::kSearchPageUrl));
    } else if (info.kind == settings::Kind::Flag) {
      s.SetFlag(info.key, Checked(info.key));
    } else {
      s.SetText(info.key, Text(info.key));
    }
  }
  return s;
}

void DialogModel::Notify(Ctl c) const {
  if (observer_) {
    observer_(c);
  }
}

bool DialogModel::ListsOwnExecutable() const {
  return std::any_of(programs_.begin(), programs_.end(), [](const std::string& entry) {
    return text::EqualsIgnoreCase(entry, kOwnExecutable);
  });
}

}  // namespace zalvo::lockscreen
