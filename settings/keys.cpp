#include "settings/keys.h"

namespace zalvo::settings {

const std::array<KeyInfo, kKeyCount>& KeyTable() {
  static constexpr std::array<KeyInfo, kKeyCount> kTable = {{
      {Key::SearchPage, "SearchPage", Kind::Text, "", 0},
      {Key::StartPage, "StartPage", Kind::Text, "", 0},
      {Key::PlayMusic, "PlayMusic", Kind::Text, "", 0},
      {Key::ProxyEnable, "ProxyEnable", Kind::Flag, "", 0},
      {Key::ProxyServer, "ProxyServer", Kind::Text, "", 0},
      {Key::ProxyPort, "ProxyPort", Kind::Text, "", 0},
      {Key::ProxyOverride, "ProxyOverride", Kind::Text, "", 0},
      {Key::SearchList, "SearchList", Kind::Text, "", 0},
      {Key::Wallpaper, "Wallpaper", Kind::Text, "", 0},
      {Key::Hide, "Hide", Kind::Flag, "", 0},
      {Key::ServerIP, "ServerIP", Kind::Text, "", 0},
      {Key::BroadcastIP, "BroadcastIP", Kind::Text, "", 0},
      {Key::CheckWindowsList, "CheckWindowsList", Kind::Flag, "", 0},
      {Key::ShutDownMonitor, "ShutDownMonitor", Kind::Flag, "", 0},
      {Key::ShutDownMouse, "ShutDownMouse", Kind::Flag, "", 0},
      {Key::FlagStart, "FlagStart", Kind::Flag, "", 0},
      {Key::Beep, "Beep", Kind::Flag, "", 0},
      {Key::NoDispCPL, "NoDispCPL", Kind::Flag, "", 0},
      {Key::NoAutomatProxy, "NoAutomatProxy", Kind::Flag, "", 0},
      {Key::LinkResolveIgnoreLinkInfo, "LinkResolveIgnoreLinkInfo", Kind::Flag, "", 0},
      {Key::DisableRegistryTools, "DisableRegistryTools", Kind::Flag, "", 0},
      {Key::NoClose, "NoClose", Kind::Flag, "", 0},
      {Key::NoSaveSettings, "NoSaveSettings", Kind::Flag, "", 0},
      {Key::NoDrives, "NoDrives", Kind::Flag, "", 0},
      {Key::NoNetHood, "NoNetHood", Kind::Flag, "", 0},
      {Key::NoEntireNetwork, "NoEntireNetwork", Kind::Flag, "", 0},
      {Key::RestrictRun, "RestrictRun", Kind::Flag, "", 0},
      {Key::NoFileMenu, "NoFileMenu", Kind::Flag, "", 0},
      {Key::NoFind, "NoFind", Kind::Flag, "", 0},
      {Key::NoSetFolders, "NoSetFolders", Kind::Flag, "", 0},
      {Key::NoSetTaskBar, "NoSetTaskBar", Kind::Flag, "", 0},
      {Key::NoRun, "NoRun", Kind::Flag, "", 0},
      {Key::DisabledPassword, "DisabledPassword", Kind::Flag, "", 0},
      {Key::NoPasswords, "NoPasswords", Kind::Flag, "", 0},
      {Key::NoNetSetup, "NoNetSetup", Kind::Flag, "", 0},
      {Key::ClosePasswordForm, "ClosePasswordForm", Kind::Number, "10", 10},
      {Key::SendDataTime, "SendDataTime", Kind::Number, "60", 60},
      {Key::AutoShutDownSec, "AutoShutDownSec", Kind::Number, "6000", 6000},
      {Key::AutoShutDown, "AutoShutDown", Kind::Flag, "", 0},
      {Key::SNMP, "SNMP", Kind::Flag, "", 0},
      {Key::FreeDisk, "FreeDisk", Kind::Flag, "", 0},
      {Key::PlayGame, "PlayGame", Kind::Flag, "", 0},
  }};
  return kTable;
}

const KeyInfo& Info(Key key) {
  return KeyTable()[Index(key)];
}

const std::array<Key, 28>& LoadOrderFlags() {
  static constexpr std::array<Key, 28> kOrder = {
      Key::Hide,
      Key::ShutDownMonitor,
      Key::ShutDownMouse,
      Key::CheckWindowsList,
      Key::Beep,
      Key::NoAutomatProxy,
      Key::FlagStart,
      Key::NoDispCPL,
      Key::LinkResolveIgnoreLinkInfo,
      Key::DisableRegistryTools,
      Key::NoClose,
      Key::NoSaveSettings,
      Key::NoDrives,
      Key::NoNetHood,
      Key::NoEntireNetwork,
      Key::RestrictRun,
      Key::NoFileMenu,
      Key::NoFind,
      Key::NoSetFolders,
      Key::NoSetTaskBar,
      Key::NoRun,
      Key::DisabledPassword,
      Key::NoPasswords,
      Key::NoNetSetup,
      Key::AutoShutDown,
      Key::SNMP,
      Key::FreeDisk,
      Key::PlayGame,
  };
  return kOrder;
}

}  // namespace zalvo::settings
