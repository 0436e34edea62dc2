// What the installer sets on a station: the server address in krvini.ini and
// the lock screen's passwords, which the station's service keeps
// (agent/password_store.h). Each value is checked first; krvini.ini is
// rewritten only in the line that changes, every other byte kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace zalvo::settings {

// A server address in the only form the agent ever matches against a
// sender (protocol::ParseDottedAddress): four numbers 0 to 255 of ASCII
// digits without leading zeros, joined by dots ("192.168.1.10"; never
// "192.168.001.010", a port or a name).
bool IsServerAddress(std::string_view text);

// The longest password the lock screen's dialog takes.
inline constexpr size_t kPasswordLimit = 8;

// Why a password (Windows-1251 text) can't be set, or nothing when it can:
// it must have 1 to 8 characters and fit on one line. An empty one is
// refused, since an empty password would unlock the station.
std::optional<std::string> PasswordProblem(std::string_view cp1251);

// The file with the value of the key's first line (the line that every load
// reads; keys match without regard to the case of a to z) replaced, or, when
// no line names the key, with "key=value" CR LF added after the last line.
// Every other byte stays as it was, line ends included.
std::string WithValue(std::string_view file, std::string_view key, std::string_view value);

// krvini.ini of a new station: the usual values, with the server address.
std::string InitialSettingsFile(std::string_view server);

// What the installer was asked to set. An absent value leaves the station's.
struct StationSetup {
  std::optional<std::string> server;          // ASCII
  std::optional<std::string> admin_password;  // Windows-1251
  std::optional<std::string> small_password;  // Windows-1251
};

// The reasons the request can't be carried out on this station, one line
// each; none when it can. A station without krvini.ini needs a server.
std::vector<std::string> SetupProblems(const StationSetup& setup, bool settings_exist);

// Carries out the settings part of a request that SetupProblems accepted:
// writes a new krvini.ini or rewrites its ServerIP line (the passwords are
// the service's to keep). Returns a line when the file was written; a failed
// write throws PlatformError.
std::vector<std::string> ApplySetup(platform::StationFiles& files, const StationSetup& setup);

// Whether the station has krvini.ini; throws when it can't be told (a file
// that exists but can't be read).
bool SettingsFileExists(platform::StationFiles& files);

}  // namespace zalvo::settings
