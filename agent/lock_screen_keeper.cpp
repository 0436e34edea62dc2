#include "agent/lock_screen_keeper.h"

#include <algorithm>

#include "platform/error.h"
#include "settings/registry_names.h"

namespace zalvo::agent {
namespace {

using platform::Access;
using platform::Hive;
using platform::PlatformError;

std::string Quoted(const std::optional<std::string>& value) {
  return value ? "\"" + *value + "\"" : "absent";
}

}  // namespace

LockScreenKeeper::Decision LockScreenKeeper::Decide(const platform::ConsoleSession& session,
                                                    uint64_t now_ms) {
  if (!session.customer_logged_on) {
    // Nobody to start it for; the next log-on starts afresh.
    *this = LockScreenKeeper{};
    return Decision::kLeave;
  }
  if (!seen_) {
    seen_ = true;
    first_seen_at_ = now_ms;
  }
  if (session.lock_screen_running) {
    if (started_ && now_ms - started_at_ >= kQuickEndMs) {
      CameUp();
    }
    return Decision::kLeave;
  }
  if (started_) {
    started_ = false;
    if (now_ms - started_at_ < kQuickEndMs) {
      backoff_.Failed(At(now_ms));
    } else {
      backoff_.Succeeded();
    }
  }
  if (backoff_.Holds(At(now_ms))) {
    return Decision::kPause;
  }
  // Just after a log-on the shell starts its own; the system's log-on
  // program is waited for only so long, in case it never ends.
  const uint64_t age = session.logon_age_ms.value_or(now_ms - first_seen_at_);
  if ((session.logon_age_ms && *session.logon_age_ms < kLogOnSettleMs) ||
      (session.shell_starting && age < kLongestShellStartMs)) {
    return Decision::kWaitForLogOn;
  }
  return Decision::kStart;
}

void LockScreenKeeper::Started(bool started, uint64_t now_ms) {
  if (!started) {
    backoff_.Failed(At(now_ms));
    return;
  }
  started_ = true;
  started_at_ = now_ms;
}

void LockScreenKeeper::CameUp(std::optional<uint64_t> asked_at_ms) {
  if (started_ && (!asked_at_ms || *asked_at_ms >= started_at_)) {
    started_ = false;
    backoff_.Succeeded();  // its end, whenever, is no failed start
  }
}

void LockScreenKeeper::EndedByService() {
  started_ = false;
  backoff_.Succeeded();
}

void LockScreenUpkeep::Failure(Slot slot, const std::string& line) {
  if (failures_[slot] != line) {
    log_(line);
  }
  failures_[slot] = line;
}

void LockScreenUpkeep::Upkeep(uint64_t now_ms, bool session_runs) {
  platform::ConsoleSession session;
  try {
    session = console_.Look();
    Cleared(kLook);
  } catch (const std::runtime_error& e) {  // PlatformError or HelperFailure
    Failure(kLook, std::string("console session not seen: ") + e.what());
    return;
  }
  Keep(session, now_ms);
  if (!session.customer_logged_on) {
    if (std::exchange(holding_, false)) {
      log_("the customer is no longer logged on at the console");
    }
    return;
  }
  if (session_runs) {
    if (std::exchange(holding_, false)) {
      log_("a session runs: the lock screen's lock and unlock are its own again");
    }
    GiveTaskManagerBack();
    return;
  }
  HoldLock(session.lock_screen_running || started_now_, now_ms);
}

void LockScreenUpkeep::Keep(const platform::ConsoleSession& session, uint64_t now_ms) {
  using Decision = LockScreenKeeper::Decision;
  started_now_ = false;
  const Decision decision = keeper_.Decide(session, now_ms);
  const Decision last = std::exchange(last_decision_, decision);
  switch (decision) {
    case Decision::kLeave:
      return;
    case Decision::kWaitForLogOn:
      if (last != decision) {
        log_(
            "the customer has just logged on: the lock screen is left to the shell's start for "
            "now");
      }
      return;
    case Decision::kPause:
      if (last != decision) {
        log_("the lock screen failed to start " + std::to_string(keeper_.failures_in_a_row()) +
             " times in a row: the next start in " + std::to_string(keeper_.pause_ms() / 1000) +
             " s at the earliest");
      }
      return;
    case Decision::kStart:
      break;
  }
  try {
    console_.Start();
  } catch (const PlatformError& e) {
    keeper_.Started(false, now_ms);
    Failure(kStart, std::string("lock screen not started in the console session: ") + e.what());
    return;
  }
  keeper_.Started(true, now_ms);
  confirmation_.Started(now_ms);
  started_now_ = true;
  Cleared(kStart);
  log_("lock screen started in the console session");
}

void LockScreenUpkeep::HoldLock(bool running, uint64_t now_ms) {
  if (!std::exchange(holding_, true)) {
    all_were_locked_ = true;
    confirmation_.Reset();
    last_step_ = LockConfirmation::Step::kAllowance;
    said_confirmed_ = said_unconfirmed_ = false;
    Cleared(kCover);
    Cleared(kLogOff);
    log_(
        "no session runs and the customer is logged on at the console: the station is held "
        "locked");
  }
  TellToLock();  // one started at this tick has no window yet: the next tick tells it
  ConfirmLock(running, now_ms);
  HoldAutoAdminLogon();
  HoldTaskManager();
}

void LockScreenUpkeep::ConfirmLock(bool running, uint64_t now_ms) {
  if (cover_ == nullptr) {
    return;
  }
  std::optional<platform::CoverLook> look;
  std::string seen;
  try {
    look = cover_->LookAtCover();
    Cleared(kCover);
    seen = look->seen;
    if (look->lock_screen_window) {
      keeper_.CameUp(look->asked_at_ms);
    }
  } catch (const std::runtime_error& e) {
    seen = std::string("no look at the console session: ") + e.what();
    Failure(kCover, "the lock could not be checked: " + std::string(e.what()));
  }
  using Step = LockConfirmation::Step;
  const Step step = confirmation_.Next(look ? &*look : nullptr, running, now_ms);
  const Step last = std::exchange(last_step_, step);
  if (last == Step::kDialogHold && step != Step::kDialogHold && look && look->settings_dialog) {
    log_("the lock screen's settings dialog has held the lock off for " +
         std::to_string(LockConfirmation::kDialogHoldMs / 60000) +
         " minutes: the lock is checked again");
  }
  switch (step) {
    case Step::kConfirmed:
      // After an episode that was logged, once the cover has held.
      if (said_unconfirmed_ && confirmation_.unconfirmed()) {
        return;
      }
      said_unconfirmed_ = false;
      if (!std::exchange(said_confirmed_, true)) {
        log_("the lock is confirmed: the installed lock screen covers every monitor and answers");
      }
      return;
    case Step::kDialogHold:
      said_unconfirmed_ = false;
      if (last != Step::kDialogHold) {
        said_confirmed_ = false;
        log_("the lock screen's settings dialog is open: it holds the lock off for " +
             std::to_string(LockConfirmation::kDialogHoldMs / 60000) + " minutes at most");
      }
      return;
    case Step::kAllowance:
      return;
    case Step::kUnconfirmed:
      if (running) {
        SayUnconfirmed(seen);
      }
      return;
    case Step::kEndLockScreen:
      SayUnconfirmed(seen);
      EndLockScreen(seen);
      return;
    case Step::kLogOff:
      SayUnconfirmed(seen);
      LogOffCustomer(seen);
      return;
  }
}

void LockScreenUpkeep::SayUnconfirmed(const std::string& seen) {
  if (!std::exchange(said_unconfirmed_, true)) {
    said_confirmed_ = false;
    log_("the lock is not confirmed: " + seen);
  }
}

void LockScreenUpkeep::EndLockScreen(const std::string& seen) {
  try {
    const uint32_t ended = cover_->EndLockScreens();
    keeper_.EndedByService();
    log_("the lock was not confirmed for " + std::to_string(LockConfirmation::kEndAfterMs / 1000) +
         " s (" + seen + "): the lock screen was ended (" + std::to_string(ended) +
         " process(es)) and another is started");
  } catch (const std::runtime_error& e) {
    log_("the lock was not confirmed for " + std::to_string(LockConfirmation::kEndAfterMs / 1000) +
         " s, and the lock screen could not be ended: " + e.what());
  }
}

void LockScreenUpkeep::LogOffCustomer(const std::string& seen) {
  try {
    cover_->LogOffCustomer();
    Cleared(kLogOff);
    log_("the lock is still not confirmed (" + seen +
         "): the customer's Windows session is logged off");
  } catch (const std::runtime_error& e) {
    Failure(kLogOff,
            "the lock is still not confirmed, and the customer's Windows session could not be "
            "logged off: " +
                std::string(e.what()));
  }
}

void LockScreenUpkeep::TellToLock() {
  try {
    const platform::LockOrder order = console_.TellToLock();
    Cleared(kLockOrder);
    const bool all_locked = order.already_locked >= order.told;
    if (!all_locked && all_were_locked_) {
      log_("the lock screen showed no lock while no session runs: told to lock");
    }
    all_were_locked_ = all_locked;
  } catch (const std::runtime_error& e) {
    // Refused by the system or by a failed session helper (PlatformError or
    // HelperFailure). A helper that keeps failing says so with another wait
    // each time: the first is enough until an order gets through again.
    if (failures_[kLockOrder].empty()) {
      Failure(kLockOrder, std::string("the lock screen could not be told to lock: ") + e.what());
    }
  }
}

void LockScreenUpkeep::HoldAutoAdminLogon() {
  auto key = machine_.Open(Hive::kLocalMachine, settings::kWinlogonKey, Access::kReadWrite);
  if (!key) {
    Failure(kLogon, "AutoAdminLogon not kept \"0\": the Windows log-on key can't be opened");
    return;
  }
  std::string was;
  try {
    std::optional<std::string> value = key->ReadString(settings::kAutoAdminLogon);
    if (value == "0") {
      Cleared(kLogon);
      return;
    }
    was = Quoted(value);
  } catch (const PlatformError&) {
    was = "of another type";
  }
  try {
    key->WriteString(settings::kAutoAdminLogon, "0");
    Cleared(kLogon);
    log_("AutoAdminLogon was " + was + " while no session runs: set to \"0\"");
  } catch (const PlatformError& e) {
    Failure(kLogon, std::string("AutoAdminLogon not kept \"0\": ") + e.what());
  }
}

void LockScreenUpkeep::HoldTaskManager() {
  platform::Registry* hive = console_.CustomerHive();
  try {
    auto policies = hive == nullptr ? nullptr
                                    : hive->Create(Hive::kCurrentUser, settings::kSystemPoliciesKey,
                                                   Access::kReadWrite);
    if (!policies) {
      throw PlatformError("the customer's " + std::string(settings::kSystemPoliciesKey) +
                          " can't be opened or created");
    }
    std::optional<uint32_t> value;
    try {
      value = policies->ReadDword(settings::kDisableTaskMgr);
    } catch (const PlatformError&) {
      value = 0;  // of another type: Windows does not take it as set
    }
    if (value == 1u) {
      Cleared(kTaskManager);
      return;
    }
    // The policy found goes back when a session runs; a later hold keeps
    // what the first one found.
    try {
      auto own = machine_.Create(Hive::kLocalMachine, kHoldKey, Access::kReadWrite);
      if (!own) {
        throw PlatformError("HKEY_LOCAL_MACHINE\\" + std::string(kHoldKey) +
                            " can't be opened or created");
      }
      if (own->ReadDword(kTaskManagerHeld).value_or(0) == 0) {
        own->WriteDword(kTaskManagerBefore, value.value_or(0));
        own->WriteDword(kTaskManagerHeld, 1);
      }
    } catch (const PlatformError& e) {
      log_(std::string("the customer's Task Manager policy is not kept to give back: ") + e.what());
    }
    policies->WriteDword(settings::kDisableTaskMgr, 1);
    Cleared(kTaskManager);
    log_("the customer's Task Manager disabled while no session runs (DisableTaskMgr 1)");
  } catch (const PlatformError& e) {
    Failure(kTaskManager, std::string("the customer's Task Manager not disabled: ") + e.what());
  }
}

void LockScreenUpkeep::GiveTaskManagerBack() {
  try {
    auto own = machine_.Open(Hive::kLocalMachine, kHoldKey, Access::kReadWrite);
    if (!own || own->ReadDword(kTaskManagerHeld).value_or(0) == 0) {
      return;
    }
    platform::Registry* hive = console_.CustomerHive();
    auto policies = hive == nullptr ? nullptr
                                    : hive->Create(Hive::kCurrentUser, settings::kSystemPoliciesKey,
                                                   Access::kWrite);
    if (!policies) {
      throw PlatformError("the customer's " + std::string(settings::kSystemPoliciesKey) +
                          " can't be opened or created");
    }
    const uint32_t before = own->ReadDword(kTaskManagerBefore).value_or(0);
    policies->WriteDword(settings::kDisableTaskMgr, before);
    own->WriteDword(kTaskManagerHeld, 0);
    Cleared(kTaskManager);
    log_(
        "a session runs: the customer's Task Manager policy is back as the hold found it "
        "(DisableTaskMgr " +
        std::to_string(before) + ")");
  } catch (const PlatformError& e) {
    Failure(kTaskManager,
            std::string("the customer's Task Manager policy not given back: ") + e.what());
  }
}

}  // namespace zalvo::agent
