// What the lock screen keeps of its lock beyond its own process. Whether the
// station is locked lasts as long as the Windows log-on: a lock screen
// started again after the first was ended (from Task Manager) or crashed
// finds it and locks again, while every new log-on (and so every session the
// agent starts with a restart) begins unlocked. The Task Manager policy that
// a lock replaced lasts until it is put back: by the unlock, or by the first
// lock screen of a later log-on when the lock never ended.
#pragma once

#include <cstdint>
#include <optional>

namespace zalvo::lockscreen {

struct LockState {
  // Kept for the log-on.
  bool locked = false;
  // Kept until put back: a lock has set DisableTaskMgr, which was
  // task_manager_before (nullopt: the account had no such value).
  bool task_manager_held = false;
  std::optional<uint32_t> task_manager_before;
  bool operator==(const LockState&) const = default;
};

class LockStateStore {
 public:
  virtual ~LockStateStore() = default;
  // The state the lock screens before this one left; the default (nothing
  // held) when none did. A state that can't be read throws PlatformError.
  virtual LockState Load() = 0;
  // A state that can't be kept throws PlatformError.
  virtual void Save(const LockState& state) = 0;
};

}  // namespace zalvo::lockscreen
