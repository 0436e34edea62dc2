// zalvos on Linux: the agent over a simulated station, in the foreground.
//
//   zalvos --station DIR [--sample] [--tick-ms N] [--quiet] [--bind ADDR]
//          [--key-file FILE] [--strict-keys]
//
// Prints a line for every command received, every reply sent and every
// action the station carries out. Ctrl+C stops; SIGUSR1 pauses the tick and
// SIGUSR2 continues it, as the service's pause and continue do.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "agent/assembly.h"
#include "agent/command_dispatcher.h"
#include "agent/customer_account.h"
#include "agent/lock_screen_keeper.h"
#include "agent/runtime.h"
#include "platform/console_host.h"
#include "platform/datagram_socket.h"
#include "platform/sim/station.h"
#include "protocol/key_file.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace {

// The simulated station's computer name: the host's, as Windows gives a
// NetBIOS name (capital letters, at most 15 characters).
std::string ComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return "";
  }
  return zalvo::text::UpperLatin(name).substr(0, 15);
}

constexpr const char* kUsage =
    "usage: zalvos --station DIR [--sample] [--tick-ms N] [--quiet] [--bind ADDR]\n"
    "              [--key-file FILE] [--strict-keys]\n"
    "\n"
    "Runs the station agent over the simulated station in DIR, in the foreground.\n"
    "  --station DIR  the station folder (windows/, registry/, windows.txt, mixer.txt,\n"
    "                 console.txt, journal.log)\n"
    "  --sample       first fill DIR with a sample station whose server is 127.0.0.1\n"
    "                 (files that exist are kept)\n"
    "  --tick-ms N    length of one tick in milliseconds (default 1000)\n"
    "  --quiet        no line for each datagram received or reply sent\n"
    "  --bind ADDR    the local IPv4 address to receive commands on (default 0.0.0.0,\n"
    "                 every address); several agents on one machine each take their\n"
    "                 own loopback address, e.g. 127.0.0.11\n"
    "  --key-file FILE  the station's command key (default DIR/zalvo.key when it\n"
    "                 exists), as zalvoctl derive writes it: 'zalvo station key',\n"
    "                 64 hex digits, the station's address as the server sends to\n"
    "                 it. With a key, only commands in signed envelopes are taken,\n"
    "                 every reply is signed, and the time of the newest command\n"
    "                 is kept in the station's machine hive (NewestCommandTime).\n"
    "  --strict-keys  refuse a key file that others than its owner may read\n"
    "                 (otherwise a warning)\n"
    "Commands arrive on UDP port 6767; replies go to the server's port 6868.\n"
    "Ctrl+C stops, SIGUSR1 pauses the tick, SIGUSR2 continues it.\n";

std::mutex g_print;

void Print(const char* source, std::string_view utf8) {
  std::string shown = zalvo::text::EscapeControls(utf8);
  std::lock_guard lock(g_print);
  std::fprintf(stdout, "%s %s\n", source, shown.c_str());
  std::fflush(stdout);
}

