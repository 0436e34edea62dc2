#include "settings/station_setup.h"

#include "platform/error.h"
#include "protocol/address.h"
#include "settings/keys.h"
#include "settings/settings_file.h"
#include "text/text.h"

namespace zalvo::settings {
namespace {

// The end of the bytes that a load reads: the first zero byte or the end.
size_t ReadableEnd(std::string_view file) {
  size_t zero = file.find('\0');
  return zero == std::string_view::npos ? file.size() : zero;
}

bool IsMissing(const platform::PlatformError& e) {
  return e.kind() == platform::ErrorKind::kNotFound;
}

}  // namespace

bool IsServerAddress(std::string_view text) {
  return protocol::ParseDottedAddress(text).has_value();
}

std::optional<std::string> PasswordProblem(std::string_view cp1251) {
  if (cp1251.empty()) {
    return "is empty";
  }
  if (cp1251.size() > kPasswordLimit) {
    return "is longer than " + std::to_string(kPasswordLimit) + " characters";
  }
  if (!FitsOneLine(cp1251)) {
    return "holds a line end or a zero character";
  }
  return std::nullopt;
}

std::string WithValue(std::string_view file, std::string_view key, std::string_view value) {
  const size_t end = ReadableEnd(file);
  size_t start = 0;
  while (start < end) {
    size_t line_end = file.find_first_of("\r\n", start);
    if (line_end == std::string_view::npos || line_end > end) {
      line_end = end;
    }
    std::string_view line = file.substr(start, line_end - start);
    size_t eq = line.find('=');
    if (eq != std::string_view::npos && text::EqualsIgnoreCase(line.substr(0, eq), key)) {
      std::string out(file.substr(0, start + eq + 1));
      out += value;
      out += file.substr(line_end);
      return out;
    }
    start = line_end + 1;
    if (line_end < end && file[line_end] == '\r' && start < end && file[start] == '\n') {
      ++start;
    }
  }
  std::string out(file.substr(0, end));
  if (end > 0 && file[end - 1] != '\n' && file[end - 1] != '\r') {
    out += "\r\n";
  }
  out += key;
  out += '=';
  out += value;
  out += "\r\n";
  out += file.substr(end);
  return out;
}

std::string InitialSettingsFile(std::string_view server) {
  return FormatSettingsFile({
      {"SearchPage", std::string(kSearchPageUrl)},
      {"PlayMusic", "C:\\WINDOWS\\Media\\town.mid"},
      {"ProxyEnable", "0"},
      {"ProxyPort", "8080"},
      {"SearchList", "File Download"},
      {"Hide", "1"},
      {"ServerIP", std::string(server)},
      {"CheckWindowsList", "1"},
      {"ClosePasswordForm", "10"},
      {"SendDataTime", "60"},
      {"AutoShutDownSec", "6000"},
      {"PlayGame", "1"},
  });
}

std::vector<std::string> SetupProblems(const StationSetup& setup, bool settings_exist) {
  std::vector<std::string> problems;
  if (setup.server && !IsServerAddress(*setup.server)) {
    problems.push_back("the server address \"" + *setup.server +
                       "\" is not four numbers 0 to 255 without leading zeros");
  }
  if (!setup.server && !settings_exist) {
    problems.emplace_back("a new station needs the server address (/SERVER=a.b.c.d)");
  }
  if (setup.admin_password) {
    if (auto problem = PasswordProblem(*setup.admin_password)) {
      problems.push_back("the administrator password " + *problem);
    }
  }
  if (setup.small_password) {
    if (auto problem = PasswordProblem(*setup.small_password)) {
      problems.push_back("the small password " + *problem);
    }
  }
  return problems;
}

bool SettingsFileExists(platform::StationFiles& files) {
  try {
    (void)files.Read(SettingsFilePath(files.WindowsDirectory(), kSettingsFileName));
    return true;
  } catch (const platform::PlatformError& e) {
    if (IsMissing(e)) {
      return false;
    }
    throw;
  }
}

std::vector<std::string> ApplySetup(platform::StationFiles& files, const StationSetup& setup) {
  std::vector<std::string> done;
  const std::string directory = files.WindowsDirectory();
  const std::string settings_path = SettingsFilePath(directory, kSettingsFileName);
  if (setup.server) {
    std::optional<std::string> old;
    try {
      old = files.Read(settings_path);
    } catch (const platform::PlatformError& e) {
      if (!IsMissing(e)) {
        throw;
      }
    }
    if (old) {
      files.Replace(settings_path, WithValue(*old, "ServerIP", *setup.server));
      done.push_back(settings_path + ": ServerIP set to " + *setup.server);
    } else {
      files.Replace(settings_path, InitialSettingsFile(*setup.server));
      done.push_back(settings_path + " written for the server " + *setup.server);
    }
  }
  return done;
}

}  // namespace zalvo::settings
