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

const char* SaleKindName(SaleKind kind) {
  return kind == SaleKind::kFree ? "free" : "sale";
}

std::optional<SaleKind> SaleKindFromName(std::string_view name) {
  if (name == "sale") {
    return SaleKind::kSold;
  }
  if (name == "free") {
    return SaleKind::kFree;
  }
  return std::nullopt;
}

}  // namespace zalvo::console
