// Customer sessions: the hand-off to Windows and the lock screen through the
// five values under the Windows log-on key, the workstation lock, and the
// forced restart and shut-down of Windows.
//
// The marker ZalvoLogon decides the restart: a start restarts only when the
// previous marker was exactly "0" (a session ended before), an end restarts
// when it was anything else (absent included), so that Windows comes up with
// the automatic log-on it has just been given. A restart or shut-down that
// Windows refuses is logged and asked for again a few times (every
// kPowerOffRetryTicks ticks, at most kPowerOffRetries times); one that a
// restart waiting for its time-out holds off aborts that one first.
//
// The session itself (running or not, its end) is the service's own: kept in
// the session store (session_store.h) at every start, renewal, cut and end,
// so that the service's restart, which every start on an idle station
// causes, finds it again. Everything that asks whether a session runs asks
// the worker state, which only the commands, the tick and that store set.
// LocalTimer, which the lock screen's remaining-time window shows, is kept
// current while a session runs: written at every whole minute of the time
// left, when the time runs out (-1), at every cut and after a restart.
#pragma once

#include <string>

#include "agent/actions.h"
#include "agent/agent_state.h"
#include "agent/customer_account.h"
#include "agent/session_store.h"
#include "platform/desktop.h"
#include "platform/log_sink.h"
#include "platform/pending_shutdown.h"
#include "platform/registry.h"
#include "platform/system_shutdown.h"

namespace zalvo::agent {

// The password of the account that Windows logs on automatically during a
// session (the customer account, customer_account.h): every customer
// account must have it.
inline constexpr std::string_view kSessionPassword = "946";

// The time an installation session grants: 4 hours 26 minutes 40 seconds.
inline constexpr int32_t kInstallSeconds = 16000;

inline constexpr int kPowerOffRetries = 3;
inline constexpr int kPowerOffRetryTicks = 5;

class Sessions {
 public:
  // `registry` holds the Windows log-on key and the session store; the
  // store's time is `clock`'s (the system's without one). With `waiting`, a
  // restart that another one waiting for its time-out holds off aborts it.
  Sessions(AgentState& state, platform::Registry& registry, const platform::DesktopRoles& desktop,
           platform::LogSink log = {}, CustomerAccount customer = {}, WallClock clock = {},
           platform::PendingShutdown* waiting = nullptr);

  // Keeps the session that many seconds and marks it running in the store,
  // then in the worker state; switches the monitor on when ShutDownMonitor
  // is on (a switch that fails is only logged: the hand-off matters more),
  // writes the log-on values (AutoAdminLogon "1", DefaultUserName and, when
  // known, DefaultDomainName of the customer account, DefaultPassword,
  // ZalvoLogon "1", LocalTimer = the seconds), and restarts Windows when the
  // previous marker was "0". A value that can't be read or written throws
  // PlatformError; what was written stays and the key is closed (a store
  // that can't be written changes nothing).
  void Start(int32_t seconds);

  // Leaves the session that many seconds. With time left, a running
  // session is kept so (the store and LocalTimer), nothing more. Otherwise
  // keeps it ended in the store, marks it ended, writes AutoAdminLogon "0",
  // ZalvoLogon "0" and LocalTimer 0, locks the workstation and restarts
  // Windows unless the previous marker was "0". Throws like Start.
  void End(int32_t seconds_left);

  // At the service's start: the session as the store keeps it, with the
  // time passed since it was written counted, into the worker state; a
  // running one's time left goes to LocalTimer. A station of an earlier
  // version (nothing stored) takes a session that the log-on values say
  // runs (ZalvoLogon "1", LocalTimer). What can't be read counts as no
  // session. Logs what it found; never throws.
  void Restore();

  // On every tick, after the time was counted: while a session runs, keeps
  // the store and LocalTimer current at every whole minute of the time left
  // and when it runs out. A failure is logged once until a write works.
  void KeepCurrent();

  // Restart or shut-down with force, when the account holds the shutdown
  // privilege; nothing otherwise.
  void ForcedReboot();
  void ForcedShutdown();

  // On every tick: asks again for a restart or shut-down that Windows
  // refused, when its turn has come.
  void RetryPowerOff() { power_off_.Retry(); }

 private:
  // The store and LocalTimer with the time left of the running session.
  void WriteCurrent();
  void WriteLocalTimer(int32_t seconds);

  AgentState& state_;
  platform::Registry& registry_;
  platform::Presence& presence_;
  platform::LogSink log_;
  CustomerAccount customer_;
  SessionStore store_;
  platform::SystemShutdown power_off_;
  bool current_failed_ = false;  // the last write of KeepCurrent failed
};

}  // namespace zalvo::agent
