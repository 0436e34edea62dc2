#include "agent/password_service.h"

#include <algorithm>

#include "platform/error.h"
#include "settings/settings_file.h"
#include "settings/station_setup.h"

namespace zalvo::agent {
namespace {

using platform::PlatformError;
using protocol::passwords::Answer;
using protocol::passwords::Reply;

constexpr std::string_view kLogInAt = "log-in at the lock screen";
constexpr std::string_view kChangeAt = "password change of the settings dialog";

}  // namespace

uint32_t TrySpacing::SecondsLeft(Clock::time_point now) const {
  if (wrong_in_a_row_ == 0 || now >= next_check_) {
    return 0;
  }
  // Rounded up: a pause never reads as over before it is.
  auto left = std::chrono::ceil<std::chrono::seconds>(next_check_ - now);
  return static_cast<uint32_t>(left.count());
}

void TrySpacing::Wrong(Clock::time_point now) {
  ++wrong_in_a_row_;
  const uint32_t doublings = std::min<uint32_t>(wrong_in_a_row_ - 1, 5);
  next_check_ = now + std::min(std::chrono::seconds(1 << doublings), kLongest);
}

PasswordService::PasswordService(Parts parts, platform::LogSink log, Clock clock)
    : parts_(parts), log_(std::move(log)), clock_(std::move(clock)) {}

void PasswordService::LogChange(std::string& last, const std::string& line) {
  if (line != last) {
    log_(line);
    last = line;
  }
}

void PasswordService::Say(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    log_("passwords: " + line);
  }
}

void PasswordService::Start() {
  try {
    const bool existed = parts_.store.Exists();
    parts_.store.Create();
    if (!existed) {
      log_(
          "passwords: the lock screen's passwords are kept by the service from now on, as salted "
          "hashes in HKEY_LOCAL_MACHINE\\" +
          std::string(kPasswordKeyPath) + " (SYSTEM and administrators only)");
    }
  } catch (const PlatformError& e) {
    LogChange(last_store_failure_, std::string("passwords: the password store can't be made: ") +
                                       e.what() + "; no password unlocks the lock screen");
    return;
  }
  Upkeep();
}

void PasswordService::Upkeep() {
  if (password_file_.empty()) {
    try {
      password_file_ =
          settings::SettingsFilePath(parts_.files.WindowsDirectory(), settings::kPasswordFileName);
    } catch (const PlatformError& e) {
      LogChange(last_file_failure_,
                std::string("passwords: the Windows directory can't be told: ") + e.what());
    }
  }
  if (!password_file_.empty()) {
    try {
      std::string bytes;
      bool present = true;
      try {
        bytes = parts_.files.Read(password_file_);
      } catch (const PlatformError& e) {
        if (e.kind() != platform::ErrorKind::kNotFound) {
          throw;
        }
        present = false;
      }
      if (!present) {
        taken_file_.reset();
      } else {
        // A file that could not be deleted is not taken over again.
        if (bytes != taken_file_) {
          Say(TakeOverPasswordFile(parts_.store, bytes, password_file_));
          taken_file_ = bytes;
        }
        (void)parts_.files.Remove(password_file_);
        taken_file_.reset();
        log_("passwords: " + password_file_ + " (plain text every account may read) is deleted");
      }
      last_file_failure_.clear();
    } catch (const PlatformError& e) {
      LogChange(last_file_failure_,
                "passwords: " + password_file_ + " not taken over: " + e.what());
    }
  }
  if (parts_.customer != nullptr) {
    try {
      platform::CustomerRegistry::Choice choice = parts_.customer->Choose();
      // Every loaded hive has its Software key: without it there is no hive
      // to look at now.
      if (choice.registry && choice.registry->Open(platform::Hive::kCurrentUser, "Software",
                                                   platform::Access::kRead)) {
        Say(TakeOverCustomerCopies(parts_.store, *choice.registry));
      }
      last_customer_failure_.clear();
    } catch (const PlatformError& e) {
      LogChange(last_customer_failure_,
                std::string("passwords: the copies in the customer account's hive not taken "
                            "over: ") +
                    e.what());
    }
  }
  try {
    if (!admin_missing_logged_ && !parts_.store.Hash(PasswordKind::kAdmin)) {
      log_(
          "passwords: no administrator password is kept: the lock screen has no administrator "
          "log-in (the installer's /ADMINPASSWORD= or a krv.krv with p= sets one)");
      admin_missing_logged_ = true;
    }
    last_store_failure_.clear();
  } catch (const PlatformError& e) {
    LogChange(last_store_failure_, std::string("passwords: the store can't be read: ") + e.what());
  }
}

