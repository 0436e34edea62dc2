#include "console/core/members.h"

#include <array>

namespace zalvo::console {
namespace {

constexpr std::array<const char*, 5> kMoveKinds = {"top_up", "sale", "refund", "void", "payout"};

bool OneLine(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

size_t Characters(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) {
    count += (c & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

// Latin and Cyrillic capitals as small letters (UTF-8), for a search that
// ignores case; other characters stay.
std::string Folded(std::string_view text) {
  std::string folded;
  folded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') {
      folded += static_cast<char>(c + 32);
    } else if ((c == 0xD0) && i + 1 < text.size()) {
      auto next = static_cast<unsigned char>(text[i + 1]);
      ++i;
      if (next >= 0x90 && next <= 0x9F) {  // А..П -> а..п
        folded += static_cast<char>(0xD0);
        folded += static_cast<char>(next + 0x20);
      } else if (next >= 0xA0 && next <= 0xAF) {  // Р..Я -> р..я
        folded += static_cast<char>(0xD1);
        folded += static_cast<char>(next - 0x20);
      } else if (next >= 0x80 && next <= 0x8F) {  // Ѐ..Џ -> ѐ..џ
        folded += static_cast<char>(0xD1);
        folded += static_cast<char>(next + 0x10);
      } else {
        folded += static_cast<char>(c);
        folded += static_cast<char>(next);
      }
    } else {
      folded += static_cast<char>(c);
    }
  }
  return folded;
}

bool Only(const std::string& text, std::string_view allowed) {
  return text.find_first_not_of(allowed) == std::string::npos;
}

}  // namespace

const char* MoveKindName(MoveKind kind) {
  return kMoveKinds[static_cast<size_t>(kind)];
}

std::optional<MoveKind> MoveKindFromName(std::string_view name) {
  for (size_t i = 0; i < kMoveKinds.size(); ++i) {
    if (name == kMoveKinds[i]) {
      return static_cast<MoveKind>(i);
    }
  }
  return std::nullopt;
}

Check MemberProblem(const Member& member) {
  if (member.name.empty() || member.name.size() > 64 || !OneLine(member.name) ||
      member.name.find_first_not_of(' ') == std::string::npos) {
    return BadRequest("a member's name has 1 to 64 bytes on one line");
  }
  if (member.card.size() > 32 ||
      !Only(member.card, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-")) {
    return BadRequest("a card number has up to 32 letters, digits and '-'");
  }
  if (member.phone.size() > 32 || !Only(member.phone, "0123456789 +-()")) {
    return BadRequest("a phone number has up to 32 digits, blanks, '+', '-', '(' and ')'");
  }
  if (Characters(member.note) > 200 || !OneLine(member.note)) {
    return BadRequest("a note is one line of up to 200 characters");
  }
  if (member.discount < 0 || member.discount > 100) {
    return BadRequest("a discount is a whole percent from 0 to 100");
  }
  return std::nullopt;
}

bool MemberMatches(const Member& member, std::string_view find) {
  std::string wanted = Folded(find);
  if (wanted.empty()) {
    return true;
  }
  auto digits = [](std::string_view text) {
    std::string only;
    for (char c : text) {
      if (c >= '0' && c <= '9') {
        only += c;
      }
    }
    return only;
  };
  std::string wanted_digits = digits(find);
  return Folded(member.name).find(wanted) != std::string::npos ||
         Folded(member.card).find(wanted) != std::string::npos ||
         (!wanted_digits.empty() && wanted_digits.size() == wanted.size() &&
          digits(member.phone).find(wanted_digits) != std::string::npos);
}

std::string MemberLabel(const Member& member) {
  if (member.anonymised || member.name.empty()) {
    return "member " + std::to_string(member.id);
  }
  return member.name + (member.card.empty() ? "" : " (card " + member.card + ")");
}

}  // namespace zalvo::console
