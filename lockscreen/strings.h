// Every text the lock screen shows, kept once. The literals are UTF-8 (the
// source files' encoding); Cp1251() turns one into the Windows-1251 bytes
// that every text of the system is held in, and the Win32 windows show those
// through code page 1251.
#pragma once

#include <string>
#include <string_view>

#include "text/cp1251.h"

namespace zalvo::lockscreen::strings {

inline std::string Cp1251(std::string_view utf8) {
  return text::Utf8ToCp1251(utf8);
}

// The main window, its status bar and its log-in panel.
inline constexpr std::string_view kMainCaption = "Работна област";
inline constexpr std::string_view kStatusAtStart = "Добре дошли. Моля изчакайте ...";
inline constexpr std::string_view kStatusLocked = " Добре дошли. Моля изчакайте ...";
inline constexpr std::string_view kStartButton = "Start";
inline constexpr std::string_view kUserLabel = "Име";
inline constexpr std::string_view kPasswordLabel = "Парола";
inline constexpr std::string_view kOkButton = "Добре";
inline constexpr std::string_view kCancelButton = "Отказ";
inline constexpr std::string_view kTrayTip = "Zalvo";

// The notification-icon menu and the status-bar menu.
inline constexpr std::string_view kMenuRestTime = "Оставащо време";
inline constexpr std::string_view kMenuSettings = "Настройки";
inline constexpr std::string_view kMenuLock = "Заключване";
inline constexpr std::string_view kMenuProxyOn = "Включва Proxy";
inline constexpr std::string_view kMenuProxyOff = "Изключва Proxy";
inline constexpr std::string_view kMenuMixer = "Mixer";
inline constexpr std::string_view kMenuInternet = "Зарежда Интернет";
inline constexpr std::string_view kMenuGames = "Зарежда Игри";
inline constexpr std::string_view kMenuExit = "Изход";
inline constexpr std::string_view kMenuReboot = "Рестартира";
inline constexpr std::string_view kMenuShutDown = "Изключва";
inline constexpr std::string_view kMenuLogOff = "Log Off";
inline constexpr std::string_view kMenuStart = "Старт";

// The first line of the error message of a save or an add that this account
// may not do: an administrator's rights are needed.
inline constexpr std::string_view kAdminRightsNeeded = "Необходими са администраторски права.";

// The remaining-time window.
inline constexpr std::string_view kRestTimeCaption = "Time";
inline constexpr std::string_view kMinutesSuffix = " мин.";

// The settings dialog: its window, its two buttons and its pages.
inline constexpr std::string_view kDialogCaption = "Въведете Име и Парола";
inline constexpr std::string_view kSaveButton = "Запазва промените";
inline constexpr std::string_view kReleaseButton = "Скрива програмата";
inline constexpr std::string_view kPageClient = "Настройки на клиента";
inline constexpr std::string_view kPagePrograms = "Програми";
inline constexpr std::string_view kPageSystem = "Системни";
inline constexpr std::string_view kPageServer = "Информация изпращана към сървъра";
// The dialog's caption a minute before the service's lock order closes it
// (while no session runs it stays open for ten minutes at most).
inline constexpr std::string_view kDialogClosesSoon =
    "След 1 минута прозорецът се затваря и станцията се заключва: запазете промените";

// Page "Настройки на клиента".
inline constexpr std::string_view kPassAdmin = "Парола за смяна на настройки";
inline constexpr std::string_view kNewPassword = "Парола";
inline constexpr std::string_view kNewPassword1 = "Проверка на парола";
inline constexpr std::string_view kProxy = "Proxy:";
inline constexpr std::string_view kPort = "Port:";
inline constexpr std::string_view kStartPage = "Портал:";
inline constexpr std::string_view kProxyOverride = "Прескача proxy за :";
inline constexpr std::string_view kNoAutomatProxy =
    "Настройките на Proxy Server не се променят автоматично";
inline constexpr std::string_view kCheckWindowsList = "Проверява за текст:";
inline constexpr std::string_view kFlagStart = "При стартиране на компютъра защитата е включена";
inline constexpr std::string_view kClosePasswordForm = "Затваря автоматично прозореца след";
inline constexpr std::string_view kSeconds = "секунди";
// The last letter of this caption is a Latin "a", as the dialog has always
// shown it.
inline constexpr std::string_view kHideMyDesktop = "Скрива програматa";
inline constexpr std::string_view kAutoShutDown = "Автоматично след";
inline constexpr std::string_view kShutDownMonitor = "Изключва монитора";
inline constexpr std::string_view kShutDownMouse = "Изключва мишката";
inline constexpr std::string_view kBeep = "Включва говорителя";
inline constexpr std::string_view kPlayMusic = "Мелодия:";
inline constexpr std::string_view kServerIP = "Server IP:";
inline constexpr std::string_view kBroadcastIP = "Broadcast IP:";

// Page "Програми".
inline constexpr std::string_view kCloseButton = "Close";
inline constexpr std::string_view kRestrictRun = "Позволява стартирането само на избрани програми";
inline constexpr std::string_view kAddButton = "Прибавя";

// Page "Системни".
inline constexpr std::string_view kNoDispCPL = "Премахва Display Properties";
inline constexpr std::string_view kLinkResolveIgnoreLinkInfo =
    "Shortcut сочи към локалния компютър";
inline constexpr std::string_view kDisableRegistryTools = "Премахва Regedit";
inline constexpr std::string_view kNoClose = "Премахва ShutDown";
inline constexpr std::string_view kNoSaveSettings =
    "Не записва настройките на Dektop-a при рестартиране";
inline constexpr std::string_view kDisabledPassword = "Не запомня паролите на локалния компютър";
inline constexpr std::string_view kNoPasswords =
    "Не позволява достъп до Passwords oт Control Panel";
inline constexpr std::string_view kNoNetSetup = "Не позволява достъп до Network oт Control Panel";
inline constexpr std::string_view kNoDrives = "Премахва А и С устройства";
inline constexpr std::string_view kNoNetHood = "Премахва Network Neighborhood";
inline constexpr std::string_view kNoEntireNetwork = "Премахва EntireNetwork";
inline constexpr std::string_view kNoFileMenu = "Премахва FileMenu";
inline constexpr std::string_view kNoFind = "Премахва Find";
inline constexpr std::string_view kNoRun = "Премахва Run";
inline constexpr std::string_view kNoSetFolders = "Премахва Settings-->folders";
inline constexpr std::string_view kNoSetTaskBar = "Премахва Settings-->Taskbar";

// Page "Информация изпращана към сървъра".
inline constexpr std::string_view kSendDataTime = "Изпраща данни на";
inline constexpr std::string_view kFreeDisk = "Свободно място на С:";
inline constexpr std::string_view kPlayGame = "Активно приложение";
inline constexpr std::string_view kSNMP = "Обща скорост на мрежовата карта";

}  // namespace zalvo::lockscreen::strings