std::string PasswordService::Answer(std::string_view request) {
  Reply reply;
  try {
    protocol::passwords::Request decoded = protocol::passwords::DecodeRequest(request);
    if (const auto* log_in = std::get_if<protocol::passwords::LogIn>(&decoded)) {
      reply = LogIn(*log_in);
    } else {
      reply = Change(std::get<protocol::passwords::Change>(decoded));
    }
  } catch (const protocol::passwords::FrameError& e) {
    // One line a minute at most, with the count: the lock screen is the
    // customer's, and so is what it sends.
    ++unreadable_;
    const auto now = clock_();
    if (unreadable_logged_ == TrySpacing::Clock::time_point{} ||
        now - unreadable_logged_ >= std::chrono::minutes(1)) {
      log_("passwords: " + std::to_string(unreadable_) +
           " request(s) that can't be read refused (the last: " + e.what() + ")");
      unreadable_ = 0;
      unreadable_logged_ = now;
    }
    reply = {Answer::kRefused, 0};
  }
  return protocol::passwords::EncodeReply(reply);
}

std::optional<Reply> PasswordService::Pause(std::string_view what) {
  const uint32_t left = spacing_.SecondsLeft(clock_());
  if (left == 0) {
    pause_logged_ = false;
    return std::nullopt;
  }
  if (!pause_logged_) {
    log_("passwords: " + std::string(what) + " not checked: after " +
         std::to_string(spacing_.WrongInARow()) + " wrong tries the next one is checked in " +
         std::to_string(left) + " s");
    pause_logged_ = true;
  }
  return Reply{Answer::kTooSoon, left};
}

Reply PasswordService::Wrong(std::string_view what) {
  spacing_.Wrong(clock_());
  const uint32_t pause = spacing_.SecondsLeft(clock_());
  log_("passwords: " + std::string(what) + " refused: wrong password (" +
       std::to_string(spacing_.WrongInARow()) + " in a row; the next is checked in " +
       std::to_string(pause) + " s)");
  return {Answer::kRefused, pause};
}

bool PasswordService::Matches(PasswordKind kind, std::string_view password) {
  std::optional<PasswordHash> hash = parts_.store.Hash(kind);
  return hash && PasswordMatches(*hash, password);
}

Reply PasswordService::LogIn(const protocol::passwords::LogIn& request) {
  if (auto pause = Pause(kLogInAt)) {
    return *pause;
  }
  try {
    // The administrator password goes with any name and opens the settings
    // dialog too; the small one goes with the name "1" alone.
    if (Matches(PasswordKind::kAdmin, request.password)) {
      spacing_.Right();
      log_("passwords: " + std::string(kLogInAt) +
           " with the administrator password: unlocked, settings dialog");
      return {Answer::kUnlockAndSettings, 0};
    }
    if (request.user == kSmallPasswordUser && Matches(PasswordKind::kSmall, request.password)) {
      spacing_.Right();
      log_("passwords: " + std::string(kLogInAt) + " with the small password: unlocked");
      return {Answer::kUnlock, 0};
    }
  } catch (const PlatformError& e) {
    LogChange(last_store_failure_, "passwords: " + std::string(kLogInAt) +
                                       " not checked: the store can't be read: " + e.what());
    return {Answer::kFailed, 0};
  }
  return Wrong(kLogInAt);
}

Reply PasswordService::Change(const protocol::passwords::Change& request) {
  if (auto pause = Pause(kChangeAt)) {
    return *pause;
  }
  const PasswordKind kind = request.which == protocol::passwords::Which::kAdmin
                                ? PasswordKind::kAdmin
                                : PasswordKind::kSmall;
  try {
    if (!Matches(PasswordKind::kAdmin, request.admin_password)) {
      return Wrong(kChangeAt);
    }
    spacing_.Right();
    if (auto problem = settings::PasswordProblem(request.new_password)) {
      log_("passwords: " + std::string(kChangeAt) + " refused: the new " +
           std::string(PasswordName(kind)) + " " + *problem);
      return {Answer::kInvalid, 0};
    }
    parts_.store.Keep(kind, request.new_password);
  } catch (const PlatformError& e) {
    log_("passwords: " + std::string(kChangeAt) + " failed: " + e.what());
    return {Answer::kFailed, 0};
  }
  log_("passwords: the " + std::string(PasswordName(kind)) + " is changed by the settings dialog");
  admin_missing_logged_ = false;
  return {Answer::kChanged, 0};
}

}  // namespace zalvo::agent