// The station's key file, named or in the station folder; none when the
// folder has none. Throws KeyFileError for a file that can't be used, and
// for the club's key: a station keeps only its own.
std::optional<zalvo::protocol::KeyText> ReadKeyFile(const std::string& named,
                                                    const std::filesystem::path& station,
                                                    bool strict) {
  using zalvo::protocol::KeyFileError;
  std::filesystem::path path = named.empty() ? station / "zalvo.key" : std::filesystem::path(named);
  std::error_code ec;
  if (named.empty() && !std::filesystem::exists(path, ec)) {
    return std::nullopt;
  }
  zalvo::protocol::KeyFileRead read = zalvo::protocol::ReadKeyFile(path.string(), strict);
  if (!read.warning.empty()) {
    Print("agent  ", "warning: " + read.warning + " (--strict-keys refuses such a file)");
  }
  if (read.key.kind == zalvo::protocol::KeyKind::kClub && !read.key.earlier_form) {
    throw KeyFileError("the key file " + path.string() +
                       " holds the club's key: a station keeps only its own key (zalvoctl derive "
                       "ADDRESS FILE writes it)");
  }
  if (read.key.station_address.empty()) {
    throw KeyFileError("the key file " + path.string() +
                       " names no station address (the address the server sends to)");
  }
  return read.key;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zalvo;
  std::string station_dir;
  bool sample = false;
  bool quiet = false;
  int tick_ms = 1000;
  std::string bind_address = "0.0.0.0";
  std::string key_file;
  bool strict_keys = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--station" && i + 1 < argc) {
      station_dir = argv[++i];
    } else if (arg == "--sample") {
      sample = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--strict-keys") {
      strict_keys = true;
    } else if (arg == "--key-file" && i + 1 < argc) {
      key_file = argv[++i];
    } else if (arg == "--tick-ms" && i + 1 < argc) {
      auto value = text::ParseInt32(argv[++i]);
      if (!value || *value <= 0) {
        std::fprintf(stderr, "zalvos: --tick-ms needs a positive number of milliseconds\n");
        return 2;
      }
      tick_ms = *value;
    } else if (arg == "--bind" && i + 1 < argc) {
      bind_address = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "zalvos: unknown argument '%s'\n\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (station_dir.empty()) {
    std::fprintf(stderr, "zalvos: --station DIR is required\n\n%s", kUsage);
    return 2;
  }
  try {
    if (sample) {
      sim::Station::CreateSample(station_dir, "127.0.0.1");
    }
    if (!std::filesystem::is_directory(station_dir)) {
      std::fprintf(stderr,
                   "zalvos: station folder '%s' does not exist (use --sample to create one)\n",
                   station_dir.c_str());
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvos: cannot create the sample station: %s\n", e.what());
    return 1;
  }

  // A club that asked for a key gets no station that runs without one.
  std::optional<protocol::KeyText> key;
  try {
    key = ReadKeyFile(key_file, station_dir, strict_keys);
  } catch (const protocol::KeyFileError& e) {
    std::fprintf(stderr, "zalvos: not started: %s\n", e.what());
    return 1;
  }

  // Every thread inherits the blocked signals; the console host waits for them.
  platform::BlockServiceSignals();

  platform::LogSink log = [](std::string_view cp1251) {
    Print("agent  ", text::Cp1251ToUtf8(cp1251));
  };
  if (quiet) {
    log = agent::WithoutTraffic(log);
  }
  sim::Station station(station_dir, [](std::string_view utf8) { Print("station", utf8); });
  auto socket = platform::MakeUdpSocket();
  // As the service does: no session running means locked, for the customer
  // that console.txt says is logged on at the console, and confirmed by what
  // console.txt says the customer sees.
  agent::LockScreenUpkeep lock_screen(station.console(), station.registry(), log,
                                      &station.console());
  // The simulated station has no accounts: the customer's SID is not found.
  agent::CustomerAccount customer =
      agent::ReadCustomerAccount(station.registry(), {nullptr, ComputerName}, log);
  std::optional<agent::AssembledAgent> assembled;
  try {
    assembled.emplace(*socket,
                      agent::StationParts{station.registry(), station.files(), station.desktop(),
                                          &station.mixer(), nullptr, nullptr, &lock_screen,
                                          customer, &station.desktop()},
                      agent::AgentWiring{key, &station.registry(), log});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvos: not started: %s\n", e.what());
    return 1;
  }
  agent::AgentRuntime runtime(
      assembled->dispatcher, assembled->gate, *socket,
      {std::chrono::milliseconds(tick_ms), protocol::kCommandPort, bind_address}, log);
  Print("agent  ",
        "station " + station.root().string() + ", tick " + std::to_string(tick_ms) + " ms");
  return platform::RunInConsole(runtime);
}
