// zalvoctl, the operator's console: sends one command to a station agent and
// prints what comes back, or watches the reports the stations send.
//
//   zalvoctl [options] STATION COMMAND...
//   zalvoctl watch [options]
//   zalvoctl keygen
//
// A station accepts commands only from the address of its ServerIP setting
// and answers to that address on UDP port 6868, so the console listens on
// 6868 of the machine that ServerIP names. Texts on the wire are
// Windows-1251; they are printed as UTF-8 (or as wide characters on a Windows
// console) with control characters escaped, unless --raw asks for the bytes.
// With a command key (--key-file or ZALVO_KEY_FILE) commands go out signed
// and only replies signed for them count.

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
    "       zalvoctl keygen\n"
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
    "  zalvoctl 192.168.0.21 \"ACTION KILL Notepad\"\n"
    "\n"
    "options:\n"
    "  --wait MS     wait at most MS milliseconds for the replies (default 2000)\n"
    "  --bind ADDR   the local address to send from and listen on\n"
    "                (default 0.0.0.0: the system chooses the sending address)\n"
    "  --send-only   send from any free port and wait for nothing; the replies\n"
    "                then reach whoever listens on port 6868 (zalvoctl watch)\n"
    "  --key-file FILE  the club's command key (default: the file that\n"
    "                ZALVO_KEY_FILE names): the command goes out signed for\n"
    "                STATION, and only replies signed with the key and naming\n"
    "                this command count; others are reported and skipped\n"
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
    "  --key-file FILE  check each datagram and mark it [signed ok], [unsigned]\n"
    "                or [bad MAC] (and the like), with the sender as the station\n"
    "\n"
    "zalvoctl keygen prints a new command key: 32 random bytes as 64 hex digits.\n"
    "A station keeps it with its own address (see the README); the console\n"
    "keeps it in the file of --key-file.\n"
    "\n"
    "exit codes: 0 the station answered \"PING\" (watch: ended as asked);\n"
    "1 port 6868 is in use or the send failed; 2 bad arguments, address or key\n"
    "file;\n"
    "3 no \"PING\" within the wait (the command failed on the station, or the\n"
    "station's ServerIP is not this console), or watch got fewer than N.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  bool watch = false;
  bool keygen = false;
  std::string key_file;
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
    if (args.size() > 1) {
      throw UsageError("keygen takes no arguments");
    }
    o.keygen = true;
    return o;
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
// so that no escape sequence of a window caption reaches the terminal.
std::string Printable(std::string_view bytes) {
  std::string shown;
  shown.reserve(bytes.size());
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || b == 0x98) {
      constexpr char kDigits[] = "0123456789abcdef";
      shown += "\\x";
      shown += kDigits[b >> 4];
      shown += kDigits[b & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

void Print(ConsoleStream stream, std::string_view bytes, bool raw) {
  WriteLine(stream, raw ? std::string(bytes) : Printable(bytes), raw);
}

// The command key of --key-file, or of the file ZALVO_KEY_FILE names; none
// when neither is given. A file that can't be used is a usage error.
std::optional<zalvo::protocol::CommandKey> ReadKey(const Options& o) {
  std::string path = o.key_file;
  if (path.empty()) {
    path = zalvo::platform::EnvironmentValue("ZALVO_KEY_FILE");
    if (path.empty()) {
      return std::nullopt;
    }
  }
  try {
    return zalvo::protocol::ReadKeyFile(path).key;
  } catch (const zalvo::protocol::KeyFileError& e) {
    throw UsageError(e.what());
  }
}

int Keygen() {
  zalvo::protocol::CommandKey key{};
  zalvo::platform::RandomBytes(key);
  std::fputs((zalvo::protocol::KeyHex(key) + "\n").c_str(), stdout);
  return kOk;
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

int Send(const Options& o, const std::optional<zalvo::protocol::CommandKey>& key) {
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
  std::optional<zalvo::protocol::SignedCommand> signed_command;
  if (key) {
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

int Watch(const Options& o, const std::optional<zalvo::protocol::CommandKey>& key) {
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
    if (key) {
      // The sender is the station whose signature it must carry.
      zalvo::protocol::Opened opened =
          zalvo::protocol::OpenReply(datagram->bytes, *key, datagram->from_ip, {});
      if (opened.verdict == Verdict::kOk) {
        text = opened.text;
      }
      line += "[" + std::string(zalvo::protocol::VerdictText(opened.verdict)) + "] ";
    }
    if (o.raw) {
      line += text;
    } else {
      line += Printable(text);
    }
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
  std::optional<zalvo::protocol::CommandKey> key;
  try {
    options = Parse(zalvo::platform::ToolArguments(argc, argv));
    if (options.help) {
      std::fputs(kUsageText, stdout);
      return kOk;
    }
    if (options.keygen) {
      return Keygen();
    }
    CheckAddress(options.bind, "local");
    if (!options.watch) {
      CheckAddress(options.station, "station");
    }
    key = ReadKey(options);
  } catch (const UsageError& e) {
    Error(e.what());
    std::fputs("Try 'zalvoctl --help'.\n", stderr);
    return kUsage;
  }
  try {
    return options.watch ? Watch(options, key) : Send(options, key);
  } catch (const zalvo::platform::PlatformError& e) {
    Error(e.what());
    return kFailed;
  }
}
