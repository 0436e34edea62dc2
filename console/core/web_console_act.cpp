// The operators' actions on stations, carried out through the actions'
// table, and the stations that join or leave the room on the page.
#include <algorithm>

#include "console/core/session_export.h"
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
  // An action that probes goes only where the stations it asks answer now:
  // they are asked at once, and waited for once.
  std::vector<std::string> answered;
  if (row.probes != Probe::kNone) {
    std::vector<std::string> probed;
    {
      std::lock_guard lock(mutex_);
      Millis now = Now();
      const std::vector<std::string> targets =
          row.probes == Probe::kTarget ? std::vector<std::string>{request.to} : request.stations;
      for (const auto& address : targets) {
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
    outcomes.push_back(ActOn(operator_name, request, address, answered));
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
                                const std::string& address,
                                const std::vector<std::string>& answered) {
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
    bool heard = std::find(answered.begin(), answered.end(), address) != answered.end();
    ActionContext context{operator_name,
                          request,
                          *station,
                          now,
                          heard,
                          room_.Booting(*station, now),
                          record_,
                          till_,
                          macs_,
                          options_.wake_address,
                          options_.wake_port,
                          room_,
                          answered};
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
          // The session ended on the station (see EndOnStation): it ends in
          // the record too, or goes on at the station it moved to.
          if (plan->move) {
            record_.MoveSession(plan->move->record);
          } else {
            record_.EndSession(current->record_id, now, operator_name);
          }
        }
        if (plan->refund) {
          plan->refund->id = record_.AddRefund(*plan->refund);
          if (plan->refund->member_id) {
            record_.AddMemberMove(MemberMove{.member_id = *plan->refund->member_id,
                                             .kind = MoveKind::kRefund,
                                             .at = now,
                                             .by = operator_name,
                                             .amount = plan->refund->amount,
                                             .shift_id = plan->refund->shift_id,
                                             .refund_id = plan->refund->id});
          }
        }
        if (plan->sale) {
          plan->sale->session_id = (*plan->session)->record_id;
          plan->sale->id = record_.AddSale(*plan->sale);
          // A member's sale is paid from the balance, which the record
          // never lets go below zero.
          if (plan->sale->member_id) {
            record_.AddMemberMove(MemberMove{.member_id = *plan->sale->member_id,
                                             .kind = MoveKind::kSale,
                                             .at = now,
                                             .by = operator_name,
                                             .amount = -plan->sale->price,
                                             .shift_id = plan->sale->shift_id,
                                             .sale_id = plan->sale->id});
          }
          (*plan->session)->sold = PriceOfSales(record_.SalesOf(plan->sale->session_id));
        }
        record_.RecordAction(now, operator_name, Who(*station), row.name.data(), plan->detail);
      });
    } catch (const RecordError& e) {
      outcome.refusal = RecordFailed(e);
      Log(outcome.refusal->text);
      return outcome;
    }
    if (plan->move) {
      room_.SetSession(plan->move->to, plan->move->session);
      room_.MarkBooting(plan->move->to, now);
    }
    if (plan->session) {
      room_.SetSession(address, *plan->session);
    }
    if (plan->booting) {
      room_.MarkBooting(address, now);
    }
    outcome.done = plan->detail;
    outcome.sold = plan->sale;
    outcome.refunded = plan->refund;
  }
  try {
    // A move starts the station it goes to first.
    if (plan->move) {
      for (const auto& command : plan->move->commands) {
        Send(plan->move->to, command);
      }
    }
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

ActionOutcome WebConsole::Adopt(const std::string& operator_name, const std::string& address) {
  ActionOutcome outcome;
  outcome.address = address;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    if (!station || !station->unknown) {
      outcome.refusal = station ? Conflict("not an unknown station") : NotFound("no such station");
      return outcome;
    }
    Millis now = Now();
    try {
      record_.Atomically([&] {
        record_.AddStation(address, station->name, now);
        record_.RecordAction(now, operator_name, Who(*station), "adopt", "");
      });
    } catch (const RecordError& e) {
      outcome.refusal = RecordFailed(e);
      return outcome;
    }
    room_.Adopt(address);
  }
  Log(operator_name + ": adopted the station " + address);
  Changed();
  return outcome;
}

ActionOutcome WebConsole::Remove(const std::string& operator_name, const std::string& address) {
  ActionOutcome outcome;
  outcome.address = address;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    if (!station) {
      outcome.refusal = NotFound("no such station");
      return outcome;
    }
    if (station->configured) {
      outcome.refusal = Conflict("the station is in the room's file: remove it there");
      return outcome;
    }
    if (station->session) {
      outcome.refusal = Conflict("the station is rented: end the session first");
      return outcome;
    }
    try {
      record_.Atomically([&] {
        record_.RemoveStation(address);
        record_.RecordAction(Now(), operator_name, Who(*station), "remove",
                             station->unknown ? "unknown" : "");
      });
    } catch (const RecordError& e) {
      outcome.refusal = RecordFailed(e);
      return outcome;
    }
    room_.Remove(address);
  }
  Log(operator_name + ": removed the station " + address);
  Changed();
  return outcome;
}

}  // namespace zalvo::console
