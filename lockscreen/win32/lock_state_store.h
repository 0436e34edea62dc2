// The lock state in the account's own hive, which the account may write
// without administrator rights. Whether the station is locked sits in a
// volatile key, HKEY_CURRENT_USER\Software\Kav\Zalvo\LockState, which the
// system drops with the hive at the log-off or a restart of Windows; the Task
// Manager policy a lock replaced sits beside the passwords in
// HKEY_CURRENT_USER\Software\Kav\Zalvo, until it is put back.
#pragma once

#include "lockscreen/lock_state.h"

namespace zalvo::lockscreen::win32 {

// The keys, below HKEY_CURRENT_USER, and their values (all REG_DWORD).
inline constexpr wchar_t kZalvoKeyW[] = L"Software\\Kav\\Zalvo";
inline constexpr wchar_t kLockStateKey[] = L"Software\\Kav\\Zalvo\\LockState";
inline constexpr wchar_t kLockedValue[] = L"Locked";
inline constexpr wchar_t kTaskManagerHeldValue[] = L"LockHoldsTaskManager";
inline constexpr wchar_t kTaskManagerBeforeValue[] = L"TaskManagerBeforeLock";

class RegistryLockStateStore final : public LockStateStore {
 public:
  LockState Load() override;
  void Save(const LockState& state) override;
};

}  // namespace zalvo::lockscreen::win32
