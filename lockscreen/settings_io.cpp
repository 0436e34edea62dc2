#include "lockscreen/settings_io.h"

#include <algorithm>
#include <set>

#include "settings/registry_names.h"
#include "text/text.h"

namespace zalvo::lockscreen {

using settings::Info;
using settings::Key;

void ApplySettingsFile(const settings::SettingsText& file, DialogModel& dialog) {
  auto text = [&](Key key) { dialog.SetText(key, file.Value(Info(key).name)); };
  dialog.SetChecked(Key::ProxyEnable, file.Flag(Info(Key::ProxyEnable).name));
  for (Key key :
       {Key::StartPage, Key::PlayMusic, Key::ProxyServer, Key::ProxyPort, Key::ProxyOverride}) {
    text(key);
  }
  for (Key key : settings::LoadOrderFlags()) {
    dialog.SetChecked(key, file.Flag(Info(key).name));
  }
  for (Key key : {Key::ClosePasswordForm, Key::SendDataTime, Key::AutoShutDownSec}) {
    std::string value = file.Value(Info(key).name);
    dialog.SetText(key, value.empty() ? std::string(Info(key).default_text) : std::move(value));
  }
  for (Key key : {Key::ServerIP, Key::BroadcastIP, Key::SearchList, Key::Wallpaper}) {
    text(key);
  }
}

std::string FormatLockScreenSettings(const settings::StationSettings& values) {
  std::vector<settings::SettingsEntry> entries;
  entries.reserve(settings::kKeyCount);
  for (const settings::KeyInfo& info : settings::KeyTable()) {
    if (info.key == Key::SearchPage) {
      entries.push_back({info.name, std::string(settings::kSearchPageUrl)});
    } else if (info.kind == settings::Kind::Flag) {
      entries.push_back({info.name, values.Flag(info.key) ? "1" : "0"});
    } else {
      entries.push_back({info.name, values.Text(info.key)});
    }
  }
  return settings::FormatSettingsFile(entries);
}

void ReadBackAllowedPrograms(platform::Registry& registry, DialogModel& dialog) {
  auto key = registry.Open(platform::Hive::kCurrentUser, settings::kRestrictRunKey,
                           platform::Access::kRead);
  if (!key) {
    return;
  }
  std::vector<std::string> names = key->ValueNames();
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return text::LessIgnoreCase(a, b);
  });
  dialog.ClearItems(Ctl::lstAllowedPrograms);
  for (const std::string& name : names) {
    dialog.AddItem(Ctl::lstAllowedPrograms, key->ReadString(name).value_or(""));
  }
}

std::string NextProgramValueName(const std::vector<std::string>& existing_names, size_t entries) {
  std::set<std::string> taken;
  for (const std::string& name : existing_names) {
    taken.insert(text::UpperLatin(name));
  }
  size_t number = entries;
  while (taken.count(std::to_string(number)) > 0) {
    ++number;
  }
  return std::to_string(number);
}

bool AddAllowedProgram(platform::Registry& registry, DialogModel& dialog) {
  auto key = registry.Create(platform::Hive::kCurrentUser, settings::kRestrictRunKey,
                             platform::Access::kReadWrite);
  if (!key) {
    return false;
  }
  // The text goes in as typed: not trimmed, not tested for emptiness, not
  // compared with the entries already there.
  std::string program = dialog.Text(Ctl::edNewProgram);
  dialog.AddItem(Ctl::lstAllowedPrograms, program);
  std::string name =
      NextProgramValueName(key->ValueNames(), dialog.Items(Ctl::lstAllowedPrograms).size());
  key->WriteString(name, program);
  return true;
}

}  // namespace zalvo::lockscreen
