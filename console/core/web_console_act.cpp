// The operators' actions on stations, carried out through the actions'
// table.
#include <algorithm>

#include "console/core/web_console.h"
#include "platform/error.h"

namespace zalvo::console {
namespace {

std::string Who(const Station& station) {
  return station.name + " (" + station.address + ")";
}

}  // namespace

std::vector<ActionOutcome> WebConsole::Act(const std::string& operator_name,
                                           const ActionRequest& request) {
  const ActionRow& row = RowOf(request.kind);
  // An action that probes goes only to stations that answer now: they are
  // asked at once, and waited for once.
  std::vector<std::string> answered;
  if (row.probes) {
    std::vector<std::string> probed;
    {
      std::lock_guard lock(mutex_);
      Millis now = Now();
      for (const auto& address : request.stations) {
        const Station* station = room_.Find(address);
        if (station && !station->unknown && !(request.anyway && room_.Booting(*station, now))) {
          probed.push_back(address);
        }
      }
    }
    answered = Probe(probed);
  }
  std::vector<ActionOutcome> outcomes;
  for (const auto& address : request.stations) {
    bool heard = std::find(answered.begin(), answered.end(), address) != answered.end();
    outcomes.push_back(ActOn(operator_name, request, address, heard));
    if (!outcomes.back().ok()) {
      // The log shows what was refused and why, beside what was done.
      std::lock_guard lock(mutex_);
      const Station* station = room_.Find(address);
      try {
        record_.RecordRefusal(Now(), operator_name, station ? Who(*station) : address,
                              row.name.data(), RequestDetail(request),
                              outcomes.back().refusal->text);
      } catch (const RecordError&) {
        // The refusal itself stands; its line is only for the log.
      }
    }
  }
  Changed();
  return outcomes;
}

ActionOutcome WebConsole::ActOn(const std::string& operator_name, const ActionRequest& request,
                                const std::string& address, bool answered) {
  const ActionRow& row = RowOf(request.kind);
  ActionOutcome outcome;
  outcome.address = address;
  std::optional<ActionPlan> plan;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    if (!station) {
      outcome.refusal = NotFound("no such station");
      return outcome;
    }
    if (station->unknown) {
      outcome.refusal = Conflict("an unknown station: adopt it first");
      return outcome;
    }
    // The row's refusals first; then the record's writes as one
    // transaction, and only once they are in the record the room's change
    // and the commands: a failed write leaves the record, the room and the
    // station as they were.
    Millis now = Now();
    ActionContext context{operator_name,
                          request,
                          *station,
                          now,
                          answered,
                          room_.Booting(*station, now),
                          record_,
                          till_,
                          macs_,
                          options_.wake_address,
                          options_.wake_port};
    plan = row.plan(context, outcome);
    if (!plan) {
      return outcome;
    }
    const std::optional<RentalSession>& current = station->session;
    try {
      record_.Atomically([&] {
        if (plan->session && *plan->session && !current) {
          (*plan->session)->record_id = record_.StartSession(*station, **plan->session);
        } else if (plan->session && *plan->session) {
          record_.RenewSession((*plan->session)->record_id, **plan->session);
        } else if (plan->session && current) {
          record_.EndSession(current->record_id, now, operator_name);
        }
        if (plan->refund) {
          record_.AddRefund(*plan->refund);
        }
        if (plan->sale) {
          plan->sale->session_id = (*plan->session)->record_id;
          record_.AddSale(*plan->sale);
        }
        record_.RecordAction(now, operator_name, Who(*station), row.name.data(), plan->detail);
      });
    } catch (const RecordError& e) {
      outcome.refusal = RecordFailed(e);
      Log(outcome.refusal->text);
      return outcome;
    }
    if (plan->session) {
      room_.SetSession(address, *plan->session);
    }
    if (plan->booting) {
      room_.MarkBooting(address, now);
    }
  }
  try {
    for (const auto& command : plan->commands) {
      Send(address, command);
    }
    if (!plan->wake.empty()) {
      std::lock_guard lock(send_mutex_);
      socket_.SendTo(options_.wake_address, options_.wake_port, plan->wake);
    }
  } catch (const platform::PlatformError& e) {
    outcome.refusal =
        Refusal{RefusalKind::kFailed, std::string("recorded, but the send failed: ") + e.what()};
    return outcome;
  }
  Log(operator_name + ": " + row.name.data() + " " + address +
      (plan->detail.empty() ? "" : " (" + plan->detail + ")"));
  return outcome;
}

}  // namespace zalvo::console
