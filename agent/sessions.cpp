#include "agent/sessions.h"

#include <exception>
#include <utility>

#include "platform/error.h"
#include "settings/keys.h"
#include "settings/registry_names.h"

namespace zalvo::agent {
namespace {

using platform::Hive;
using settings::Key;

}  // namespace

Sessions::Sessions(AgentState& state, platform::Registry& registry,
                   const platform::DesktopRoles& desktop, platform::LogSink log,
                   CustomerAccount customer, WallClock clock, platform::PendingShutdown* waiting)
    : state_(state),
      registry_(registry),
      presence_(desktop.presence),
      log_(std::move(log)),
      customer_(std::move(customer)),
      store_(registry, std::move(clock)),
      power_off_(desktop.machine, log_, {kPowerOffRetries, kPowerOffRetryTicks}, true, waiting) {}

void Sessions::Start(int32_t seconds) {
  // Kept first: a session the service could not find again after its
  // restart (which this start may cause) is not started.
  store_.Save(true, seconds);
  state_.remaining_seconds = seconds;
  state_.session_active = true;
  if (state_.settings.Flag(Key::ShutDownMonitor)) {
    // The hand-off below matters more than the monitor: a monitor that could
    // not be switched on (a failed session helper) does not keep it back.
    try {
      presence_.BroadcastMonitorPower(platform::kMonitorOn);
    } catch (const platform::PlatformError& e) {
      log_(std::string("monitor on at session start failed: ") + e.what());
    } catch (const platform::HelperFailure& e) {
      log_(std::string("monitor on at session start failed: ") + e.what());
    }
  }
  // An absent marker, or a log-on key that can't be opened, reads as empty.
  std::string previous;
  if (auto key = registry_.Open(Hive::kLocalMachine, settings::kWinlogonKey)) {
    previous = key->ReadString(settings::kZalvoLogon).value_or("");
    key->WriteString(settings::kAutoAdminLogon, "1");
    key->WriteString(settings::kDefaultUserName, customer_.name);
    if (!customer_.domain.empty()) {
      key->WriteString(settings::kDefaultDomainName, customer_.domain);
    }
    key->WriteString(settings::kDefaultPassword, kSessionPassword);
    key->WriteString(settings::kZalvoLogon, "1");
    // A negative time is stored as its 32-bit pattern, as Windows keeps it.
    key->WriteDword(settings::kLocalTimer, static_cast<uint32_t>(state_.remaining_seconds));
    log_("session started: " + std::to_string(state_.remaining_seconds) + " seconds");
  } else {
    log_("session started without the Windows log-on key: nothing handed over");
  }
  if (previous == "0") {
    ForcedReboot();
  }
}

void Sessions::End(int32_t seconds_left) {
  state_.remaining_seconds = seconds_left;
  if (state_.remaining_seconds > 0) {
    if (state_.session_active) {
      WriteCurrent();  // the cut, for a restart and for the remaining-time window
    }
    log_("session goes on: " + std::to_string(state_.remaining_seconds) + " seconds left");
    return;
  }
  store_.Save(false, state_.remaining_seconds);
  state_.session_active = false;
  std::string previous;
  if (auto key = registry_.Open(Hive::kLocalMachine, settings::kWinlogonKey)) {
    previous = key->ReadString(settings::kZalvoLogon).value_or("");
    key->WriteString(settings::kAutoAdminLogon, "0");
    key->WriteString(settings::kZalvoLogon, "0");
    key->WriteDword(settings::kLocalTimer, 0);
    log_("session ended");
  } else {
    log_("session ended without the Windows log-on key: nothing handed over");
  }
  // A lock that fails (a failed session helper) does not keep the restart
  // back.
  try {
    if (!presence_.LockWorkStation()) {
      log_("the workstation lock was refused");
    }
  } catch (const platform::PlatformError& e) {
    log_(std::string("the workstation lock failed: ") + e.what());
  } catch (const platform::HelperFailure& e) {
    log_(std::string("the workstation lock failed: ") + e.what());
  }
  if (previous != "0") {
    ForcedReboot();
  }
}

void Sessions::WriteLocalTimer(int32_t seconds) {
  if (auto key = registry_.Open(Hive::kLocalMachine, settings::kWinlogonKey)) {
    key->WriteDword(settings::kLocalTimer, static_cast<uint32_t>(seconds));
  }
}

void Sessions::WriteCurrent() {
  store_.Save(true, state_.remaining_seconds);
  WriteLocalTimer(state_.remaining_seconds);
}

void Sessions::KeepCurrent() {
  const int32_t left = state_.remaining_seconds;
  // Every 60 ticks while the time goes down one a tick, and the tick the
  // time runs out, so that the window's melody for time that is over begins
  // at once.
  if (!state_.session_active || (left % 60 != 0 && left != -1)) {
    return;
  }
  try {
    WriteCurrent();
    if (std::exchange(current_failed_, false)) {
      log_("the session's time left is kept again: " + std::to_string(left) + " seconds");
    }
  } catch (const platform::PlatformError& e) {
    if (!std::exchange(current_failed_, true)) {
      log_(std::string("the session's time left is not kept (LocalTimer, SessionState): ") +
           e.what());
    }
  }
}

void Sessions::Restore() {
  std::optional<StoredSession> stored;
  try {
    stored = store_.Load();
  } catch (const platform::PlatformError& e) {
    state_.session_active = false;
    log_(std::string("the kept session can't be read (no session is taken to run): ") + e.what());
    return;
  }
  if (!stored) {
    // An earlier version kept the session only in the log-on values.
    std::optional<int32_t> handed_over;
    try {
      auto key =
          registry_.Open(Hive::kLocalMachine, settings::kWinlogonKey, platform::Access::kRead);
      if (key && key->ReadString(settings::kZalvoLogon) == "1") {
        handed_over = static_cast<int32_t>(key->ReadDword(settings::kLocalTimer).value_or(0));
      }
    } catch (const platform::PlatformError& e) {
      log_(std::string("no kept session, and the log-on values can't be read: ") + e.what());
    }
    if (handed_over) {
      state_.session_active = true;
      state_.remaining_seconds = *handed_over;
      log_("no kept session, but the log-on values say one runs: taken over with " +
           std::to_string(*handed_over) + " seconds (LocalTimer)");
      try {
        store_.Save(true, *handed_over);
      } catch (const platform::PlatformError& e) {
        log_(std::string("the session taken over is not kept: ") + e.what());
      }
    }
    return;
  }
  const int64_t now = store_.Now();
  state_.session_active = stored->running;
  state_.remaining_seconds = SecondsLeftAt(*stored, now);
  std::string line =
      std::string(stored->running ? "a session runs" : "no session runs") + " (kept at " +
      std::to_string(stored->saved) + ", " + std::to_string(stored->end - stored->saved) +
      " seconds left then): " + std::to_string(state_.remaining_seconds) + " seconds left now";
  if (now < stored->saved) {
    line += "; the clock is behind the time it was kept at: no time is counted as passed";
  }
  log_(line);
  if (stored->running) {
    try {
      WriteLocalTimer(state_.remaining_seconds);
    } catch (const platform::PlatformError& e) {
      log_(std::string("LocalTimer not written: ") + e.what());
    }
  }
}

void Sessions::ForcedReboot() {
  (void)power_off_.Request(platform::PowerOff::kRestart);
}

void Sessions::ForcedShutdown() {
  (void)power_off_.Request(platform::PowerOff::kShutDown);
}

}  // namespace zalvo::agent
