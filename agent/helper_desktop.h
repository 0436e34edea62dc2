// The customer's desktop and speakers as the agent service reaches them:
// through its session helper. What the service does from its own account
// (platform/machine.h: privileges, the end of Windows, the free space of
// drive C) is not here: the service does it itself.
//
// With nobody logged on at the console there are no windows (an empty list,
// foreground 0, no window found), and the actions (run, lock, monitor,
// cursor, beep, a kill) do nothing and are logged; the speakers refuse.
#pragma once

#include "agent/helper_supervisor.h"
#include "platform/console_session.h"
#include "platform/log_sink.h"
#include "platform/mixer.h"
#include "platform/presence.h"
#include "platform/shell.h"
#include "platform/top_windows.h"

namespace zalvo::agent {

class HelperDesktop final : public platform::TopWindows,
                            public platform::Presence,
                            public platform::Shell {
 public:
  explicit HelperDesktop(HelperSupervisor& helper, platform::LogSink log = {});

  bool LockWorkStation() override;
  // The windows and their captions come from the helper in one request
  // each: the list of all of them, or the foreground one.
  std::vector<CaptionedWindow> TopLevelWindowsWithCaptions() override;
  CaptionedWindow ForegroundWindowWithCaption() override;
  platform::WindowHandle FindWindowByCaption(std::string_view caption) override;
  uint32_t WindowProcessId(platform::WindowHandle window) override;
  // As the customer first; a process the customer's rights can't end (an
  // elevated program) is ended by the service, when it runs in the console
  // session and is none of the system's own (HelperSupervisor::
  // TerminateInConsoleSession).
  bool TerminateProcess(uint32_t process_id, uint32_t exit_code) override;
  // As the customer, by the helper in one step; a process the customer's
  // rights can't end is ended by the service as above.
  OwnerEnd EndWindowOwner(std::string_view caption, uint32_t exit_code) override;
  // Started as the customer, in the customer's session, by a thread of the
  // helper: kHandedOff at once, the outcome in the service's log when the
  // helper tells it. PlatformError when the helper refused it (too many
  // starts wait).
  Start ShellOpen(const std::string& file, const std::string& parameters,
                  const std::string& directory, int show_command) override;
  void BroadcastMonitorPower(int32_t state) override;
  void SetCursorPosition(int32_t x, int32_t y) override;
  void MessageBeep(uint32_t type) override;
  // Shown by the helper, on a thread of its own; false when nobody is
  // logged on (the caller logs it, each time).
  bool ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) override;

  // The lock order to the installed lock screen's windows of the customer's
  // session; nothing told when nobody is logged on there.
  platform::LockOrder TellLockScreensToLock();

 private:
  // The reply, nullopt (and the action logged as skipped) when nobody is
  // logged on.
  template <typename Operation>
  std::optional<typename Operation::Reply> Ask(std::string_view what,
                                               const typename Operation::Request& request = {});
  // A caption the system could not have given ends the helper.
  std::string CheckedCaption(std::string caption);

  HelperSupervisor& helper_;
  platform::LogSink log_;
};

// The speakers of the customer's session (the default audio endpoint, which
// may appear after the agent started).
class HelperMixer final : public platform::Mixer {
 public:
  explicit HelperMixer(HelperSupervisor& helper) : helper_(helper) {}

  platform::SpeakerControls OpenSpeakerControls() override;
  void SetVolumeLevels(platform::StereoLevels levels) override;
  platform::StereoLevels VolumeLevels() override;
  void SetMute(bool on) override;
  bool ControlsMayAppear() const override { return true; }

 private:
  // The reply; PlatformError when nobody is logged on.
  template <typename Operation>
  typename Operation::Reply Ask(const typename Operation::Request& request = {});

  HelperSupervisor& helper_;
};

}  // namespace zalvo::agent
