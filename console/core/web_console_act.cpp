// The operators' actions on stations, carried out through the actions'
// table; the ends the stations confirm and what their state says against
// the record; and the starts held for a station.
#include <algorithm>

#include "console/core/session_export.h"
#include "console/core/web_console.h"
#include "platform/error.h"
#include "protocol/commands.h"

namespace zalvo::console {
namespace {

std::string Who(const Station& station) {
  return station.name + " (" + station.address + ")";
}

std::string ByWhom(const std::string& operator_name) {
  return operator_name.empty() ? "the console" : operator_name;
}

}  // namespace

std::vector<ActionOutcome> WebConsole::Act(const std::string& operator_name,
                                           const ActionRequest& request) {
  const ActionRow& row = RowOf(request.kind);
  // An action that probes goes only where the stations it asks answer now:
  // they are asked at once, and waited for once. A queued one waits for
  // them.
  std::vector<std::string> answered;
  if (row.probes != Probe::kNone && !request.queue) {
    std::vector<std::string> probed;
    {
      std::lock_guard lock(mutex_);
      const std::vector<std::string> targets =
          row.probes == Probe::kTarget ? std::vector<std::string>{request.to} : request.stations;
      for (const auto& address : targets) {
        const Station* station = room_.Find(address);
        if (station && !station->unknown) {
          probed.push_back(address);
        }
      }
    }
    answered = Probe(probed);
  }
  std::vector<ActionOutcome> outcomes;
  for (const auto& address : request.stations) {
    outcomes.push_back(request.queue ? Queue(operator_name, request, address)
                                     : ActOn(operator_name, request, address, answered));
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

ActionOutcome WebConsole::End(const std::string& operator_name, const std::string& address,
                              std::optional<bool> refund, bool wait) {
  ActionRequest request;
  request.kind = ActionKind::kEnd;
  request.stations = {address};
  request.refund = refund;
  ActionOutcome outcome = ActOn(operator_name, request, address, {}, wait);
  Changed();
  return outcome;
}

ActionOutcome WebConsole::ActOn(const std::string& operator_name, const ActionRequest& request,
                                const std::string& address,
                                const std::vector<std::string>& answered, bool wait) {
  const ActionRow& row = RowOf(request.kind);
  ActionOutcome outcome;
  outcome.address = address;
  std::optional<ActionPlan> plan;
  Millis now = 0;
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
    now = Now();
    bool heard = std::find(answered.begin(), answered.end(), address) != answered.end();
    ActionContext context{operator_name,
                          request,
                          *station,
                          now,
                          heard,
                          room_.Booting(*station, now),
                          envelope_.Keyed(),
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
          // The session ends on record here: it goes on at the station it
          // moved to, or an owner closed it.
          if (plan->move) {
            record_.MoveSession(plan->move->record);
          } else if (plan->close_reason.empty()) {
            record_.EndSession(current->record_id, now, operator_name);
          } else {
            record_.CloseSession(current->record_id, now, operator_name, plan->close_reason);
          }
          if (auto shift = record_.OpenShift()) {
            record_.SettleRefunds(now, shift->id);
          }
        }
        if (plan->ending && current && !plan->move) {
          record_.AskEnd(current->record_id, now, operator_name);
        }
        if (plan->refund) {
          // Pending until the end is settled (a member's goes back to the
          // balance then, see SettleRefunds).
          record_.AddRefund(*plan->refund);
        }
        if (plan->sale) {
          plan->sale->session_id =
              plan->session && *plan->session ? (*plan->session)->record_id : current->record_id;
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
          if (plan->session && *plan->session) {
            (*plan->session)->sold = PriceOfSales(record_.SalesOf(plan->sale->session_id));
          }
        }
        if (plan->unkeyed) {
          record_.SetStationUnkeyed(address, *plan->unkeyed);
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
      room_.SetSession(address, *plan->session, now);
      if (!plan->close_reason.empty()) {
        room_.Change(address, [](Station& s) {
          if (s.ending) {
            s.ending->closed = true;
          }
        });
      }
    }
    if (plan->ending) {
      room_.Change(address, [&](Station& s) {
        s.ending = plan->ending;
        s.mismatch.reset();
      });
    }
    if (plan->unkeyed) {
      envelope_.SetUnkeyed(address, *plan->unkeyed);
      room_.Change(address, [&](Station& s) { s.unkeyed = *plan->unkeyed; });
    }
    if (plan->booting) {
      room_.MarkBooting(address, now, !plan->wake.empty());
    }
    outcome.done = plan->detail;
    outcome.sold = plan->sale;
    outcome.refunded = plan->refund;
  }
  try {
    // A move starts the station it goes to first.
    if (plan->move) {
      Send(plan->move->to, plan->move->commands);
    }
    if (plan->ending) {
      SendEnd(address, plan->commands);
    } else if (!plan->commands.empty()) {
      Send(address, plan->commands);
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
  if (plan->ending) {
    // The end is the station's word: waited for as long as a probe.
    std::unique_lock lock(mutex_);
    auto ending = [&] {
      const Station* station = room_.Find(address);
      return station && station->ending && station->ending->asked == now;
    };
    if (wait) {
      heard_.wait_for(lock, std::chrono::milliseconds(options_.probe_wait_ms),
                      [&] { return stopping_ || !ending(); });
    }
    outcome.pending = ending();
  }
  Log(ByWhom(operator_name) + ": " + row.name.data() + " " + address +
      (plan->detail.empty() ? "" : " (" + plan->detail + ")") +
      (outcome.pending ? ": ending, not confirmed by the station yet" : ""));
  return outcome;
}

ActionOutcome WebConsole::Queue(const std::string& operator_name, const ActionRequest& request,
                                const std::string& address) {
  ActionOutcome outcome;
  outcome.address = address;
  std::string detail;
  {
    std::lock_guard lock(mutex_);
    const Station* station = room_.Find(address);
    Millis now = Now();
    if (!station || station->unknown) {
      outcome.refusal =
          station ? Conflict("an unknown station: adopt it first") : NotFound("no such station");
      return outcome;
    }
    if (!room_.Booting(*station, now)) {
      outcome.refusal = Conflict(
          "not starting: only a station the console restarted or powered on lately is waited "
          "for");
      return outcome;
    }
    ActionRequest held = request;
    held.queue = false;
    held.stations = {address};
    detail = RequestDetail(request) + ", held until the station is heard";
    try {
      record_.RecordAction(now, operator_name, Who(*station),
                           std::string(RowOf(request.kind).name) + " queued", detail);
    } catch (const RecordError& e) {
      outcome.refusal = RecordFailed(e);
      return outcome;
    }
    queued_[address] = {operator_name, held};
    room_.Change(address, [&](Station& s) {
      s.queued = QueuedAction{std::string(RowOf(request.kind).name), request.minutes, operator_name,
                              now, now + options_.queue_ms};
      s.notice.clear();
    });
  }
  outcome.pending = true;
  Log(operator_name + ": " + RowOf(request.kind).name.data() + " " + address + " queued (" +
      detail + ")");
  return outcome;
}

void WebConsole::RunQueued(const std::string& address) {
  std::string operator_name;
  ActionRequest request;
  bool heard = false;
  {
    std::lock_guard lock(mutex_);
    auto held = queued_.find(address);
    const Station* station = room_.Find(address);
    if (held == queued_.end() || !station || !station->queued) {
      return;
    }
    operator_name = held->second.first;
    request = held->second.second;
    heard = station->last_heard >= station->queued->queued;
    queued_.erase(held);
    if (!heard) {
      // Not heard in time: nothing was sent or sold.
      Millis now = Now();
      std::string text = "the queued " + station->queued->action + " of " +
                         std::to_string(station->queued->minutes) +
                         " min was dropped: the station was not heard within " +
                         std::to_string(options_.queue_ms / 60'000) + " min";
      try {
        record_.RecordAction(now, operator_name, Who(*station),
                             station->queued->action + " dropped", text);
      } catch (const RecordError&) {
        // The notice and the log line say it.
      }
      Log(Who(*station) + ": " + text);
      room_.Change(address, [&](Station& s) {
        s.queued.reset();
        s.notice = text;
      });
    }
  }
  if (heard) {
    ActionOutcome outcome = ActOn(operator_name, request, address, {address});
    std::string notice =
        outcome.ok() ? "" : "the queued start was not carried out: " + outcome.refusal->text;
    std::lock_guard lock(mutex_);
    room_.Change(address, [&](Station& s) {
      s.queued.reset();
      s.notice = notice;
    });
    if (!notice.empty()) {
      Log(address + ": " + notice);
    }
  }
  Changed();
}

void WebConsole::Settle(const std::string& address, std::string_view text, const Seal& seal,
                        Millis now) {
  const Station* station = room_.Find(address);
  if (!station || station->unknown) {
    return;
  }
  auto state = protocol::ParseSessionState(text);
  bool ping = text == protocol::kPing;
  if (EndHolds(*station, state, ping, seal)) {
    ConfirmEnd(address, now,
               state           ? "its state"
               : seal.verified ? "the reply to its last STAND"
                               : "its PING (a station without ACTION STATE, unverified)");
    return;
  }
  if (!state) {
    return;
  }
  std::optional<Mismatch> mismatch = MismatchOf(*station, options_.probe_wait_ms);
  bool same = mismatch.has_value() == station->mismatch.has_value() &&
              (!mismatch || mismatch->kind == station->mismatch->kind);
  if (same) {
    return;
  }
  // Shown and logged once; what to do is the operator's: nothing is sold,
  // refunded or ended on it.
  std::string who = Who(*station);
  if (mismatch) {
    std::string text_of = MismatchText(*mismatch);
    Log("mismatch: " + who + ": " + text_of);
    try {
      record_.RecordAction(now, "", who, "mismatch", text_of);
    } catch (const RecordError& e) {
      Log(std::string("the mismatch is not in the record: ") + e.what());
    }
  } else {
    Log("mismatch gone: " + who + " and the record agree again");
  }
  room_.Change(address, [&](Station& s) { s.mismatch = mismatch; });
}

void WebConsole::ConfirmEnd(const std::string& address, Millis now, const std::string& how) {
  const Station* station = room_.Find(address);
  const PendingEnd ending = *station->ending;
  const std::string who = Who(*station);
  const bool open = station->session && station->session->record_id == ending.session_id;
  std::string detail = !ending.moved_to.empty()
                           ? "the session moved to " + ending.moved_to + ": its end here"
                       : ending.session_id != 0 ? "session " + std::to_string(ending.session_id)
                                                : std::string("a session the record doesn't have");
  detail += ", confirmed by " + how;
  try {
    record_.Atomically([&] {
      if (open) {
        record_.EndSession(ending.session_id, now, ending.by);
      } else if (ending.session_id != 0) {
        record_.ConfirmEnd(ending.session_id, now);
      }
      // The refund chosen when the end was asked is paid now (or in the
      // next shift, when none is open).
      if (auto shift = record_.OpenShift()) {
        record_.SettleRefunds(now, shift->id);
      }
      record_.RecordAction(now, "", who, ending.moved_to.empty() ? "ended" : "moved", detail);
    });
  } catch (const RecordError& e) {
    // Tried again at the station's next word.
    Log("the end of " + who + " is not in the record: " + e.what());
    return;
  }
  if (open) {
    room_.SetSession(address, std::nullopt, now);
  }
  room_.Change(address, [](Station& s) { s.ending.reset(); });
  Log("ended: " + who + " (" + detail + ")");
  heard_.notify_all();
}

}  // namespace zalvo::console
