// zalvoctl, the operator's console: sends one command to a station agent and
// prints what comes back, or watches the reports the stations send.
//
//   zalvoctl [options] STATION COMMAND...
//   zalvoctl watch [options]
//   zalvoctl keygen FILE
//   zalvoctl derive [--key-file FILE] ADDRESS FILE
//
// A station accepts commands only from the address of its ServerIP setting
// and answers to that address on UDP port 6868, so the console listens on
// 6868 of the machine that ServerIP names. Texts on the wire are
// Windows-1251; they are printed as UTF-8 (or as wide characters on a Windows
// console) with control characters escaped, unless --raw asks for the bytes.
// With a command key (--key-file or ZALVO_KEY_FILE) commands go out signed
// with the station's own key, derived from the club key (or the club key
// itself for the stations that --club-keyed names), and only replies signed
// for them count.

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/crypto.h"
#include "platform/datagram_socket.h"
#include "platform/error.h"
#include "platform/private_files.h"
#include "protocol/address.h"
#include "protocol/envelope.h"
#include "protocol/key_file.h"
#include "text/text.h"

namespace {

using zalvo::platform::ConsoleStream;
using zalvo::platform::WriteLine;

constexpr uint16_t kAgentPort = 6767;
constexpr uint16_t kConsolePort = 6868;
constexpr int kDefaultWaitMs = 2000;

enum ExitCode : int {
  kOk = 0,
  kFailed = 1,    // the port is in use, or the send failed
  kUsage = 2,     // bad arguments or a bad address
  kNoAnswer = 3,  // no "PING" (or fewer reports than asked for) within the wait
};

using zalvo::protocol::Verdict;

constexpr const char* kUsageText =
    "usage: zalvoctl [options] STATION COMMAND...\n"
    "       zalvoctl watch [options]\n"
    "       zalvoctl keygen FILE\n"
    "       zalvoctl derive [--key-file FILE] ADDRESS FILE\n"
    "\n"
    "Sends COMMAND (the words joined by single blanks; quote it to keep other\n"
    "blanks) to the station agent at STATION, UDP port 6767, from this console's\n"
    "port 6868, and prints every reply of the station until its closing \"PING\".\n"
    "STATION is a dotted IPv4 address (four numbers 0-255 without leading\n"
    "zeros) or a host name. The station accepts the command only when this\n"
    "console's address is its ServerIP setting.\n"
    "\n"
    "  zalvoctl 192.168.0.21 ACTION SIT 30      start a 30-minute session\n"
    "  zalvoctl 192.168.0.21 ACTION STAND       end it (with 20 s or less left)\n"
    "  zalvoctl 192.168.0.21 ACTION INFO        foreground program and free disk\n"
    "  zalvoctl 192.168.0.21 ACTION STATE       \"STATE 1 1234\": a session runs,\n"
    "                                           1234 seconds left (0: none runs)\n"
    "  zalvoctl 192.168.0.21 \"ACTION KILL Notepad\"\n"
    "\n"
    "options:\n"
    "  --wait MS     wait at most MS milliseconds for the replies (default 2000)\n"
    "  --bind ADDR   the local address to send from and listen on\n"
    "                (default 0.0.0.0: the system chooses the sending address)\n"
    "  --send-only   send from any free port and wait for nothing; the replies\n"
    "                then reach whoever listens on port 6868 (zalvoctl watch)\n"
    "  --key-file FILE  the club's command key (default: the file that\n"
    "                ZALVO_KEY_FILE names): the command goes out signed with\n"
    "                STATION's own key, derived from it, and only replies\n"
    "                signed with that key and naming this command count;\n"
    "                others are reported and skipped. A station's key file\n"
    "                (zalvoctl derive) serves that station alone\n"
    "  --club-keyed LIST  the stations that still keep the club key itself\n"
    "                (installed before stations had keys of their own):\n"
    "                addresses separated by commas, or 'all'\n"
    "  --strict-keys refuse a key file that others than its owner may read\n"
    "                (otherwise a warning)\n"
    "  --raw         print the replies as their Windows-1251 bytes (control\n"
    "                characters are otherwise shown as \\xNN)\n"
    "  -h, --help    show this help\n"
    "\n"
    "Without a key any \"PING\" from the station ends the wait, and the station\n"
    "sends one by itself every 99 s: a keep-alive that arrives while a command\n"
    "fails on the station reads as its answer. Only a key tells the two apart.\n"
    "\n"
    "zalvoctl watch listens on port 6868 and prints every datagram that arrives\n"
    "(keep-alives, status reports, replies) with its time and sender, until\n"
    "Ctrl+C. Its options:\n"
    "  --count N     end after N datagrams\n"
    "  --wait MS     end after MS milliseconds\n"
    "  --bind ADDR, --raw   as above\n"
    "  --key-file FILE, --club-keyed LIST, --strict-keys  check each datagram\n"
    "                with the sender's key and mark it [signed ok], [unsigned] or\n"
    "                [bad MAC] (and the like)\n"
    "\n"
    "zalvoctl keygen FILE writes a new club key (32 random bytes) into FILE, a\n"
    "new file that only its owner may read. zalvoctl derive ADDRESS FILE writes\n"
    "the key of the station at ADDRESS, derived from the club key, the same way:\n"
    "the station keeps only that (see the README).\n"
    "\n"
    "exit codes: 0 the station answered \"PING\" (watch: ended as asked; keygen,\n"
    "derive: the file is written);\n"
    "1 port 6868 is in use or the send failed (keygen, derive: the file exists\n"
    "or can't be written); 2 bad arguments, address or key file;\n"
    "3 no \"PING\" within the wait (the command failed on the station, or the\n"
    "station's ServerIP is not this console), or watch got fewer than N.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  bool watch = false;
  bool keygen = false;
  bool derive = false;
  std::string out_file;  // keygen, derive
  std::string key_file;
  std::string club_keyed;
  bool strict_keys = false;
  std::string bind = "0.0.0.0";
  int wait_ms = -1;  // not given
  int count = 0;     // watch: 0 for no limit
  bool send_only = false;
  bool raw = false;
  bool help = false;
  std::string station;
  std::string command;
};

