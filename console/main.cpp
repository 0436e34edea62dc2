// zalvo-console: the club's room view. Holds UDP port 6868, where every
// station sends its replies and reports, sends the operators' commands from
// it, keeps the room, records every session and action in SQLite, and serves
// the room as a web page.
//
//   zalvo-console --db FILE [--room FILE] [--listen ADDR:PORT] [--bind ADDR]
//                 [--wake-broadcast ADDR] [--wake-port N] [--keepalive-ms N]
//                 [--warn-minutes N] [--warn-text TEXT] [--probe-ms N] [--probe-wait-ms N]
//                 [--lost-ms N] [--start-grace-ms N] [--state-ms N] [--queue-ms N]
//                 [--key-file FILE] [--club-keyed LIST]
//                 [--strict-keys]
//                 [--tls-cert FILE --tls-key FILE | --insecure] [--allow-host NAME]...
//   zalvo-console --db FILE --set-operator NAME [--role owner|operator]
//                 (the password on standard input)
//   zalvo-console --db FILE --remove-operator NAME

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <variant>

#include "console/core/envelope.h"
#include "console/core/room.h"
#include "console/core/room_file.h"
#include "console/core/web_console.h"
#include "console/core/wire.h"
#include "console/record/store.h"
#include "console/web/auth.h"
#include "console/web/web_server.h"
#include "platform/console.h"
#include "platform/datagram_socket.h"
#include "platform/error.h"
#include "protocol/key_file.h"
#include "text/text.h"

namespace {

using namespace zalvo::console;

constexpr const char* kUsage =
    "usage: zalvo-console --db FILE [--room FILE] [--listen ADDR:PORT] [--bind ADDR]\n"
    "                     [--wake-broadcast ADDR] [--wake-port N] [--keepalive-ms N]\n"
    "                     [--warn-minutes N] [--warn-text TEXT] [--probe-ms N]\n"
    "                     [--probe-wait-ms N] [--lost-ms N] [--start-grace-ms N]\n"
    "                     [--state-ms N] [--queue-ms N]\n"
    "                     [--key-file FILE] [--club-keyed LIST]\n"
    "                     [--strict-keys]\n"
    "                     [--tls-cert FILE --tls-key FILE | --insecure] [--allow-host NAME]...\n"
    "       zalvo-console --db FILE --set-operator NAME [--role owner|operator]\n"
    "                     (the password on standard input)\n"
    "       zalvo-console --db FILE --remove-operator NAME\n"
    "\n"
    "  --db FILE          the record (SQLite): sessions, actions, operators; created on\n"
    "                     first start\n"
    "  --room FILE        the stations: one per line, \"name address [column row]\",\n"
    "                     and at the first start the till's currency, tariffs and\n"
    "                     groups (see the README)\n"
    "  --listen ADDR:PORT the web page (default 127.0.0.1:8080; port 0 picks a free one)\n"
    "  --bind ADDR        the local address of UDP port 6868 (default 0.0.0.0)\n"
    "  --wake-broadcast ADDR  where power-on sends its magic packets: the stations'\n"
    "                     network's broadcast address (default 255.255.255.255)\n"
    "  --wake-port N      ... and their UDP port (default 9)\n"
    "  --warn-minutes N   tell the customer N minutes before a session's time runs\n"
    "                     out (ACTION MESSAGE; default 0: no message)\n"
    "  --warn-text TEXT   that message, {minutes} standing for the minutes left\n"
    "                     (default \"Времето ви изтича след {minutes} мин.\")\n"
    "  --keepalive-ms N   the stations' keep-alive period (default 99000, 99 ticks of 1 s);\n"
    "                     a station is online while it reported within two periods\n"
    "  --probe-ms N       rented and ending stations are asked for their state and\n"
    "                     report this often (default 5000)\n"
    "  --state-ms N       free stations are asked for their state this often\n"
    "                     (default 30000)\n"
    "  --probe-wait-ms N  before a start or added time the station is asked for its\n"
    "                     report and must answer within this (default 1500)\n"
    "  --lost-ms N        a rented station not heard this long is lost: its session's\n"
    "                     time is flagged in the log and the record (default 15000)\n"
    "  --start-grace-ms N after a start, a restart or a power-on the station may\n"
    "                     restart Windows: not heard within this it shows as\n"
    "                     starting, not lost, and a start may be queued for it\n"
    "                     (default 240000)\n"
    "  --queue-ms N       a queued start waits this long for its station to be heard\n"
    "                     (default 300000)\n"
    "  --key-file FILE    the club's command key (default: the file that\n"
    "                     ZALVO_KEY_FILE names, if set): commands go out signed with\n"
    "                     each station's own key, derived from it, and only replies\n"
    "                     and reports signed with the sender's key are taken\n"
    "  --club-keyed LIST  the stations that still keep the club key itself (installed\n"
    "                     before stations had keys of their own): addresses\n"
    "                     separated by commas, or 'all'\n"
    "  --strict-keys      refuse a key file that others than its owner may read\n"
    "  --tls-cert FILE    serve the page over HTTPS with this PEM certificate ...\n"
    "  --tls-key FILE     ... and its private key\n"
    "  --insecure         serve plain HTTP on an address other than loopback\n"
    "  --allow-host NAME  a further name (or NAME:PORT) the page is opened by; needed\n"
    "                     when listening on 0.0.0.0; may be given more than once\n"
    "  --set-operator N   add operator N, or give N a new password (at least 8\n"
    "                     characters), and exit; the operator's sessions end\n"
    "  --role R           with --set-operator: owner (manages operators, the till's\n"
    "                     set-up and exports, shuts stations down) or operator; a new\n"
    "                     one is an owner unless told, an existing one keeps its role\n"
    "  --remove-operator N  remove operator N, and exit; N's sessions end\n";

void Print(const std::string& line) {
  std::fprintf(stdout, "zalvo-console: %s\n", line.c_str());
  std::fflush(stdout);
}

int Fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "zalvo-console: %s\n", message.c_str());
  return code;
}

