#include "platform/win32/lock_cover.h"

#include <windows.h>
// After windows.h.
#include <wtsapi32.h>

#include <chrono>

#include "platform/error.h"
#include "platform/session_launcher.h"
#include "platform/win32/error.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/scoped.h"
#include "platform/win32/session_launcher.h"
#include "platform/win32/session_launcher_internal.h"

namespace zalvo::win32 {
namespace {

using Clock = std::chrono::steady_clock;

// How long the checker has to answer a request (its own wait for the lock
// screen is one second).
constexpr auto kAnswerBound = std::chrono::seconds(3);
constexpr auto kWriteBound = std::chrono::milliseconds(500);
// At most this often a look, however short the tick.
constexpr auto kLookEvery = std::chrono::milliseconds(250);
// A checker that could not be started is tried again this long after.
constexpr auto kStartAgainAfter = std::chrono::seconds(5);
// A bound on the bytes of one answer.
constexpr size_t kMostAnswer = 1024;

// The service's own token, as a primary token in the session.
ScopedHandle OwnTokenIn(DWORD session) {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
    ThrowLastError("OpenProcessToken");
  }
  const ScopedHandle own_token(own);
  HANDLE copy = nullptr;
  if (!DuplicateTokenEx(own_token.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                        TokenPrimary, &copy)) {
    ThrowLastError("DuplicateTokenEx");
  }
  ScopedHandle token(copy);
  DWORD current = kNoConsoleSession;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenSessionId, &current, sizeof current, &size) ||
      current != session) {
    if (!SetTokenInformation(token.get(), TokenSessionId, &session, sizeof session)) {
      ThrowLastError("SetTokenInformation(TokenSessionId)");
    }
  }
  return token;
}

class Win32LockCover final : public platform::LockCover {
 public:
  Win32LockCover(std::wstring folder, std::wstring program, std::wstring lock_screen,
                 std::optional<std::string> customer_sid)
      : folder_(std::move(folder)),
        program_(std::move(program)),
        lock_screen_(std::move(lock_screen)),
        customer_sid_(std::move(customer_sid)) {}