void Error(const std::string& cp1251) {
  WriteLine(ConsoleStream::kErr, "zalvoctl: " + cp1251);
}

int NumberOption(const std::vector<std::string>& args, size_t& i, int lowest) {
  const std::string& name = args[i];
  if (i + 1 >= args.size()) {
    throw UsageError(name + " needs a number");
  }
  auto value = zalvo::text::ParseInt32(args[++i]);
  if (!value || *value < lowest) {
    throw UsageError(name + " needs a whole number of at least " + std::to_string(lowest) +
                     ", not '" + args[i] + "'");
  }
  return *value;
}

Options Parse(const std::vector<std::string>& args) {
  Options o;
  size_t i = 0;
  if (!args.empty() && args[0] == "watch") {
    o.watch = true;
    i = 1;
  } else if (!args.empty() && args[0] == "keygen") {
    if (args.size() != 2 || args[1].empty() || args[1][0] == '-') {
      throw UsageError(
          "keygen needs one FILE: the key goes into a new file that only its owner may read");
    }
    o.keygen = true;
    o.out_file = args[1];
    return o;
  } else if (!args.empty() && args[0] == "derive") {
    o.derive = true;
    i = 1;
  }
  for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "-h" || a == "--help") {
      o.help = true;
      return o;
    }
    if (a == "--wait") {
      o.wait_ms = NumberOption(args, i, 0);
    } else if (a == "--strict-keys") {
      o.strict_keys = true;
    } else if (a == "--club-keyed" && !o.derive) {
      if (i + 1 >= args.size()) {
        throw UsageError("--club-keyed needs addresses separated by commas, or 'all'");
      }
      o.club_keyed = args[++i];
    } else if (o.derive && a != "--key-file") {
      throw UsageError("unknown option '" + a + "' for derive");
    } else if (a == "--count" && o.watch) {
      o.count = NumberOption(args, i, 1);
    } else if (a == "--bind") {
      if (i + 1 >= args.size()) {
        throw UsageError("--bind needs an address");
      }
      o.bind = args[++i];
    } else if (a == "--send-only" && !o.watch) {
      o.send_only = true;
    } else if (a == "--raw") {
      o.raw = true;
    } else if (a == "--key-file") {
      if (i + 1 >= args.size()) {
        throw UsageError("--key-file needs a file");
      }
      o.key_file = args[++i];
    } else {
      throw UsageError("unknown option '" + a + "'" + (o.watch ? " for watch" : ""));
    }
  }
  if (o.derive) {
    if (args.size() - i != 2) {
      throw UsageError("derive needs the station's ADDRESS and the FILE to write");
    }
    o.station = args[i];
    o.out_file = args[i + 1];
    return o;
  }
  if (o.watch) {
    if (i < args.size()) {
      throw UsageError("watch takes no station or command ('" + args[i] + "')");
    }
    return o;
  }
  if (i >= args.size()) {
    throw UsageError("no station given");
  }
  o.station = args[i++];
  for (; i < args.size(); ++i) {
    o.command += (o.command.empty() ? "" : " ") + args[i];
  }
  if (o.command.empty()) {
    throw UsageError("no command given for " + o.station);
  }
  return o;
}

