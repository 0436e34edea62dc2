#include "agent/rotating_log.h"

#include "platform/console.h"
#include "platform/error.h"
#include "text/text.h"

namespace zalvo::agent {
namespace {

std::string EarlierPath(const std::string& path) {
  constexpr std::string_view kSuffix = ".log";
  if (path.size() > kSuffix.size() && path.ends_with(kSuffix)) {
    return path.substr(0, path.size() - kSuffix.size()) + ".1.log";
  }
  return path + ".1";
}

}  // namespace

RotatingLog::RotatingLog(platform::LogFiles& files, std::string path, uint64_t limit)
    : files_(files), path_(std::move(path)), earlier_path_(EarlierPath(path_)), limit_(limit) {}

void RotatingLog::Write(std::string_view line) {
  std::string entry = platform::LocalTimestamp();
  entry += ' ';
  // A window caption or a datagram in the line can't start a line of its own.
  entry += text::EscapeControls(line);
  entry += "\r\n";
  std::lock_guard lock(mutex_);
  uint64_t size = 0;
  try {
    size = files_.Append(path_, entry);
  } catch (const platform::PlatformError&) {
    ++lost_;
    return;
  }
  if (size >= limit_) {
    try {
      files_.Move(path_, earlier_path_);
    } catch (const platform::PlatformError&) {
      // The file grows by this line until a move succeeds.
    }
  }
}

uint64_t RotatingLog::lost() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

}  // namespace zalvo::agent
