#include "lockscreen/win32/lock_state_store.h"

#include <windows.h>

#include "platform/win32/error.h"
#include "platform/win32/scoped.h"

namespace zalvo::lockscreen::win32 {
namespace {

using zalvo::win32::ScopedKey;
using zalvo::win32::ThrowError;

// The key opened for reading; not open when it does not exist.
ScopedKey OpenForReading(const wchar_t* path) {
  ScopedKey key;
  const LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, key.put());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    ThrowError("RegOpenKeyEx lock state", static_cast<uint32_t>(rc));
  }
  return key;
}

std::optional<DWORD> ReadDword(const ScopedKey& key, const wchar_t* name) {
  if (!key) {
    return std::nullopt;
  }
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  const LONG rc =
      RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (rc == ERROR_FILE_NOT_FOUND) {
    return std::nullopt;
  }
  if (rc != ERROR_SUCCESS || type != REG_DWORD) {
    ThrowError("RegQueryValueEx lock state",
               static_cast<uint32_t>(rc == ERROR_SUCCESS ? ERROR_INVALID_DATA : rc));
  }
  return value;
}

ScopedKey CreateForWriting(HKEY parent, const wchar_t* path, DWORD options) {
  ScopedKey key;
  const LONG rc = RegCreateKeyExW(parent, path, 0, nullptr, options,
                                  KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, key.put(), nullptr);
  if (rc != ERROR_SUCCESS) {
    ThrowError("RegCreateKeyEx lock state", static_cast<uint32_t>(rc));
  }
  return key;
}

void WriteDword(const ScopedKey& key, const wchar_t* name, std::optional<DWORD> value) {
  LONG rc = ERROR_SUCCESS;
  if (value) {
    rc = RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*value),
                        sizeof *value);
  } else {
    rc = RegDeleteValueW(key.get(), name);
    if (rc == ERROR_FILE_NOT_FOUND) {
      rc = ERROR_SUCCESS;
    }
  }
  if (rc != ERROR_SUCCESS) {
    ThrowError("RegSetValueEx lock state", static_cast<uint32_t>(rc));
  }
}

}  // namespace

LockState RegistryLockStateStore::Load() {
  LockState state;
  state.locked = ReadDword(OpenForReading(kLockStateKey), kLockedValue).value_or(0) != 0;
  const ScopedKey zalvo = OpenForReading(kZalvoKeyW);
  state.task_manager_held = ReadDword(zalvo, kTaskManagerHeldValue).value_or(0) != 0;
  if (state.task_manager_held) {
    state.task_manager_before = ReadDword(zalvo, kTaskManagerBeforeValue);
  }
  return state;
}

void RegistryLockStateStore::Save(const LockState& state) {
  // The Zalvo key stays an ordinary key (it holds the passwords); only the
  // lock's own key below it is volatile.
  const ScopedKey zalvo = CreateForWriting(HKEY_CURRENT_USER, kZalvoKeyW, REG_OPTION_NON_VOLATILE);
  WriteDword(zalvo, kTaskManagerBeforeValue,
             state.task_manager_held ? state.task_manager_before : std::nullopt);
  WriteDword(zalvo, kTaskManagerHeldValue,
             state.task_manager_held ? std::optional<DWORD>(1) : std::nullopt);
  const ScopedKey lock = CreateForWriting(zalvo.get(), L"LockState", REG_OPTION_VOLATILE);
  WriteDword(lock, kLockedValue, state.locked ? 1 : 0);
}

}  // namespace zalvo::lockscreen::win32
