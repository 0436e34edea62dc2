// The text format of krvini.ini and krv.krv: key=value lines, no sections,
// no comments, no quoting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace zalvo::settings {

inline constexpr std::string_view kSettingsFileName = "\\krvini.ini";
inline constexpr std::string_view kPasswordFileName = "\\krv.krv";

// The full path of a file directly in the Windows directory. The names carry
// their own leading backslash; the two parts are joined as they are, with no
// limit on their length.
std::string SettingsFilePath(std::string_view windows_directory, std::string_view name);

using text::SplitLines;

// Read access to the values of a settings file.
class SettingsText {
 public:
  explicit SettingsText(std::string_view file_bytes);

  // The value of the first line whose text before its first "=" equals the
  // key without regard to the case of a to z: the rest of that line,
  // unchanged. Empty text when no line names the key.
  std::string Value(std::string_view key) const;

  // A flag is on exactly when its value is the text "1".
  bool Flag(std::string_view key) const { return Value(key) == "1"; }

 private:
  std::vector<std::string> lines_;
};

struct SettingsEntry {
  std::string_view key;
  std::string value;
};

// Whether a value can be written as it stands. A line end would split it
// into lines of their own (which may name other keys), and reading stops at a
// zero byte, so the file would load back other settings.
bool FitsOneLine(std::string_view value);

// The text of a new file: "key=value" and CR LF for every entry, in the given
// order; an entry whose value is empty is left out.
std::string FormatSettingsFile(const std::vector<SettingsEntry>& entries);

}  // namespace zalvo::settings
