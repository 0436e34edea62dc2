// The service's side of the look at the lock screen's cover: it keeps the
// checker ("<folder>\<program> --lock-check", platform/win32/cover_check.h)
// running in the console session, started with the service's own token
// moved into that session (SetTokenInformation(TokenSessionId)), so that
// the process runs as the service's account there, where the customer may
// neither open, suspend nor write it; the checker has no window. A request
// goes to it at a look (at most four a second) and its answer is read,
// without waiting, at a later one: a look never holds the service's tick up.
// A checker that does not answer within a few seconds is ended and started
// again.
//
// Ending the lock screen and logging the customer off are done from the
// service itself, and only while the customer account is the one logged on
// at the console.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/lock_cover.h"

namespace zalvo::win32 {

// `lock_screen` is the installed lock screen's full path; the customer
// account is the one of `customer_sid` (without it, the one whose shell is
// the lock screen).
std::unique_ptr<platform::LockCover> MakeWin32LockCover(std::wstring folder, std::wstring program,
                                                        std::wstring lock_screen,
                                                        std::optional<std::string> customer_sid);

}  // namespace zalvo::win32
