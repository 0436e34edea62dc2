#include "platform/sim/sim_mixer.h"

#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/sim/sim_files.h"
#include "text/text.h"

namespace zalvo::sim {
namespace {

constexpr std::string_view kVolume = "volume";
constexpr std::string_view kMute = "mute";

bool IsKeyLine(const std::string& line, std::string_view key) {
  return line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
         line[key.size()] == '=';
}

uint32_t ParseLevel(std::string_view text, const std::filesystem::path& file) {
  auto value = text::ParseInt32(text);
  if (!value || *value < 0 || static_cast<uint32_t>(*value) > platform::kMaxMixerLevel) {
    throw platform::PlatformError(file.string() + ": a channel level must be 0 to 65535, not \"" +
                                  std::string(text) + "\"");
  }
  return static_cast<uint32_t>(*value);
}

// The value of "key=" in the file; nullopt when the line is missing.
std::optional<std::string> Value(const std::string& content, std::string_view key) {
  for (const std::string& line : text::SplitLines(content)) {
    if (IsKeyLine(line, key)) {
      return line.substr(key.size() + 1);
    }
  }
  return std::nullopt;
}

std::string LevelsText(platform::StereoLevels levels) {
  return std::to_string(levels.left) + " " + std::to_string(levels.right);
}

}  // namespace

SimMixer::SimMixer(std::filesystem::path file, Journal& journal)
    : file_(std::move(file)), journal_(journal) {}

std::string SimMixer::FormatFile(platform::StereoLevels levels, bool mute) {
  return "# The speaker line of mixer device 0: volume=<left> <right> (0 to 65535 each),\n"
         "# mute=<0 or 1>. Without a line the speakers have no such control.\n"
         "volume=" +
         LevelsText(levels) + "\nmute=" + (mute ? "1" : "0") + "\n";
}

platform::SpeakerControls SimMixer::OpenSpeakerControls() {
  std::lock_guard lock(mutex_);
  std::string content;
  try {
    content = ReadWholeFile(file_);
  } catch (const platform::PlatformError&) {
    journal_.Write("Mixer: no mixer device (no " + file_.filename().string() + ")");
    return controls_;
  }
  controls_.volume = Value(content, kVolume).has_value();
  controls_.mute = Value(content, kMute).has_value();
  std::string found = controls_.volume && controls_.mute ? "volume, mute"
                      : controls_.volume                 ? "volume"
                      : controls_.mute                   ? "mute"
                                                         : "none";
  journal_.Write("Mixer: speaker controls: " + found);
  return controls_;
}

void SimMixer::Rewrite(std::string_view key, const std::string& value) {
  std::string content;
  try {
    content = ReadWholeFile(file_);
  } catch (const platform::PlatformError&) {
    // Taken away while the agent runs: the controls found at the start stay.
  }
  std::string out;
  bool written = false;
  for (const std::string& line : text::SplitLines(content)) {
    if (IsKeyLine(line, key)) {
      if (written) {
        continue;
      }
      out += std::string(key) + "=" + value + "\n";
      written = true;
    } else {
      out += line + "\n";
    }
  }
  if (!written) {
    out += std::string(key) + "=" + value + "\n";
  }
  WriteFileAtomically(file_, out);
}

void SimMixer::SetVolumeLevels(platform::StereoLevels levels) {
  std::lock_guard lock(mutex_);
  if (!controls_.volume) {
    throw platform::PlatformError("the speakers have no volume control");
  }
  if (levels.left > platform::kMaxMixerLevel || levels.right > platform::kMaxMixerLevel) {
    throw platform::PlatformError("a channel level beyond 65535");
  }
  Rewrite(kVolume, LevelsText(levels));
  journal_.Write("MixerVolume left " + std::to_string(levels.left) + " right " +
                 std::to_string(levels.right));
}

platform::StereoLevels SimMixer::VolumeLevels() {
  std::lock_guard lock(mutex_);
  if (!controls_.volume) {
    throw platform::PlatformError("the speakers have no volume control");
  }
  std::optional<std::string> value = Value(ReadWholeFile(file_), kVolume);
  if (!value) {
    throw platform::PlatformError(file_.string() + ": no volume line");
  }
  size_t blank = value->find(' ');
  if (blank == std::string::npos) {
    throw platform::PlatformError(file_.string() + ": the volume line needs two levels");
  }
  return {ParseLevel(std::string_view(*value).substr(0, blank), file_),
          ParseLevel(std::string_view(*value).substr(blank + 1), file_)};
}

void SimMixer::SetMute(bool on) {
  std::lock_guard lock(mutex_);
  if (!controls_.mute) {
    throw platform::PlatformError("the speakers have no mute control");
  }
  Rewrite(kMute, on ? "1" : "0");
  journal_.Write(std::string("MixerMute ") + (on ? "on" : "off"));
}

}  // namespace zalvo::sim
