#include "settings/settings_file.h"

#include "text/text.h"

namespace zalvo::settings {

std::string SettingsFilePath(std::string_view windows_directory, std::string_view name) {
  std::string path(windows_directory);
  path += name;
  return path;
}

std::vector<std::string> SplitLines(std::string_view bytes) {
  if (auto zero = bytes.find('\0'); zero != std::string_view::npos) {
    bytes = bytes.substr(0, zero);
  }
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < bytes.size()) {
    char c = bytes[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(bytes.substr(start, i - start));
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
        ++i;
      }
      start = i + 1;
    }
    ++i;
  }
  if (start < bytes.size()) {
    lines.emplace_back(bytes.substr(start));
  }
  return lines;
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
