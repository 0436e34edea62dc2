#include "platform/session_launcher.h"

#include "text/text.h"

namespace zalvo::platform {

bool SystemAccountSid(std::string_view sid) {
  // SYSTEM, LOCAL SERVICE, NETWORK SERVICE.
  for (std::string_view account : {"S-1-5-18", "S-1-5-19", "S-1-5-20"}) {
    if (text::EqualsIgnoreCase(sid, account)) {
      return true;
    }
  }
  // A service's own account (NT SERVICE\...), a session's window manager
  // (Window Manager\DWM-n) and font driver host (Font Driver Host\UMFD-n).
  for (std::string_view authority : {"S-1-5-80-", "S-1-5-90-", "S-1-5-96-"}) {
    if (sid.size() > authority.size() &&
        text::EqualsIgnoreCase(sid.substr(0, authority.size()), authority)) {
      return true;
    }
  }
  return false;
}

}  // namespace zalvo::platform