// Under a service manager's restart the console before may still hold the
// ports for a moment: a port in use is tried again for this long.
constexpr std::chrono::seconds kPortWait{5};
constexpr std::chrono::milliseconds kPortRetry{200};

// Runs bind until it does not fail for a port in use, or kPortWait is over
// (its failure then passes).
template <typename Bind>
void BindWhileInUse(const std::string& what, Bind bind) {
  auto until = std::chrono::steady_clock::now() + kPortWait;
  for (bool said = false;; said = true) {
    try {
      bind();
      return;
    } catch (const zalvo::platform::PlatformError& e) {
      if (e.kind() != zalvo::platform::ErrorKind::kInUse ||
          std::chrono::steady_clock::now() >= until) {
        throw;
      }
      if (!said) {
        Print(what + " is in use; trying again for " + std::to_string(kPortWait.count()) + " s");
      }
    }
    std::this_thread::sleep_for(kPortRetry);
  }
}

// What the command line asks for.
struct Options {
  std::string db_path;
  std::string room_path;
  std::string listen = "127.0.0.1:8080";
  std::string http_address;  // of --listen
  int http_port = 0;
  bool tls = false;
  std::string bind = "0.0.0.0";
  std::string set_operator;
  std::string remove_operator;
  std::optional<Role> role;
  std::string command_key_file;
  std::string club_keyed;
  bool strict_keys = false;
  RoomOptions room;
  WebConsoleOptions console;
  WebOptions web;
};

