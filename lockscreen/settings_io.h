// The lock screen's side of the station settings: the settings file read
// into the dialog's controls and written from them, and the allowed-programs
// list under the RestrictRun policy key, read back into the dialog and added
// to from it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lockscreen/dialog_model.h"
#include "platform/registry.h"
#include "settings/settings_file.h"

namespace zalvo::lockscreen {

// Sets the controls from the file's values in the load's order: cbUseProxy,
// the five texts, the flags Hide to PlayGame (cbRestrictRun's guard runs
// against the list as it stands), the three numbers (an empty one gets its
// default text), then ServerIP, BroadcastIP, SearchList and Wallpaper. A key
// the file lacks empties its edit or clears its box.
void ApplySettingsFile(const settings::SettingsText& file, DialogModel& dialog);

// The file a save writes: all 42 keys in the key table's order, SearchPage with the
// fixed address, flags "1" or "0", texts and numbers as typed; empty values
// left out.
std::string FormatLockScreenSettings(const settings::StationSettings& values);

// Refills the RestrictRun list box from the registry: the value names sorted
// as text without regard to case ("10" before "2"), their data in that order.
// A key that can't be opened leaves the list box as it is. A value that is not
// a string throws PlatformError with the list box filled so far.
void ReadBackAllowedPrograms(platform::Registry& registry, DialogModel& dialog);

// The name for a new value of the list: the number of entries written in
// decimal, or, when another tool has already used that name, the next
// decimal number that no value has.
std::string NextProgramValueName(const std::vector<std::string>& existing_names, size_t entries);

// The add of "Прибавя": opens the list's key (creating it), appends the text
// of edNewProgram to the list box as it stands and writes it as a new value.
// False when the key can't be opened or created: then nothing changes. A
// failed write throws PlatformError; the list box keeps the new entry.
[[nodiscard]] bool AddAllowedProgram(platform::Registry& registry, DialogModel& dialog);

}  // namespace zalvo::lockscreen
