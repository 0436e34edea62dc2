// The settings dialog TPasswordForm as data: every control of its four pages
// with its kind, page, position, size, caption, the settings key it edits,
// its length limit and whether it is hidden. The Win32 dialog
// creates its controls from this table; the model keeps their state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "settings/keys.h"

namespace zalvo::lockscreen {

// The controls. A check box is "cb" and an edit "ed" followed by the setting
// it edits; buttons ("bt"), list boxes ("lst") and labels ("lb", carrying no
// state) are named for what they hold or do.
enum class Ctl : uint8_t {
  // Above the pages.
  btSave,
  btRelease,
  // Page 1, "Настройки на клиента".
  cbPassAdmin,
  lbNewPassword,
  edNewPassword,
  lbNewPassword1,
  edNewPassword1,
  cbUseProxy,
  lbProxy,
  edProxy,
  lbPort,
  edPort,
  lbStartPage,
  edStartPage,
  lbProxyOverride,
  edProxyOverride,
  cbNoAutomatProxy,
  cbCheckWindowsList,
  edSearchList,
  cbFlagStart,
  lbClosePasswordForm,
  edClosePasswordForm,
  lbClosePasswordFormUnit,
  cbHideMyDesktop,
  cbAutoShutDown,
  edAutoShutDownSec,
  lbAutoShutDownSecUnit,
  cbShutDownMonitor,
  cbShutDownMouse,
  cbBeep,
  lbPlayMusic,
  edPlayMusic,
  lbServerIP,
  edServerIP,
  lbBroadcastIP,
  edBroadcastIP,
  // Page 2, "Програми".
  // The open windows' titles, the title the two buttons act on, and the
  // buttons: one asks that window to close, the other ends its process.
  lstOpenWindows,
  edChosenWindow,
  btCloseWindow,
  btEndProcess,
  cbRestrictRun,
  // The program name to add, the programs customers may start, and the
  // button that adds the name to them.
  edNewProgram,
  lstAllowedPrograms,
  btAddProgram,
  // Page 3, "Системни".
  cbNoDispCPL,
  cbLinkResolveIgnoreLinkInfo,
  cbDisableRegistryTools,
  cbNoClose,
  cbNoSaveSettings,
  cbDisabledPassword,
  cbNoPasswords,
  cbNoNetSetup,
  cbNoDrives,
  cbNoNetHood,
  cbNoEntireNetwork,
  cbNoFileMenu,
  cbNoFind,
  cbNoRun,
  cbNoSetFolders,
  cbNoSetTaskBar,
  edWallpaper,
  // Page 4, "Информация изпращана към сървъра".
  lbSendDataTime,
  edSendDataTime,
  lbSendDataTimeUnit,
  cbFreeDisk,
  cbPlayGame,
  cbSNMP,
};

inline constexpr size_t kCtlCount = static_cast<size_t>(Ctl::cbSNMP) + 1;
constexpr size_t Index(Ctl c) {
  return static_cast<size_t>(c);
}

enum class ControlKind : uint8_t {
  kButton,
  kCheckBox,
  kLabel,
  kEdit,
  kPasswordEdit,  // shows "*"
  kListBox,       // entries in the order they were added
  kSortedListBox,
};

struct ControlLayout {
  Ctl id;
  ControlKind kind;
  uint8_t page;  // 0 for the two buttons above the pages, else 1 to 4
  int16_t left, top, width, height;
  std::string_view caption;  // UTF-8 (strings.h)
  std::optional<settings::Key> key;
  uint8_t max_length = 0;  // characters the user can type; 0 for no limit
  bool hidden = false;
};

// The window and the page control.
struct DialogGeometry {
  int16_t left = 140, top = 55;
  int16_t client_width = 547, client_height = 438;
  // The size the local log-in gives it (also its largest size).
  int16_t shown_width = 550, shown_height = 465;
  int16_t pages_left = 0, pages_top = 120, pages_width = 545, pages_height = 316;
  // The width of a page's client area, for controls that run across it.
  int16_t page_width = 537;
};
inline constexpr DialogGeometry kDialogGeometry{};

// The pages' captions, in order (UTF-8).
const std::array<std::string_view, 4>& PageCaptions();

// Every control, in creation order.
std::span<const ControlLayout> DialogControls();
const ControlLayout& LayoutOf(Ctl c);

// The control that edits a settings key (every key but SearchPage has one),
// and the key a control edits.
std::optional<Ctl> ControlOf(settings::Key key);
std::optional<settings::Key> KeyOf(Ctl c);

}  // namespace zalvo::lockscreen