// Reads the command line: the options, or the exit code to end with (after
// saying why, or the usage for --help).
std::variant<Options, int> ReadOptions(int argc, char** argv) {
  Options o;
  bool insecure = false;
  o.room.keepalive_ms = 99'000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--tls-cert" && has_value) {
      o.web.tls_certificate_file = argv[++i];
    } else if (arg == "--tls-key" && has_value) {
      o.web.tls_key_file = argv[++i];
    } else if (arg == "--allow-host" && has_value) {
      o.web.allowed_names.emplace_back(argv[++i]);
    } else if (arg == "--insecure") {
      insecure = true;
    } else if (arg == "--remove-operator" && has_value) {
      o.remove_operator = argv[++i];
    } else if (arg == "--db" && has_value) {
      o.db_path = argv[++i];
    } else if (arg == "--room" && has_value) {
      o.room_path = argv[++i];
    } else if (arg == "--listen" && has_value) {
      o.listen = argv[++i];
    } else if (arg == "--bind" && has_value) {
      o.bind = argv[++i];
    } else if (arg == "--key-file" && has_value) {
      o.command_key_file = argv[++i];
    } else if (arg == "--club-keyed" && has_value) {
      o.club_keyed = argv[++i];
    } else if (arg == "--strict-keys") {
      o.strict_keys = true;
    } else if (arg == "--set-operator" && has_value) {
      o.set_operator = argv[++i];
    } else if (arg == "--role" && has_value) {
      o.role = RoleFromName(argv[++i]);
      if (!o.role) {
        return Fail("--role is owner or operator", 2);
      }
    } else if (arg == "--warn-minutes" && has_value) {
      auto value = zalvo::text::ParseInt32(argv[++i]);
      if (!value || *value < 0 || *value > 60) {
        return Fail("--warn-minutes needs minutes from 0 (no message) to 60", 2);
      }
      o.console.warn_before_end_ms = Millis{*value} * 60'000;
    } else if (arg == "--warn-text" && has_value) {
      o.console.warn_text = argv[++i];
      std::string sample = o.console.warn_text;
      if (size_t at = sample.find("{minutes}"); at != std::string::npos) {
        sample.replace(at, 9, "10");
      }
      if (auto problem = wire::MessageProblem(sample)) {
        return Fail("--warn-text: " + *problem, 2);
      }
    } else if (arg == "--wake-broadcast" && has_value) {
      o.console.wake_address = argv[++i];
    } else if (arg == "--wake-port" && has_value) {
      auto value = zalvo::text::ParseInt32(argv[++i]);
      if (!value || *value <= 0 || *value > 65535) {
        return Fail("--wake-port needs a port number", 2);
      }
      o.console.wake_port = static_cast<uint16_t>(*value);
    } else if (arg == "--keepalive-ms" && has_value) {
      auto value = zalvo::text::ParseInt32(argv[++i]);
      if (!value || *value <= 0) {
        return Fail("--keepalive-ms needs a positive number", 2);
      }
      o.room.keepalive_ms = *value;
    } else if ((arg == "--probe-ms" || arg == "--probe-wait-ms" || arg == "--lost-ms" ||
                arg == "--start-grace-ms" || arg == "--state-ms" || arg == "--queue-ms") &&
               has_value) {
      auto value = zalvo::text::ParseInt32(argv[++i]);
      if (!value || *value < 0 || (*value == 0 && arg != "--start-grace-ms")) {
        return Fail(arg + " needs a positive number", 2);
      }
      (arg == "--probe-ms"        ? o.console.probe_every_ms
       : arg == "--probe-wait-ms" ? o.console.probe_wait_ms
       : arg == "--lost-ms"       ? o.room.lost_ms
       : arg == "--state-ms"      ? o.console.state_every_ms
       : arg == "--queue-ms"      ? o.console.queue_ms
                                  : o.room.start_grace_ms) = *value;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      return Fail("unknown argument '" + arg + "'\n\n" + kUsage, 2);
    }
  }
  if (o.db_path.empty()) {
    return Fail(std::string("--db FILE is required\n\n") + kUsage, 2);
  }
  if (o.role && o.set_operator.empty()) {
    return Fail("--role goes with --set-operator NAME", 2);
  }
  size_t colon = o.listen.rfind(':');
  auto http_port = colon == std::string::npos ? std::nullopt
                                              : zalvo::text::ParseInt32(o.listen.substr(colon + 1));
  if (!http_port || *http_port < 0 || *http_port > 65535 ||
      !IsDottedIPv4(o.listen.substr(0, colon))) {
    return Fail("--listen needs ADDR:PORT, e.g. 127.0.0.1:8080", 2);
  }
  o.http_port = *http_port;
  if (!IsDottedIPv4(o.console.wake_address)) {
    return Fail("--wake-broadcast needs a dotted IPv4 address, e.g. 192.168.1.255", 2);
  }
  if (!IsDottedIPv4(o.bind)) {
    return Fail("--bind needs a dotted IPv4 address", 2);
  }
  o.http_address = o.listen.substr(0, colon);
  o.tls = !o.web.tls_certificate_file.empty() || !o.web.tls_key_file.empty();
  if (o.web.tls_certificate_file.empty() != o.web.tls_key_file.empty()) {
    return Fail("--tls-cert and --tls-key go together", 2);
  }
  if (!o.tls && !insecure && o.http_address.rfind("127.", 0) != 0) {
    return Fail("--listen " + o.listen +
                    " is not a loopback address: anyone on the network could read the "
                    "operators' passwords. Give --tls-cert FILE and --tls-key FILE (the README "
                    "shows how to make a pair), or --insecure to serve plain HTTP anyway",
                2);
  }
  if (o.http_address == "0.0.0.0" && o.web.allowed_names.empty()) {
    return Fail(
        "listening on 0.0.0.0 needs --allow-host NAME for each name or address the "
        "operators open the page by",
        2);
  }
  if (o.command_key_file.empty()) {
    o.command_key_file = zalvo::platform::EnvironmentValue("ZALVO_KEY_FILE");
  }
  if (o.command_key_file.empty() && !o.club_keyed.empty()) {
    return Fail("--club-keyed needs the club key (--key-file or ZALVO_KEY_FILE)", 2);
  }
  return o;
}