// A text of digits and dots (or one that starts like a hexadecimal number)
// is meant as an address and must be one exactly as the station compares
// addresses: four decimal numbers 0-255 without leading zeros. The system's
// own lookup would read "192.168.001.010" as octal, and "10.1" or a number
// above 255 as other addresses or host names.
void CheckAddress(const std::string& text, const char* what) {
  if (text.empty()) {
    throw UsageError(std::string("the ") + what + " address is empty");
  }
  bool numeric = text.find_first_not_of("0123456789.") == std::string::npos ||
                 text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
  if (!numeric || zalvo::protocol::ParseDottedAddress(text)) {
    return;
  }
  std::string message = "'" + text + "' is not a valid IPv4 address";
  bool leading_zero = false;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '0' && (i == 0 || text[i - 1] == '.') && text[i + 1] != '.') {
      leading_zero = true;
    }
  }
  if (leading_zero) {
    message +=
        ": a number has a leading zero (write each of the four numbers 0-255 without "
        "one, as the station compares addresses; others read it as octal)";
  } else {
    message += ": write four numbers 0-255 joined by dots";
  }
  throw UsageError(message);
}

// The station's bytes for a terminal: control characters (and the code
// page's one undefined byte, which becomes a control character) as \xNN,
// so that no escape sequence of a window caption reaches the terminal. Raw,
// only the control characters below 0x20 and DEL: the bytes 0x80-0xFF are
// Windows-1251 letters.
std::string Printable(std::string_view bytes, bool raw) {
  std::string shown = zalvo::text::EscapeControls(bytes);
  if (raw) {
    return shown;
  }
  for (size_t at = shown.find('\x98'); at != std::string::npos; at = shown.find('\x98', at)) {
    shown.replace(at, 1, "\\x98");
  }
  return shown;
}

void Print(ConsoleStream stream, std::string_view bytes, bool raw) {
  WriteLine(stream, Printable(bytes, raw), raw);
}

// The command keys of --key-file (or of the file ZALVO_KEY_FILE names) and
// --club-keyed: each station's key.
struct Keys {
  zalvo::protocol::KeyText file;
  zalvo::protocol::ClubKeyedStations club_keyed;

  // The key of the station at the address: a station's key file serves its
  // own station only (others then read as a bad MAC).
  zalvo::protocol::CommandKey For(std::string_view address) const {
    if (file.kind == zalvo::protocol::KeyKind::kStation) {
      return file.key;
    }
    return zalvo::protocol::KeyForStation(file.key, club_keyed, address);
  }
};

// The key file's text; none when no file is named. A file that can't be
// used (or that others may read, with --strict-keys) is a usage error.
std::optional<zalvo::protocol::KeyText> ReadKeyText(const Options& o) {
  std::string path = o.key_file;
  if (path.empty()) {
    path = zalvo::platform::EnvironmentValue("ZALVO_KEY_FILE");
    if (path.empty()) {
      return std::nullopt;
    }
  }
  try {
    zalvo::protocol::KeyFileRead read = zalvo::protocol::ReadKeyFile(path, o.strict_keys);
    if (!read.warning.empty()) {
      Error("warning: " + read.warning + " (--strict-keys refuses such a file)");
    }
    return read.key;
  } catch (const zalvo::protocol::KeyFileError& e) {
    throw UsageError(e.what());
  }
}

