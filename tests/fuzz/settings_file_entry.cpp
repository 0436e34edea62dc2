// The settings file as the agent reads and writes it: any bytes load without
// failing, a saved file loads back as the settings it was saved from, and
// the rules of the format that don't depend on the content hold.
#include <string>

#include "settings/keys.h"
#include "settings/settings_file.h"
#include "settings/station_settings.h"
#include "tests/fuzz/fuzz_entries.h"

namespace zalvo::fuzz {
namespace {

using settings::AgentLoad;
using settings::Key;
using settings::KeyTable;

bool SameLoad(const AgentLoad& a, const AgentLoad& b) {
  for (const settings::KeyInfo& info : KeyTable()) {
    if (a.settings.Flag(info.key) != b.settings.Flag(info.key) ||
        a.settings.Text(info.key) != b.settings.Text(info.key)) {
      return false;
    }
  }
  return a.check_period == b.check_period && a.grace_seconds == b.grace_seconds &&
         a.report_period == b.report_period;
}

// The file the agent writes: lines ending CR LF, no empty value, the search
// page first, at most 41 lines (no PlayMusic).
void CheckSavedForm(const std::string& saved) {
  Check(saved.size() >= 2 && saved.compare(saved.size() - 2, 2, "\r\n") == 0,
        "a saved file ends with CR LF");
  Check(saved.rfind("SearchPage=", 0) == 0, "a saved file starts with the search page");
  size_t lines = 0;
  size_t start = 0;
  while (start < saved.size()) {
    size_t end = saved.find("\r\n", start);
    Check(end != std::string::npos, "every saved line ends with CR LF");
    std::string_view line(saved.data() + start, end - start);
    Check(line.find('\n') == std::string_view::npos && line.find('\r') == std::string_view::npos,
          "a saved value holds no line end");
    size_t eq = line.find('=');
    Check(eq != std::string_view::npos && eq + 1 < line.size(),
          "every saved line is key=value with a value");
    Check(line.substr(0, eq) != "PlayMusic", "the agent never writes PlayMusic");
    ++lines;
    start = end + 2;
  }
  Check(lines <= 41, "the agent writes at most 41 lines");
  Check(saved.find('\0') == std::string::npos, "a saved file holds no zero byte");
}

}  // namespace

void FuzzSettingsFile(std::string_view input) {
  const settings::SettingsText file(input);
  for (const settings::KeyInfo& info : KeyTable()) {
    std::string value = file.Value(info.name);
    Check(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
          "a value read from the file holds no line end or zero byte");
    Check(file.Flag(info.name) == (value == "1"), "a flag is on exactly when its value is 1");
  }

  const AgentLoad first = settings::ParseAgentSettings(input);
  for (Key number : {Key::ClosePasswordForm, Key::SendDataTime, Key::AutoShutDownSec}) {
    Check(!first.settings.Text(number).empty(), "a number's text is never empty after a load");
  }
  Check(!first.settings.Flag(Key::PlayMusic) && first.settings.Text(Key::PlayMusic).empty() &&
            first.settings.Text(Key::SearchPage).empty(),
        "the agent reads neither PlayMusic nor SearchPage");

  // Load, save, load: the same settings, and the same file when saved again.
  const std::string saved = settings::FormatAgentSettings(first.settings);
  CheckSavedForm(saved);
  const AgentLoad second = settings::ParseAgentSettings(saved);
  Check(SameLoad(first, second), "a saved file loads back as the settings it was saved from");
  Check(settings::FormatAgentSettings(second.settings) == saved,
        "saving again writes the same file");

  // The first line of a key decides: what follows the file can't change it.
  std::string doubled(input);
  doubled += "\r\n";
  doubled += saved;
  Check(SameLoad(first, settings::ParseAgentSettings(doubled)),
        "lines after the first of a key change nothing");
}

}  // namespace zalvo::fuzz
