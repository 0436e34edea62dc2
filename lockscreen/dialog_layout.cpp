#include "lockscreen/dialog_layout.h"

#include "lockscreen/strings.h"

namespace zalvo::lockscreen {
namespace {

using K = settings::Key;
using enum ControlKind;
namespace s = strings;

// Positions are left, top, width and height in pixels within the page (the
// two buttons: within the window's client area). Labels the dialog has
// always shown without a designed place sit beside the control they name.
constexpr int16_t kLeftColumn = 16;
constexpr int16_t kRightColumn = 320;
constexpr int16_t kPageWidth = kDialogGeometry.page_width;

constexpr std::array<ControlLayout, kCtlCount> kControls = {{
    {Ctl::btSave, kButton, 0, 320, 8, 201, 45, s::kSaveButton, {}},
    {Ctl::btRelease, kButton, 0, 320, 60, 201, 45, s::kReleaseButton, {}},

    {Ctl::cbPassAdmin, kCheckBox, 1, 3, 5, 185, 17, s::kPassAdmin, {}},
    {Ctl::lbNewPassword, kLabel, 1, 8, 29, 100, 13, s::kNewPassword, {}},
    {Ctl::edNewPassword, kPasswordEdit, 1, 113, 25, 121, 21, "", {}, 8},
    {Ctl::lbNewPassword1, kLabel, 1, 8, 61, 104, 13, s::kNewPassword1, {}},
    {Ctl::edNewPassword1, kPasswordEdit, 1, 113, 57, 121, 21, "", {}, 8},
    {Ctl::cbUseProxy, kCheckBox, 1, 2, 93, 12, 17, "", K::ProxyEnable},
    {Ctl::lbProxy, kLabel, 1, 16, 92, 30, 13, s::kProxy, {}},
    {Ctl::edProxy, kEdit, 1, 48, 88, 121, 21, "", K::ProxyServer},
    {Ctl::lbPort, kLabel, 1, 176, 92, 28, 13, s::kPort, {}},
    {Ctl::edPort, kEdit, 1, 208, 88, 57, 21, "", K::ProxyPort},
    {Ctl::lbStartPage, kLabel, 1, 8, 124, 40, 13, s::kStartPage, {}},
    {Ctl::edStartPage, kEdit, 1, 48, 120, 233, 21, "", K::StartPage},
    {Ctl::lbProxyOverride, kLabel, 1, 8, 152, 130, 13, s::kProxyOverride, {}},
    {Ctl::edProxyOverride, kEdit, 1, 8, 168, 273, 21, "", K::ProxyOverride},
    {Ctl::cbNoAutomatProxy, kCheckBox, 1, 8, 192, 321, 17, s::kNoAutomatProxy, K::NoAutomatProxy},
    {Ctl::cbCheckWindowsList, kCheckBox, 1, 8, 212, 153, 17, s::kCheckWindowsList,
     K::CheckWindowsList, 0, true},
    {Ctl::edSearchList, kEdit, 1, 168, 208, 121, 21, "", K::SearchList, 0, true},
    {Ctl::cbFlagStart, kCheckBox, 1, 8, 239, 297, 17, s::kFlagStart, K::FlagStart},
    {Ctl::lbClosePasswordForm, kLabel, 1, 8, 260, 205, 13, s::kClosePasswordForm, {}},
    {Ctl::edClosePasswordForm, kEdit, 1, 216, 256, 33, 21, "", K::ClosePasswordForm},
    {Ctl::lbClosePasswordFormUnit, kLabel, 1, 256, 260, 50, 13, s::kSeconds, {}},
    {Ctl::cbHideMyDesktop, kCheckBox, 1, 386, 5, 135, 17, s::kHideMyDesktop, K::Hide},
    {Ctl::cbAutoShutDown, kCheckBox, 1, 312, 29, 121, 17, s::kAutoShutDown, K::AutoShutDown},
    {Ctl::edAutoShutDownSec, kEdit, 1, 432, 24, 33, 21, "", K::AutoShutDownSec},
    {Ctl::lbAutoShutDownSecUnit, kLabel, 1, 470, 28, 50, 13, s::kSeconds, {}},
    {Ctl::cbShutDownMonitor, kCheckBox, 1, 386, 45, 135, 17, s::kShutDownMonitor,
     K::ShutDownMonitor},
    {Ctl::cbShutDownMouse, kCheckBox, 1, 386, 69, 135, 17, s::kShutDownMouse, K::ShutDownMouse},
    {Ctl::cbBeep, kCheckBox, 1, 386, 87, 135, 17, s::kBeep, K::Beep},
    {Ctl::lbPlayMusic, kLabel, 1, 330, 116, 52, 13, s::kPlayMusic, {}},
    {Ctl::edPlayMusic, kEdit, 1, 384, 112, 129, 21, "", K::PlayMusic},
    {Ctl::lbServerIP, kLabel, 1, 312, 148, 70, 13, s::kServerIP, {}},
    {Ctl::edServerIP, kEdit, 1, 386, 144, 121, 21, "", K::ServerIP},
    {Ctl::lbBroadcastIP, kLabel, 1, 312, 172, 72, 13, s::kBroadcastIP, {}},
    {Ctl::edBroadcastIP, kEdit, 1, 386, 168, 121, 21, "", K::BroadcastIP},

    {Ctl::lstOpenWindows, kSortedListBox, 2, 0, 0, kPageWidth, 65, "", {}},
    {Ctl::edChosenWindow, kEdit, 2, 0, 64, kPageWidth, 21, "", {}},
    {Ctl::btCloseWindow, kButton, 2, 344, 86, 75, 25, s::kCloseButton, {}},
    {Ctl::btEndProcess, kButton, 2, 440, 86, 75, 25, s::kCloseButton, {}},
    {Ctl::cbRestrictRun, kCheckBox, 2, 0, 88, 353, 17, s::kRestrictRun, K::RestrictRun},
    {Ctl::edNewProgram, kEdit, 2, 0, 112, kPageWidth, 21, "", {}},
    {Ctl::lstAllowedPrograms, kListBox, 2, 1, 136, 448, 145, "", {}},
    {Ctl::btAddProgram, kButton, 2, 456, 136, 75, 25, s::kAddButton, {}},

    {Ctl::cbNoDispCPL, kCheckBox, 3, kLeftColumn, 88, 290, 17, s::kNoDispCPL, K::NoDispCPL},
    {Ctl::cbLinkResolveIgnoreLinkInfo, kCheckBox, 3, kLeftColumn, 112, 290, 17,
     s::kLinkResolveIgnoreLinkInfo, K::LinkResolveIgnoreLinkInfo},
    {Ctl::cbDisableRegistryTools, kCheckBox, 3, kLeftColumn, 136, 290, 17, s::kDisableRegistryTools,
     K::DisableRegistryTools},
    {Ctl::cbNoClose, kCheckBox, 3, kLeftColumn, 160, 290, 17, s::kNoClose, K::NoClose},
    {Ctl::cbNoSaveSettings, kCheckBox, 3, kLeftColumn, 184, 290, 17, s::kNoSaveSettings,
     K::NoSaveSettings},
    {Ctl::cbDisabledPassword, kCheckBox, 3, kLeftColumn, 208, 290, 17, s::kDisabledPassword,
     K::DisabledPassword},
    {Ctl::cbNoPasswords, kCheckBox, 3, kLeftColumn, 232, 290, 17, s::kNoPasswords, K::NoPasswords},
    {Ctl::cbNoNetSetup, kCheckBox, 3, kLeftColumn, 256, 290, 17, s::kNoNetSetup, K::NoNetSetup},
    {Ctl::cbNoDrives, kCheckBox, 3, kRightColumn, 88, 217, 17, s::kNoDrives, K::NoDrives},
    {Ctl::cbNoNetHood, kCheckBox, 3, kRightColumn, 112, 217, 17, s::kNoNetHood, K::NoNetHood},
    {Ctl::cbNoEntireNetwork, kCheckBox, 3, kRightColumn, 136, 217, 17, s::kNoEntireNetwork,
     K::NoEntireNetwork},
    {Ctl::cbNoFileMenu, kCheckBox, 3, kRightColumn, 160, 217, 17, s::kNoFileMenu, K::NoFileMenu},
    {Ctl::cbNoFind, kCheckBox, 3, kRightColumn, 184, 217, 17, s::kNoFind, K::NoFind},
    {Ctl::cbNoRun, kCheckBox, 3, kRightColumn, 208, 217, 17, s::kNoRun, K::NoRun},
    {Ctl::cbNoSetFolders, kCheckBox, 3, kRightColumn, 232, 217, 17, s::kNoSetFolders,
     K::NoSetFolders},
    {Ctl::cbNoSetTaskBar, kCheckBox, 3, kRightColumn, 256, 217, 17, s::kNoSetTaskBar,
     K::NoSetTaskBar},
    {Ctl::edWallpaper, kEdit, 3, 88, 56, 121, 21, "", K::Wallpaper, 0, true},

    {Ctl::lbSendDataTime, kLabel, 4, 11, 12, 98, 13, s::kSendDataTime, {}},
    {Ctl::edSendDataTime, kEdit, 4, 112, 8, 33, 21, "", K::SendDataTime},
    {Ctl::lbSendDataTimeUnit, kLabel, 4, 150, 12, 50, 13, s::kSeconds, {}},
    {Ctl::cbFreeDisk, kCheckBox, 4, 11, 45, 250, 17, s::kFreeDisk, K::FreeDisk},
    {Ctl::cbPlayGame, kCheckBox, 4, 11, 77, 250, 17, s::kPlayGame, K::PlayGame},
    {Ctl::cbSNMP, kCheckBox, 4, 11, 109, 250, 17, s::kSNMP, K::SNMP},
}};

// The table is indexed by the enumeration.
constexpr bool InEnumOrder() {
  for (size_t i = 0; i < kControls.size(); ++i) {
    if (Index(kControls[i].id) != i) {
      return false;
    }
  }
  return true;
}
static_assert(InEnumOrder());

}  // namespace

const std::array<std::string_view, 4>& PageCaptions() {
  static constexpr std::array<std::string_view, 4> kCaptions = {s::kPageClient, s::kPagePrograms,
                                                                s::kPageSystem, s::kPageServer};
  return kCaptions;
}

std::span<const ControlLayout> DialogControls() {
  return kControls;
}

const ControlLayout& LayoutOf(Ctl c) {
  return kControls[Index(c)];
}

std::optional<Ctl> ControlOf(settings::Key key) {
  for (const ControlLayout& layout : kControls) {
    if (layout.key == key) {
      return layout.id;
    }
  }
  return std::nullopt;
}

std::optional<settings::Key> KeyOf(Ctl c) {
  return LayoutOf(c).key;
}

}  // namespace zalvo::lockscreen