std::optional<Keys> ReadKeys(const Options& o) {
  std::optional<zalvo::protocol::KeyText> text = ReadKeyText(o);
  if (!text) {
    if (!o.club_keyed.empty()) {
      throw UsageError("--club-keyed needs the club key (--key-file or ZALVO_KEY_FILE)");
    }
    return std::nullopt;
  }
  Keys keys{*text, {}};
  try {
    keys.club_keyed = zalvo::protocol::ClubKeyedStations::Parse(o.club_keyed);
  } catch (const zalvo::protocol::KeyFileError& e) {
    throw UsageError(e.what());
  }
  if (keys.file.kind == zalvo::protocol::KeyKind::kStation && !o.club_keyed.empty()) {
    throw UsageError("--club-keyed needs the club key, not a station's");
  }
  return keys;
}

int WriteKeyFile(const std::string& path, const zalvo::protocol::KeyText& key) {
  try {
    zalvo::platform::CreatePrivateFile(path, zalvo::protocol::KeyFileText(key));
  } catch (const zalvo::platform::PlatformError& e) {
    Error(std::string("the key was not written: ") + e.what());
    return kFailed;
  }
  return kOk;
}

int Keygen(const Options& o) {
  zalvo::protocol::KeyText club{{}, {}, zalvo::protocol::KeyKind::kClub, false};
  do {
    zalvo::platform::RandomBytes(club.key);
  } while (zalvo::protocol::IsWeakKey(club.key));
  int code = WriteKeyFile(o.out_file, club);
  if (code == kOk) {
    WriteLine(ConsoleStream::kOut,
              "the club key is in " + o.out_file +
                  ", which only its owner may read; a station gets its own key from it "
                  "(zalvoctl derive ADDRESS FILE)");
  }
  return code;
}

