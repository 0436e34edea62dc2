#include "settings/settings_file.h"

#include "text/text.h"

namespace zalvo::settings {

std::string SettingsFilePath(std::string_view windows_directory, std::string_view name) {
  std::string path(windows_directory);
  path += name;
  return path;
}

SettingsText::SettingsText(std::string_view file_bytes) : lines_(SplitLines(file_bytes)) {}

std::string SettingsText::Value(std::string_view key) const {
  for (const std::string& line : lines_) {
    size_t eq = line.find('=');
    if (eq != std::string::npos &&
        text::EqualsIgnoreCase(std::string_view(line).substr(0, eq), key)) {
      return line.substr(eq + 1);
    }
  }
  return {};
}

bool FitsOneLine(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string FormatSettingsFile(const std::vector<SettingsEntry>& entries) {
  std::string out;
  for (const SettingsEntry& entry : entries) {
    if (entry.value.empty()) {
      continue;
    }
    out += entry.key;
    out += '=';
    out += entry.value;
    out += "\r\n";
  }
  return out;
}

}  // namespace zalvo::settings
