#include "console/core/record.h"

namespace zalvo::console {

const char* RoleName(Role role) {
  return role == Role::kOwner ? "owner" : "operator";
}

std::optional<Role> RoleFromName(std::string_view name) {
  if (name == "owner") {
    return Role::kOwner;
  }
  if (name == "operator") {
    return Role::kOperator;
  }
  return std::nullopt;
}

}  // namespace zalvo::console
