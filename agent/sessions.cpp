#include "agent/sessions.h"

#include <exception>

#include "platform/error.h"
#include "settings/keys.h"
#include "settings/registry_names.h"

namespace zalvo::agent {
namespace {

using platform::Hive;
using settings::Key;

}  // namespace

Sessions::Sessions(AgentState& state, platform::Registry& registry, platform::Desktop& desktop,
                   LogSink log, CustomerAccount customer)
    : state_(state),
      registry_(registry),
      desktop_(desktop),
      log_(std::move(log)),
      customer_(std::move(customer)),
      power_off_(desktop, log_, {kPowerOffRetries, kPowerOffRetryTicks}, true) {}

void Sessions::Log(const std::string& line) const {
  if (log_) {
    log_(line);
  }
}

void Sessions::Start(int32_t seconds) {
  state_.remaining_seconds = seconds;
  state_.session_active = true;
  if (state_.settings.Flag(Key::ShutDownMonitor)) {
    // The hand-off below matters more than the monitor: a monitor that could
    // not be switched on (a failed session helper) does not keep it back.
    try {
      desktop_.BroadcastMonitorPower(platform::kMonitorOn);
    } catch (const platform::PlatformError& e) {
      Log(std::string("monitor on at session start failed: ") + e.what());
    } catch (const platform::HelperFailure& e) {
      Log(std::string("monitor on at session start failed: ") + e.what());
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
    Log("session started: " + std::to_string(state_.remaining_seconds) + " seconds");
  } else {
    Log("session started without the Windows log-on key: nothing handed over");
  }
  if (previous == "0") {
    ForcedReboot();
  }
}

void Sessions::End(int32_t seconds_left) {
  state_.remaining_seconds = seconds_left;
  if (state_.remaining_seconds > 0) {
    Log("session goes on: " + std::to_string(state_.remaining_seconds) + " seconds left");
    return;
  }
  state_.session_active = false;
  std::string previous;
  if (auto key = registry_.Open(Hive::kLocalMachine, settings::kWinlogonKey)) {
    previous = key->ReadString(settings::kZalvoLogon).value_or("");
    key->WriteString(settings::kAutoAdminLogon, "0");
    key->WriteString(settings::kZalvoLogon, "0");
    key->WriteDword(settings::kLocalTimer, 0);
    Log("session ended");
  } else {
    Log("session ended without the Windows log-on key: nothing handed over");
  }
  // A lock that fails (a failed session helper) does not keep the restart
  // back.
  try {
    if (!desktop_.LockWorkStation()) {
      Log("the workstation lock was refused");
    }
  } catch (const platform::PlatformError& e) {
    Log(std::string("the workstation lock failed: ") + e.what());
  } catch (const platform::HelperFailure& e) {
    Log(std::string("the workstation lock failed: ") + e.what());
  }
  if (previous != "0") {
    ForcedReboot();
  }
}

void Sessions::ForcedReboot() {
  (void)power_off_.Request(platform::PowerOff::kRestart);
}

void Sessions::ForcedShutdown() {
  (void)power_off_.Request(platform::PowerOff::kShutDown);
}

}  // namespace zalvo::agent
