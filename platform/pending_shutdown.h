// A restart or shut-down of Windows that someone asked for with a time-out
// (`shutdown /r /t 600`: InitiateSystemShutdownEx or InitiateShutdown with a
// time-out). While it waits, Windows refuses every other restart and
// shut-down as one already under way; whoever holds the shutdown privilege
// may abort it, the customer who asked for it included.
#pragma once

namespace zalvo::platform {

class PendingShutdown {
 public:
  virtual ~PendingShutdown() = default;

  // Aborts the restart or shut-down that waits for its time-out
  // (AbortSystemShutdown); needs the shutdown privilege enabled. False when
  // none waits, or one is under way that can no longer be stopped.
  [[nodiscard]] virtual bool Abort() = 0;
};

}  // namespace zalvo::platform
