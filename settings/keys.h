// The 42 named values of krvini.ini, in the order in which both programs
// write the file, with their kinds and defaults.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace zalvo::settings {

enum class Key : uint8_t {
  SearchPage,
  StartPage,
  PlayMusic,
  ProxyEnable,
  ProxyServer,
  ProxyPort,
  ProxyOverride,
  SearchList,
  Wallpaper,
  Hide,
  ServerIP,
  BroadcastIP,
  CheckWindowsList,
  ShutDownMonitor,
  ShutDownMouse,
  FlagStart,
  Beep,
  NoDispCPL,
  NoAutomatProxy,
  LinkResolveIgnoreLinkInfo,
  DisableRegistryTools,
  NoClose,
  NoSaveSettings,
  NoDrives,
  NoNetHood,
  NoEntireNetwork,
  RestrictRun,
  NoFileMenu,
  NoFind,
  NoSetFolders,
  NoSetTaskBar,
  NoRun,
  DisabledPassword,
  NoPasswords,
  NoNetSetup,
  ClosePasswordForm,
  SendDataTime,
  AutoShutDownSec,
  AutoShutDown,
  SNMP,
  FreeDisk,
  PlayGame,
};

inline constexpr size_t kKeyCount = 42;

enum class Kind : uint8_t { Flag, Text, Number };

struct KeyInfo {
  Key key;
  std::string_view name;
  Kind kind;
  // Default text of a number key (the text an absent or empty value becomes)
  // and the integer that an invalid number gives the agent.
  std::string_view default_text;
  int32_t default_number;
};

// The key table, in file order.
const std::array<KeyInfo, kKeyCount>& KeyTable();
const KeyInfo& Info(Key key);
constexpr size_t Index(Key key) {
  return static_cast<size_t>(key);
}

// The search-portal address written as the first line of every saved file
// and, by the lock screen, as the browser's search page.
inline constexpr std::string_view kSearchPageUrl = "https://duckduckgo.com/";

// The flags of the key table in the order in which both programs' loads read
// them (Hide to PlayGame).
const std::array<Key, 28>& LoadOrderFlags();

}  // namespace zalvo::settings