// Opens the record (created at the first start) and says what it noted.
std::unique_ptr<Store> OpenRecord(const Options& o) {
  try {
    auto store = std::make_unique<Store>(o.db_path);
    for (const std::string& note : store->notes()) {
      Print(note);
    }
    return store;
  } catch (const RecordError& e) {
    Fail(std::string(e.what()) + "; the console does not run without its record");
    return nullptr;
  }
}

// --set-operator (the password on standard input) and --remove-operator:
// the record's operators changed, and the program ends.
int ChangeOperators(const Options& o, Store& store) {
  if (!o.set_operator.empty()) {
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r') {
      password.pop_back();
    }
    if (Utf8Length(password) < kMinPasswordLength) {
      return Fail("the password (on standard input) must have at least " +
                      std::to_string(kMinPasswordLength) + " characters",
                  2);
    }
    Role role = Role::kOwner;
    try {
      store.SetOperator(o.set_operator, HashPassword(password), o.role);
      role = store.Operator(o.set_operator)->role;
    } catch (const std::exception& e) {
      return Fail(e.what());
    }
    Print("operator '" + o.set_operator + "' (" + RoleName(role) + ") can log in");
    return 0;
  }
  try {
    if (!store.RemoveOperator(o.remove_operator)) {
      return Fail("there is no operator '" + o.remove_operator + "'", 2);
    }
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  Print("operator '" + o.remove_operator + "' removed");
  return 0;
}

// The envelope of the commands: signed with the stations' keys when a club
// key is given, else plain; nullptr after saying why the key can't be used.
std::unique_ptr<Envelope> OpenEnvelope(const Options& o) {
  if (o.command_key_file.empty()) {
    // Said at every start, and on the page to every operator, until the
    // room is keyed.
    Print(
        "warning: no club key (--key-file): the stations take plain commands, so anyone on "
        "their LAN can start, end or lengthen sessions in the console's name, and answer for a "
        "station that is off; the page says so to every operator until the room is keyed "
        "(docs/club-setup.md, \"Keying a room that runs without a key\")");
    return std::make_unique<PlainEnvelope>();
  }
  try {
    zalvo::protocol::KeyFileRead read =
        zalvo::protocol::ReadKeyFile(o.command_key_file, o.strict_keys);
    if (!read.warning.empty()) {
      Print("warning: " + read.warning + " (--strict-keys refuses such a file)");
    }
    if (read.key.kind != zalvo::protocol::KeyKind::kClub) {
      Fail("the key file " + o.command_key_file +
           " holds a station's key: the console needs the club key");
      return nullptr;
    }
    Print("commands go out signed with each station's key, derived from the club key of " +
          o.command_key_file +
          (o.club_keyed.empty() ? "" : "; with the club key itself for " + o.club_keyed));
    return std::make_unique<KeyedEnvelope>(read.key.key,
                                           zalvo::protocol::ClubKeyedStations::Parse(o.club_keyed));
  } catch (const zalvo::protocol::KeyFileError& e) {
    Fail(e.what());
    return nullptr;
  }
}

