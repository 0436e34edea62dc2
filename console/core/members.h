// The club's members: customers with a prepaid balance in money. A member
// has a name, an optional card number or phone and a note; the balance is the
// sum of its moves, each a row of its own that is never changed: a top-up at
// the counter (cash into the drawer), a sale paid from the balance, the refund
// of an early end and a void given back to it, and a pay-out in cash. The
// balance never goes below zero. An owner may give a member a discount, and
// may anonymise a member on request: the name, card, phone and note are
// erased, the money rows stay.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/billing.h"
#include "console/core/refusal.h"

namespace zalvo::console {

struct Member {
  int64_t id = 0;
  std::string name = {};  // UTF-8
  std::string card = {};  // empty: none
  std::string phone = {};
  std::string note = {};
  int32_t discount = 0;  // percent off every sale, 0..100
  std::optional<Millis> removed = std::nullopt;
  std::optional<Millis> anonymised = std::nullopt;
  Money balance = 0;  // filled when read: the sum of its moves
  // Filled when read: the refunds of its sessions' ends that go back to the
  // balance once they are settled.
  Money pending = 0;
};

enum class MoveKind { kTopUp, kSale, kRefund, kVoid, kPayout };
const char* MoveKindName(MoveKind kind);  // "top_up", "sale", "refund", "void", "payout"
std::optional<MoveKind> MoveKindFromName(std::string_view name);

// A change of a member's balance: positive into it, negative out of it.
struct MemberMove {
  int64_t id = 0;
  int64_t member_id = 0;
  MoveKind kind = MoveKind::kTopUp;
  Millis at = 0;
  std::string by = {};
  Money amount = 0;
  std::optional<int64_t> shift_id = std::nullopt;
  std::optional<int64_t> sale_id = std::nullopt;    // a sale's, or the sale a void took back
  std::optional<int64_t> refund_id = std::nullopt;  // a refund's
  // Filled when read: the balance after the move, and for a sale, a refund
  // or a void the station, the minutes and what was sold (a tariff's or a
  // package's name).
  Money balance = 0;
  std::string station = {};
  int32_t minutes = 0;
  std::string sold = {};
};

// What a member's fields may hold: a name of 1 to 64 bytes, a card of up to
// 32 letters, digits and '-', a phone of up to 32 digits, blanks, '+', '-',
// '(' and ')', a note of up to 200 characters, all on one line, and a
// discount from 0 to 100 percent. The reason, or nullopt.
Check MemberProblem(const Member& member);

// Whether the member is found by the text an operator typed: a part of the
// name (letters of any case, Cyrillic too), or of the card or the phone.
bool MemberMatches(const Member& member, std::string_view find);

// "Ivan Petrov (card 1234)", or "member 12" for one anonymised.
std::string MemberLabel(const Member& member);

}  // namespace zalvo::console