int Derive(const Options& o) {
  std::optional<zalvo::protocol::KeyText> club = ReadKeyText(o);
  if (!club) {
    throw UsageError("derive needs the club key (--key-file or ZALVO_KEY_FILE)");
  }
  if (club->kind != zalvo::protocol::KeyKind::kClub) {
    throw UsageError("derive needs the club key, not a station's key");
  }
  if (!zalvo::protocol::ParseDottedAddress(o.station)) {
    throw UsageError("'" + o.station +
                     "' is not the station's address as the server sends to it: four numbers "
                     "0-255 without leading zeros");
  }
  zalvo::protocol::KeyText station{zalvo::protocol::DeriveStationKey(club->key, o.station),
                                   o.station, zalvo::protocol::KeyKind::kStation, false};
  int code = WriteKeyFile(o.out_file, station);
  if (code == kOk) {
    WriteLine(ConsoleStream::kOut, "the key of the station " + o.station + " is in " + o.out_file +
                                       ", which only its owner may read");
  }
  return code;
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Binds the console's socket; a port in use gets a clear message.
bool Listen(zalvo::platform::DatagramSocket& socket, const std::string& address, uint16_t port) {
  try {
    socket.Bind(address, port);
    return true;
  } catch (const zalvo::platform::PlatformError& e) {
    std::string message =
        "cannot listen on " + address + " UDP port " + std::to_string(port) + ": " + e.what();
    if (port != 0) {
      message +=
          "\n(is 'zalvoctl watch' or another console running? --send-only sends without "
          "listening)";
    }
    Error(message);
    return false;
  }
}

int Send(const Options& o, const std::optional<Keys>& keys) {
  auto socket = zalvo::platform::MakeUdpSocket();
  if (!Listen(*socket, o.bind, o.send_only ? 0 : kConsolePort)) {
    return kFailed;
  }
  auto resolved = zalvo::platform::ResolveHost(o.station);
  if (!resolved) {
    Error("cannot find the station '" + o.station + "'");
    return kUsage;
  }
  const std::string& station = *resolved;
  if (station == "0.0.0.0") {
    Error("0.0.0.0 is not a station address");
    return kUsage;
  }
  // With a key, the command's replies carry the nonce it goes out with.
  std::optional<zalvo::protocol::EnvelopeKey> key;
  std::optional<zalvo::protocol::SignedCommand> signed_command;
  if (keys) {
    if (keys->file.kind == zalvo::protocol::KeyKind::kStation &&
        station != keys->file.station_address) {
      Error("the key file is the key of the station " + keys->file.station_address + ", not of " +
            station);
      return kUsage;
    }
    key.emplace(keys->For(station));
    signed_command = zalvo::protocol::Sign(o.command, *key, station);
  }
  try {
    socket->SendTo(station, kAgentPort, signed_command ? signed_command->datagram : o.command);
  } catch (const zalvo::platform::PlatformError& e) {
    Error("cannot send to " + station + ": " + e.what());
    return kFailed;
  }
  if (o.send_only) {
    return kOk;
  }
  int wait_ms = o.wait_ms < 0 ? kDefaultWaitMs : o.wait_ms;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (true) {
    auto datagram = socket->Receive(MillisecondsLeft(deadline));
    if (!datagram) {
      break;
    }
    // Reports of other stations may arrive meanwhile; they are not replies.
    if (datagram->from_ip != station) {
      continue;
    }
    if (datagram->byte_count < 0) {
      Error("a reply from " + station + " could not be received whole");
      continue;
    }
    std::string_view text = datagram->bytes;
    if (signed_command) {
      zalvo::protocol::Opened opened =
          zalvo::protocol::OpenReply(datagram->bytes, *key, station, signed_command->nonce);
      if (opened.verdict == Verdict::kOtherNonce) {
        continue;  // a report or keep-alive of the station, not an answer
      }
      if (opened.verdict != Verdict::kOk) {
        Error("skipped a datagram from " + station + ": " +
              std::string(zalvo::protocol::VerdictText(opened.verdict)));
        continue;
      }
      text = opened.text;
    }
    Print(ConsoleStream::kOut, text, o.raw);
    // Every command the station accepts is answered last with "PING".
    if (text == "PING") {
      return kOk;
    }
  }
  Error("no \"PING\" from " + station + " within " + std::to_string(wait_ms) +
        " ms: the command failed on the station, or its ServerIP is not this console's "
        "address" +
        (key ? ", or it has another key or address, or its clock is more than 60 s off" : ""));
  return kNoAnswer;
}

int Watch(const Options& o, const std::optional<Keys>& keys) {
  auto socket = zalvo::platform::MakeUdpSocket();
  if (!Listen(*socket, o.bind, kConsolePort)) {
    return kFailed;
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (o.wait_ms >= 0) {
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.wait_ms);
  }
  int received = 0;
  while (o.count == 0 || received < o.count) {
    auto datagram = socket->Receive(deadline ? MillisecondsLeft(*deadline) : -1);
    if (!datagram) {
      break;
    }
    std::string sender = datagram->from_ip + ":" + std::to_string(datagram->from_port);
    if (datagram->byte_count < 0) {
      Error(zalvo::platform::LocalTimestamp() + " " + sender +
            " sent a datagram that could not be received whole");
      continue;
    }
    ++received;
    std::string line = zalvo::platform::LocalTimestamp() + " " + sender + " ";
    std::string_view text = datagram->bytes;
    if (keys) {
      // The sender is the station whose signature it must carry.
      zalvo::protocol::Opened opened = zalvo::protocol::OpenReply(
          datagram->bytes, keys->For(datagram->from_ip), datagram->from_ip, {});
      if (opened.verdict == Verdict::kOk) {
        text = opened.text;
      }
      line += "[" + std::string(zalvo::protocol::VerdictText(opened.verdict)) + "] ";
    }
    line += Printable(text, o.raw);
    WriteLine(ConsoleStream::kOut, line, o.raw);
  }
  if (o.count > 0 && received < o.count) {
    Error("only " + std::to_string(received) + " of " + std::to_string(o.count) +
          " datagrams arrived within " + std::to_string(o.wait_ms) + " ms");
    return kNoAnswer;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::optional<Keys> keys;
  try {
    options = Parse(zalvo::platform::ToolArguments(argc, argv));
    if (options.help) {
      std::fputs(kUsageText, stdout);
      return kOk;
    }
    if (options.keygen) {
      return Keygen(options);
    }
    if (options.derive) {
      return Derive(options);
    }
    CheckAddress(options.bind, "local");
    if (!options.watch) {
      CheckAddress(options.station, "station");
    }
    keys = ReadKeys(options);
  } catch (const UsageError& e) {
    Error(e.what());
    std::fputs("Try 'zalvoctl --help'.\n", stderr);
    return kUsage;
  }
  try {
    return options.watch ? Watch(options, keys) : Send(options, keys);
  } catch (const zalvo::platform::PlatformError& e) {
    Error(e.what());
    return kFailed;
  }
}
