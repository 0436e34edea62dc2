#include "settings/station_settings.h"

#include "settings/settings_file.h"
#include "text/text.h"

namespace zalvo::settings {
namespace {

constexpr std::array<Key, 4> kFirstTexts = {Key::StartPage, Key::ProxyServer, Key::ProxyPort,
                                            Key::ProxyOverride};
constexpr std::array<Key, 4> kLastTexts = {Key::ServerIP, Key::BroadcastIP, Key::SearchList,
                                           Key::Wallpaper};
constexpr std::array<Key, 3> kNumbers = {Key::ClosePasswordForm, Key::SendDataTime,
                                         Key::AutoShutDownSec};

int32_t IntegerOr(const std::string& text, Key key) {
  return text::ParseInt32(text).value_or(Info(key).default_number);
}

}  // namespace

StationSettings StationSettings::AgentInitial() {
  StationSettings s;
  s.SetFlag(Key::Hide, true);
  s.SetFlag(Key::PlayGame, true);
  return s;
}

AgentLoad ParseAgentSettings(std::string_view file_bytes) {
  const SettingsText file(file_bytes);
  AgentLoad load;
  StationSettings& s = load.settings;
  s.SetFlag(Key::ProxyEnable, file.Flag(Info(Key::ProxyEnable).name));
  for (Key key : kFirstTexts) {
    s.SetText(key, file.Value(Info(key).name));
  }
  for (Key key : LoadOrderFlags()) {
    s.SetFlag(key, file.Flag(Info(key).name));
  }
  for (Key key : kNumbers) {
    std::string value = file.Value(Info(key).name);
    s.SetText(key, value.empty() ? std::string(Info(key).default_text) : value);
  }
  load.check_period = IntegerOr(s.Text(Key::ClosePasswordForm), Key::ClosePasswordForm);
  load.grace_seconds = IntegerOr(s.Text(Key::AutoShutDownSec), Key::AutoShutDownSec);
  load.report_period = IntegerOr(s.Text(Key::SendDataTime), Key::SendDataTime);
  for (Key key : kLastTexts) {
    s.SetText(key, file.Value(Info(key).name));
  }
  return load;
}

std::string FormatAgentSettings(const StationSettings& settings) {
  std::vector<SettingsEntry> entries;
  entries.reserve(kKeyCount);
  for (const KeyInfo& info : KeyTable()) {
    switch (info.key) {
      case Key::PlayMusic:
        break;
      case Key::SearchPage:
        entries.push_back({info.name, std::string(kSearchPageUrl)});
        break;
      default:
        entries.push_back({info.name, info.kind == Kind::Flag
                                          ? std::string(settings.Flag(info.key) ? "1" : "0")
                                          : settings.Text(info.key)});
        break;
    }
  }
  return FormatSettingsFile(entries);
}

}  // namespace zalvo::settings
