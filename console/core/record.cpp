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
  switch (kind) {
    case SaleKind::kFree:
      return "free";
    case SaleKind::kPackage:
      return "package";
    case SaleKind::kSold:
      break;
  }
  return "sale";
}

std::optional<SaleKind> SaleKindFromName(std::string_view name) {
  if (name == "sale") {
    return SaleKind::kSold;
  }
  if (name == "free") {
    return SaleKind::kFree;
  }
  if (name == "package") {
    return SaleKind::kPackage;
  }
  return std::nullopt;
}

}  // namespace zalvo::console