// Serves the room until Ctrl+C or SIGTERM.
int Run(Options o, Store& store) {
  o.room.hold_unknown = !o.room_path.empty();
  Room room(o.room);
  RoomPlan plan;
  try {
    if (!o.room_path.empty()) {
      std::ifstream file(o.room_path, std::ios::binary);
      if (!file) {
        return Fail("cannot read the room file " + o.room_path);
      }
      std::stringstream text;
      text << file.rdbuf();
      plan = ParseRoomPlan(text.str());
      for (const auto& config : plan.stations) {
        room.AddStation(config);
      }
    }
    for (const auto& config : store.AddedStations()) {
      if (!room.Find(config.address)) {
        room.AddStation(config, false);
      }
    }
  } catch (const std::exception& e) {
    return Fail((o.room_path.empty() ? std::string() : o.room_path + ": ") + e.what(), 2);
  }
  if (store.OperatorCount() == 0) {
    Print("no operator can log in yet: add one with --set-operator NAME");
  }

  // Ctrl+C and SIGTERM are taken by sigwait below, in this thread only.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  size_t station_count = room.stations().size();
  std::unique_ptr<Envelope> envelope = OpenEnvelope(o);
  if (!envelope) {
    return 2;
  }
  auto socket = zalvo::platform::MakeUdpSocket();
  o.console.udp_address = o.bind;
  o.console.log = Print;
  o.console.neighbour_table = [] {
    std::ifstream file("/proc/net/arp");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  };
  WebConsole console(std::move(room), store, *envelope, *socket, o.console);
  try {
    console.RestoreSessions();
    if (size_t macs = console.SeedMacs(plan.stations); macs > 0) {
      Print(std::to_string(macs) + " MAC addresses came from the room file");
    }
    if (console.SeedTill(plan.till)) {
      Print("the till's currency, tariffs (" + std::to_string(plan.till.tariffs.size()) +
            ") and groups (" + std::to_string(plan.till.groups.size()) +
            ") came from the room file; from now on the record holds them");
    }
  } catch (const RecordError& e) {
    return Fail(e.what());
  }
  std::unique_ptr<WebServer> web;
  int port = 0;
  try {
    web = std::make_unique<WebServer>(console, o.web);
    BindWhileInUse(o.listen, [&] { port = web->Bind(o.http_address, o.http_port); });
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  try {
    BindWhileInUse("UDP " + o.bind + ":6868", [&] { console.Start(); });
  } catch (const zalvo::platform::PlatformError& e) {
    return Fail(std::string("cannot hold UDP ") + o.bind + ":6868: " + e.what() +
                " (another console or zalvoctl holds it?)");
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  std::thread http([&web] { web->Serve(); });
  Print(std::string("listening on ") + (o.tls ? "https" : "http") + "://" + o.http_address + ":" +
        std::to_string(port) + "/ and UDP " + o.bind + ":6868; " + std::to_string(station_count) +
        " stations; record " + o.db_path);
  int signal = 0;
  sigwait(&signals, &signal);
  Print("stopping");
  web->Stop();
  http.join();
  console.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    auto read = ReadOptions(argc, argv);
    if (const int* code = std::get_if<int>(&read)) {
      return *code;
    }
    Options& options = std::get<Options>(read);
    InitCrypto();
    std::unique_ptr<Store> store = OpenRecord(options);
    if (!store) {
      return 1;
    }
    if (!options.set_operator.empty() || !options.remove_operator.empty()) {
      return ChangeOperators(options, *store);
    }
    return Run(std::move(options), *store);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
