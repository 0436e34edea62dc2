// The operators, their log-ins and the action log.
#include <algorithm>

#include "console/core/web_console.h"

namespace zalvo::console {
void WebConsole::RecordAction(const std::string& operator_name, const std::string& action,
                              const std::string& detail) {
  std::lock_guard lock(mutex_);
  record_.RecordAction(Now(), operator_name, "", action, detail);
}

std::optional<OperatorRecord> WebConsole::Operator(const std::string& name) {
  std::lock_guard lock(mutex_);
  return record_.Operator(name);
}

std::vector<OperatorRecord> WebConsole::Operators() {
  std::lock_guard lock(mutex_);
  return record_.Operators();
}

ActionOutcome WebConsole::SetOperator(const std::string& by, const std::string& name,
                                      const std::string& password_hash, std::optional<Role> role) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    auto existing = record_.Operator(name);
    if (!existing && password_hash.empty()) {
      outcome.refusal = BadRequest("a new operator needs a password");
      return outcome;
    }
    if (existing && existing->role == Role::kOwner && role == Role::kOperator) {
      if (OwnerCount() == 1) {
        outcome.refusal =
            Conflict("the last owner can't be made an operator: make another owner first");
        return outcome;
      }
    }
    // What the change does, as the owner's answer and the log say it.
    std::string detail;
    if (!existing) {
      detail = std::string("added as ") + RoleName(role.value_or(Role::kOwner));
    } else {
      if (role && *role != existing->role) {
        detail = std::string("role ") + RoleName(existing->role) + " -> " + RoleName(*role);
      }
      if (!password_hash.empty()) {
        detail += (detail.empty() ? "" : ", ") + std::string("new password (their log-ins end)");
      }
      if (detail.empty()) {
        detail = "nothing changed";
      }
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.SetOperator(name, password_hash, role);
      record_.RecordAction(now, by, "", "operator " + name, detail);
    });
    outcome.done = "operator " + name + ": " + detail;
  } catch (const RecordError& e) {
    outcome.refusal = RecordFailed(e);
    return outcome;
  }
  Log(by + ": operator " + name + (role ? std::string(" (") + RoleName(*role) + ")" : "") + " set");
  return outcome;
}

ActionOutcome WebConsole::RemoveOperator(const std::string& by, const std::string& name) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    auto existing = record_.Operator(name);
    if (!existing) {
      outcome.refusal = NotFound("there is no operator '" + name + "'");
      return outcome;
    }
    if (existing->role == Role::kOwner && OwnerCount() == 1) {
      outcome.refusal = Conflict("the last owner can't be removed");
      return outcome;
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.RemoveOperator(name);
      record_.RecordAction(now, by, "", "operator " + name, "removed");
    });
    outcome.done = "operator " + name + ": removed";
  } catch (const RecordError& e) {
    outcome.refusal = RecordFailed(e);
    return outcome;
  }
  Log(by + ": operator " + name + " removed");
  return outcome;
}

std::vector<ActionRecord> WebConsole::Actions(const ActionQuery& query) {
  std::lock_guard lock(mutex_);
  return record_.Actions(query);
}

std::vector<std::string> WebConsole::ActionKinds(Millis from, Millis to) {
  std::lock_guard lock(mutex_);
  return record_.ActionKinds(from, to);
}

std::optional<RequestRecord> WebConsole::FindRequest(const std::string& operator_name,
                                                     const std::string& id) {
  std::lock_guard lock(mutex_);
  return record_.FindRequest(operator_name, id);
}

void WebConsole::ClaimRequest(const std::string& operator_name, const std::string& id,
                              const std::string& fingerprint) {
  std::lock_guard lock(mutex_);
  Millis now = Now();
  record_.ClaimRequest(RequestRecord{operator_name, id, now, fingerprint, std::nullopt, ""},
                       now - kRequestKeptMs);
}

void WebConsole::AnswerRequest(const std::string& operator_name, const std::string& id, int status,
                               const std::string& answer) {
  std::lock_guard lock(mutex_);
  record_.AnswerRequest(operator_name, id, status, answer);
}

void WebConsole::SaveLogin(const LoginRecord& login) {
  std::lock_guard lock(mutex_);
  // Log-ins that ended by their age or idleness are forgotten as new ones
  // come.
  Millis now = Now();
  record_.DeleteLoginsBefore(now - kLoginLifetimeMs, now - kLoginIdleMs);
  record_.SaveLogin(login);
}

std::optional<LoginRecord> WebConsole::FindLogin(const std::string& token_hash) {
  std::lock_guard lock(mutex_);
  return record_.FindLogin(token_hash);
}

void WebConsole::TouchLogin(const std::string& token_hash) {
  std::lock_guard lock(mutex_);
  record_.TouchLogin(token_hash, Now());
}

void WebConsole::DeleteLogin(const std::string& token_hash) {
  std::lock_guard lock(mutex_);
  record_.DeleteLogin(token_hash);
}

// A mark is kept for a year unused (its cookie's life); its use is noted at
// most once a day.
constexpr Millis kDeviceUnusedMs = Millis{365} * 24 * 3600 * 1000;
constexpr Millis kDay = Millis{24} * 3600 * 1000;

bool WebConsole::KnownDevice(const std::string& mark_hash, const std::string& operator_name) {
  std::lock_guard lock(mutex_);
  auto device = record_.FindDevice(mark_hash);
  if (!device || device->operator_name != operator_name) {
    return false;
  }
  Millis now = Now();
  if (now - device->used < kDeviceUnusedMs && now - device->used >= kDay) {
    record_.TouchDevice(mark_hash, now);
  }
  return now - device->used < kDeviceUnusedMs;
}

void WebConsole::SaveDevice(const std::string& mark_hash, const std::string& operator_name) {
  std::lock_guard lock(mutex_);
  Millis now = Now();
  record_.SaveDevice(DeviceRecord{mark_hash, operator_name, now, now}, now - kDeviceUnusedMs);
}

size_t WebConsole::OwnerCount() {
  auto operators = record_.Operators();
  return static_cast<size_t>(std::count_if(operators.begin(), operators.end(),
                                           [](const auto& o) { return o.role == Role::kOwner; }));
}

}  // namespace zalvo::console
