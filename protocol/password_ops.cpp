#include "protocol/password_ops.h"

namespace zalvo::protocol::passwords {
namespace {

enum class Kind : uint8_t { kLogIn = 1, kChange = 2, kReply = 0x80 };

std::string Message(Kind kind, const helper::Fields& fields) {
  std::string out = "ZP";
  out.push_back(static_cast<char>(kVersion));
  out.push_back(static_cast<char>(kind));
  out += fields.bytes();
  return out;
}

// The kind of a message, and its fields in `in`.
Kind Open(std::string_view message, std::string_view& fields) {
  if (message.size() > kMaxPasswordMessage) {
    throw FrameError("a password message of " + std::to_string(message.size()) + " bytes");
  }
  if (message.size() < 4 || message[0] != 'Z' || message[1] != 'P') {
    throw FrameError("not a password message");
  }
  if (static_cast<uint8_t>(message[2]) != kVersion) {
    throw FrameError("a password message of version " +
                     std::to_string(static_cast<uint8_t>(message[2])));
  }
  fields = message.substr(4);
  return static_cast<Kind>(message[3]);
}

}  // namespace

std::string EncodeRequest(const Request& request) {
  helper::Fields fields;
  if (const auto* log_in = std::get_if<LogIn>(&request)) {
    fields.Text(log_in->user).Text(log_in->password);
    return Message(Kind::kLogIn, fields);
  }
  const auto& change = std::get<Change>(request);
  fields.Text(change.admin_password)
      .U8(static_cast<uint8_t>(change.which))
      .Text(change.new_password);
  return Message(Kind::kChange, fields);
}

Request DecodeRequest(std::string_view message) {
  std::string_view bytes;
  const Kind kind = Open(message, bytes);
  helper::FieldReader in(bytes);
  Request request;
  if (kind == Kind::kLogIn) {
    LogIn log_in;
    log_in.user = in.Text();
    log_in.password = in.Text();
    request = std::move(log_in);
  } else if (kind == Kind::kChange) {
    Change change;
    change.admin_password = in.Text();
    const uint8_t which = in.U8();
    if (which != static_cast<uint8_t>(Which::kAdmin) &&
        which != static_cast<uint8_t>(Which::kSmall)) {
      throw FrameError("a password change of kind " + std::to_string(which));
    }
    change.which = static_cast<Which>(which);
    change.new_password = in.Text();
    request = std::move(change);
  } else {
    throw FrameError("a password request of kind " + std::to_string(static_cast<int>(kind)));
  }
  in.Done();
  return request;
}

std::string EncodeReply(const Reply& reply) {
  helper::Fields fields;
  fields.U8(static_cast<uint8_t>(reply.answer)).U32(reply.retry_after_s);
  return Message(Kind::kReply, fields);
}

Reply DecodeReply(std::string_view message) {
  std::string_view bytes;
  if (Open(message, bytes) != Kind::kReply) {
    throw FrameError("not a password reply");
  }
  helper::FieldReader in(bytes);
  Reply reply;
  const uint8_t answer = in.U8();
  if (answer > static_cast<uint8_t>(Answer::kFailed)) {
    throw FrameError("a password answer " + std::to_string(answer));
  }
  reply.answer = static_cast<Answer>(answer);
  reply.retry_after_s = in.U32();
  in.Done();
  return reply;
}

}  // namespace zalvo::protocol::passwords
