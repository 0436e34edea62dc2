// Registry keys and values shared by the two programs.
#pragma once

#include <string_view>

namespace zalvo::settings {

// Local machine: the Windows log-on key that carries the session hand-off.
inline constexpr std::string_view kWinlogonKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
inline constexpr std::string_view kAutoAdminLogon = "AutoAdminLogon";
inline constexpr std::string_view kDefaultUserName = "DefaultUserName";
inline constexpr std::string_view kDefaultDomainName = "DefaultDomainName";
inline constexpr std::string_view kDefaultPassword = "DefaultPassword";
inline constexpr std::string_view kZalvoLogon = "ZalvoLogon";
inline constexpr std::string_view kLocalTimer = "LocalTimer";

// Local machine: where the station's service keeps the lock screen's
// passwords (agent/password_store.h). Its existence tells the lock screen to
// have every password checked by the service.
inline constexpr std::string_view kPasswordStoreKey = "SOFTWARE\\Zalvo\\Passwords";

// Current user: the lock screen's passwords and its copy of the server address.
inline constexpr std::string_view kZalvoKey = "Software\\Kav\\Zalvo";
inline constexpr std::string_view kZalvoPassword = "ZalvoPassword";
inline constexpr std::string_view kSmallPassword = "SmallPassword";
inline constexpr std::string_view kServerIPValue = "ServerIP";

// Current user: the system policies, with the switch of the Task Manager
// that the lock screen and the service turn off while the station is
// locked, and the shell the customer account gets.
inline constexpr std::string_view kSystemPoliciesKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
inline constexpr std::string_view kDisableTaskMgr = "DisableTaskMgr";

// Current user: the list of programs a customer may start.
inline constexpr std::string_view kRestrictRunKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\RestrictRun";

}  // namespace zalvo::settings