  platform::CoverLook LookAtCover() override {
    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == kNoConsoleSession) {
      throw platform::PlatformError("no session is attached to the console",
                                    platform::ErrorKind::kNotFound);
    }
    if (!checker_ || !checker_->Running() || checker_->SessionId() != session) {
      Start(session);
    }
    const Clock::time_point now = Clock::now();
    if (asked_) {
      Collect(now);
    }
    if (asked_ && now - asked_at_ > kAnswerBound) {
      Forget();
      throw platform::PlatformError("the lock check did not answer within " +
                                        std::to_string(kAnswerBound.count()) + " s; it was ended",
                                    platform::ErrorKind::kTimedOut);
    }
    if (!asked_ && (!newest_ || now - asked_at_ >= kLookEvery)) {
      if (!checker_->Write("look\n", now + kWriteBound)) {
        Forget();
        throw platform::PlatformError("the lock check took no request; it was ended",
                                      platform::ErrorKind::kTimedOut);
      }
      asked_ = true;
      asked_at_ = now;
    }
    if (!newest_) {
      platform::CoverLook none;
      none.seen = "the lock check has not answered yet";
      return none;
    }
    return *newest_;
  }

  static uint64_t SteadyMs(Clock::time_point at) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count());
  }

  uint32_t EndLockScreens() override {
    const DWORD session = CustomersSession();
    uint32_t ended = 0;
    std::string refused;
    for (DWORD id : ProcessesOfFile(lock_screen_, session)) {
      // Opened first: while the handle is open the id names this process only.
      const ScopedHandle process(
          OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
      DWORD in_session = kNoConsoleSession;
      if (!process || !ProcessIdToSessionId(id, &in_session) || in_session != session ||
          !ProcessRunsFile(id, lock_screen_)) {
        continue;  // gone meanwhile
      }
      if (::TerminateProcess(process.get(), 1)) {
        ++ended;
      } else {
        refused = "TerminateProcess " + std::to_string(id) + ": " + ErrorText(GetLastError());
      }
    }
    if (ended == 0 && !refused.empty()) {
      throw platform::PlatformError(refused);
    }
    return ended;
  }

  void LogOffCustomer() override {
    const DWORD session = CustomersSession();
    if (!WTSLogoffSession(WTS_CURRENT_SERVER_HANDLE, session, FALSE)) {
      ThrowLastError("WTSLogoffSession");
    }
  }

 private:
  // The console session, while the customer is the one logged on there.
  DWORD CustomersSession() {
    const ConsoleShellLook look = LookAtConsoleShell(lock_screen_, customer_sid_);
    if (!look.customer_logged_on) {
      throw platform::PlatformError("the customer is not the one logged on at the console",
                                    platform::ErrorKind::kNotFound);
    }
    return look.session;
  }

  void Start(DWORD session) {
    Forget();
    const Clock::time_point now = Clock::now();
    if (start_failure_ && now - failed_at_ < kStartAgainAfter) {
      throw platform::PlatformError(*start_failure_);
    }
    try {
      const ScopedHandle token = OwnTokenIn(session);
      Channel channel = CreateChannel();
      StartedProcess started =
          StartAsUser(token.get(), folder_, program_, L"--lock-check", channel.helper_end.get());
      // Only the checker holds its end now: its exit closes the channel.
      channel.helper_end.reset();
      checker_ =
          MakeWin32HelperProcess(std::move(started), session, std::move(channel.service_end));
      start_failure_.reset();
    } catch (const platform::PlatformError& e) {
      start_failure_ = platform::PlatformError(
          std::string("the lock check not started: ") + e.what(), e.kind(), e.code());
      failed_at_ = now;
      throw platform::PlatformError(*start_failure_);
    }
  }

  // Ends the checker; the next look starts another.
  void Forget() {
    checker_.reset();
    asked_ = false;
    newest_.reset();
    pending_.clear();
  }

  // Takes what the checker has answered so far, without waiting.
  void Collect(Clock::time_point now) {
    char buffer[512];
    for (;;) {
      std::optional<size_t> n = checker_->Read(buffer, sizeof buffer, now);
      if (!n) {
        return;  // nothing more for now
      }
      if (*n == 0) {
        Forget();
        throw platform::PlatformError("the lock check ended", platform::ErrorKind::kBroken);
      }
      pending_.append(buffer, *n);
      const size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::optional<platform::CoverLook> look =
            platform::DecodeCoverLook(std::string_view(pending_).substr(
                0, end > 0 && pending_[end - 1] == '\r' ? end - 1 : end));
        pending_.erase(0, end + 1);
        if (!look) {
          Forget();
          throw platform::PlatformError("the lock check answered what it can't have meant",
                                        platform::ErrorKind::kBroken);
        }
        look->asked_at_ms = SteadyMs(asked_at_);
        newest_ = std::move(look);
        asked_ = false;
        return;
      }
      if (pending_.size() > kMostAnswer) {
        Forget();
        throw platform::PlatformError("the lock check's answer is too long",
                                      platform::ErrorKind::kBroken);
      }
    }
  }

  std::wstring folder_;
  std::wstring program_;
  std::wstring lock_screen_;
  std::optional<std::string> customer_sid_;
  std::unique_ptr<platform::HelperProcess> checker_;
  bool asked_ = false;
  Clock::time_point asked_at_{};
  std::string pending_;
  std::optional<platform::CoverLook> newest_;
  std::optional<platform::PlatformError> start_failure_;
  Clock::time_point failed_at_{};
};

}  // namespace

std::unique_ptr<platform::LockCover> MakeWin32LockCover(std::wstring folder, std::wstring program,
                                                        std::wstring lock_screen,
                                                        std::optional<std::string> customer_sid) {
  return std::make_unique<Win32LockCover>(std::move(folder), std::move(program),
                                          std::move(lock_screen), std::move(customer_sid));
}

}  // namespace zalvo::win32
