// The switches of a Windows program's command line, read one way by every
// program: "/WORD" or "-WORD", with "=value" or without, the word compared
// without regard to ASCII letter case ("/server=x", "-SERVER=x" and
// "/Server=x" are one switch). Arguments that begin with neither are not
// switches. Portable, so that the rules are the same wherever they are read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

class Switches {
 public:
  explicit Switches(const std::vector<std::wstring>& args);

  // Whether the switch is given without a value ("/SILENT").
  [[nodiscard]] bool Has(std::wstring_view word) const;
  // The value of the first "/WORD=value" given, the empty value included.
  [[nodiscard]] std::optional<std::wstring> ValueOf(std::wstring_view word) const;

 private:
  struct Switch {
    std::wstring word;  // in capitals, without its "/" or "-"
    std::optional<std::wstring> value;
  };
  std::vector<Switch> switches_;
};

}  // namespace zalvo::platform
