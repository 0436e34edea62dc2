// zalvo_load: the server's side of a benchmark. It starts the agent and the
// bare UDP echo side by side (natively, or the Windows programs under Wine),
// drives both over loopback from 127.0.0.1:6868 and measures round trips,
// sustained rates, the drop rate for another address, memory over a soak and
// the start-up time. Every comparison is made in the same run, so the
// results are read as ratios of the agent to the echo.
//
//   zalvo_load run --agent PATH --echo PATH --out FILE [options]
//   zalvo_load keyed --agent PATH --station DIR [--flood-count N] [--runs N]
//   zalvo_load report FILE...
//
// See Usage() for the options. Sends only to 127.0.0.1; floods from
// 127.0.0.2.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/load/measure.h"
#include "platform/posix/scoped_fd.h"
#include "platform/sim/station.h"
#include "protocol/envelope.h"
#include "protocol/key_file.h"
#include "tests/support/child_process.h"
#include "tests/support/process_stats.h"

namespace {

using zalvo::bench::Results;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kServerPort = 6868;
constexpr uint16_t kAgentPort = 6767;
// A text that matches no command: the agent's cheapest accepted datagram.
constexpr std::string_view kNoCommand = "BENCH NO COMMAND";
constexpr std::string_view kInfo = "ACTION INFO";

void Usage() {
  std::fputs(
      "usage: zalvo_load run --agent PATH --echo PATH --out FILE [options]\n"
      "       zalvo_load report FILE...\n"
      "\n"
      "run: starts the agent (port 6767) and the echo side by side, measures both,\n"
      "writes \"key value\" lines to FILE.\n"
      "  --station DIR     native agent: zalvos --station DIR --quiet\n"
      "  --wine PATH       run both programs with this wine (the environment's\n"
      "                    WINEPREFIX); the agent as zalvos.exe --console --quiet\n"
      "  --echo-port N     the echo's port (default 6769)\n"
      "  --logs DIR        where the programs' output goes (default /tmp)\n"
      "  --starts N        start-up measurements per program (default 3)\n"
      "  --rtt-blocks N    alternating blocks per program and payload (default 5)\n"
      "  --rtt-block N     round trips per block (default 2000)\n"
      "  --rate N          datagrams per sustained-rate block (default 100000)\n"
      "  --window N        datagrams kept in flight (default 16)\n"
      "  --flood-ms N      length of each flood from 127.0.0.2 (default 2000)\n"
      "  --flood-count N   send N datagrams from 127.0.0.2 as fast as loopback\n"
      "                    allows instead of flooding for a time\n"
      "  --soak N          accepted datagrams in the agent's soak (default 1000000)\n"
      "keyed: starts the native agent over DIR with a station key and floods it\n"
      "with N datagrams (default 200000) from a stranger (127.0.0.2, unsigned),\n"
      "then with N forged envelopes from the server's own address, while the\n"
      "server sends a signed command every 5 ms; prints the counts of each run.\n"
      "report: prints the Markdown tables of the result files, one column per run.\n",
      stderr);
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A UDP socket bound to a loopback address; sends go to 127.0.0.1.
class Udp {
 public:
  Udp(const char* address, uint16_t port) {
    socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket_) {
      throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    int size = 1 << 20;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &local.sin_addr);
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      throw std::runtime_error(std::string("bind ") + address + ":" + std::to_string(port) + ": " +
                               std::strerror(errno));
    }
  }
  Udp(const Udp&) = delete;
  Udp& operator=(const Udp&) = delete;

  void SendTo(uint16_t port, std::string_view bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(socket_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
  }

  // Whether a "PING" from the port arrives within the wait; other datagrams
  // (reports, replies of the other program) are skipped.
  bool ReceivePing(uint16_t from, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{socket_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
        return false;
      }
      char buffer[4096];
      sockaddr_in sender{};
      socklen_t length = sizeof sender;
      ssize_t n = ::recvfrom(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&sender), &length);
      if (n == 4 && std::memcmp(buffer, "PING", 4) == 0 && ntohs(sender.sin_port) == from) {
        return true;
      }
    }
  }

  // Whether the signed "PING" answering the command of the nonce arrives
  // within the wait; other datagrams are skipped.
  bool ReceiveSignedPing(uint16_t from, zalvo::protocol::EnvelopeKey& key, std::string_view nonce,
                         int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{socket_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
        return false;
      }
      char buffer[4096];
      sockaddr_in sender{};
      socklen_t length = sizeof sender;
      ssize_t n = ::recvfrom(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&sender), &length);
      if (n <= 0 || ntohs(sender.sin_port) != from) {
        continue;
      }
      auto opened = zalvo::protocol::OpenReply(std::string_view(buffer, static_cast<size_t>(n)),
                                               key, "127.0.0.1", nonce);
      if (opened.verdict == zalvo::protocol::Verdict::kOk && opened.text == "PING") {
        return true;
      }
    }
  }

  // Discards what is waiting, until nothing has come for quiet_ms.
  void Drain(int quiet_ms) {
    char buffer[4096];
    pollfd p{socket_.get(), POLLIN, 0};
    while (::poll(&p, 1, quiet_ms) > 0) {
      ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    }
  }

 private:
  zalvo::posix::ScopedFd socket_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<zalvo::bench::UdpSocketState> SocketOn(uint16_t port) {
  return zalvo::bench::FindUdpSocket(ReadFile("/proc/net/udp"), port);
}

// The process holding the socket bound to the port, among those whose
// command line names the program (under Wine the wine server holds the
// socket too).
std::optional<int64_t> SocketOwner(uint16_t port, const std::string& program_name) {
  auto socket = SocketOn(port);
  if (!socket) {
    return std::nullopt;
  }
  const std::string link = "socket:[" + std::to_string(socket->inode) + "]";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (cmdline.find(program_name) == std::string::npos) {
      continue;
    }
    std::error_code fd_error;
    for (const auto& fd : std::filesystem::directory_iterator(entry.path() / "fd", fd_error)) {
      std::error_code link_error;
      if (std::filesystem::read_symlink(fd.path(), link_error).string() == link) {
        return std::stoll(name);
      }
    }
  }
  return std::nullopt;
}

struct Options {
  std::string agent, echo, out, station, wine, logs = "/tmp";
  uint16_t echo_port = 6769;
  int starts = 3, rtt_blocks = 5, rtt_block = 2000, window = 16, flood_ms = 2000, flood_count = 0;
  int64_t rate = 100000, soak = 1000000;
};

// One of the two programs under measurement.
struct Target {
  std::string key;  // "agent" or "echo"
  uint16_t port = 0;
  std::string program;
  std::vector<std::string> args;
  std::string match;  // a piece of its command line
  std::string log;
  std::unique_ptr<zalvo::testing::ChildProcess> process;
  int64_t pid = 0;
};

// Starts the program and sends it a probe every millisecond until it answers;
// the seconds from the start to the answer.
double Start(Target& target, Udp& server) {
  auto start = Clock::now();
  target.process = zalvo::testing::StartProcess(target.program, target.args, target.log);
  while (Since(start) < 60) {
    server.SendTo(target.port, kNoCommand);
    if (server.ReceivePing(target.port, 1)) {
      double seconds = Since(start);
      server.Drain(300);  // the answers to the probes still queued
      auto owner = SocketOwner(target.port, target.match);
      if (!owner) {
        throw std::runtime_error("no process of " + target.match + " holds port " +
                                 std::to_string(target.port));
      }
      target.pid = *owner;
      return seconds;
    }
    if (!target.process->Running()) {
      throw std::runtime_error(target.program + " ended; see " + target.log);
    }
  }
  throw std::runtime_error(target.program + " did not answer within 60 s; see " + target.log);
}

void Stop(Target& target) {
  if (target.process) {
    target.process->Stop();
    target.process.reset();
  }
  // Wait for the port to be free again before the next start.
  for (int i = 0; i < 500 && SocketOn(target.port); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Round trips of one block, in microseconds; a reply missing after a second
// counts as lost.
std::vector<double> RoundTrips(Udp& server, uint16_t port, std::string_view payload, int count,
                               int64_t* lost) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    server.SendTo(port, payload);
    if (server.ReceivePing(port, 1000)) {
      samples.push_back(Since(start) * 1e6);
    } else {
      ++*lost;
    }
  }
  return samples;
}

struct Rate {
  double per_second = 0;
  int64_t answered = 0;
  int64_t lost = 0;
};

// Sends count datagrams from the server address, keeping `window` in flight,
// and counts the answers. After 200 ms without an answer everything in
// flight counts as lost. every(answered) runs after each `every_n` answers.
Rate Sustained(Udp& server, uint16_t port, int64_t count, int window, int64_t every_n = 0,
               const std::function<void(int64_t)>& every = {}) {
  Rate rate;
  int64_t sent = 0;
  auto start = Clock::now();
  while (rate.answered + rate.lost < count) {
    while (sent - rate.answered - rate.lost < window && sent < count) {
      server.SendTo(port, kNoCommand);
      ++sent;
    }
    if (!server.ReceivePing(port, 200)) {
      rate.lost = sent - rate.answered;
      continue;
    }
    ++rate.answered;
    if (every_n > 0 && rate.answered % every_n == 0 && every) {
      every(rate.answered);
    }
  }
  rate.per_second = static_cast<double>(rate.answered) / Since(start);
  return rate;
}

struct Flood {
  int64_t sent = 0;
  int64_t kernel_dropped = 0;
  double drained_per_second = 0;
  int64_t probes = 0;
  int64_t probes_answered = 0;
  double probe_median_us = 0;
};

// Floods the port from 127.0.0.2 for the given time as fast as one thread
// can send, while another thread sends a datagram from the server address
// every 5 ms. The program's drain rate is what left its receive queue: the
// datagrams sent less those the kernel dropped for a full queue, over the
// time until the queue was empty again (read from /proc/net/udp).
Flood FloodFromOther(Udp& server, uint16_t port, int flood_ms, int flood_count) {
  Flood flood;
  auto before = SocketOn(port);
  if (!before) {
    throw std::runtime_error("nothing bound to port " + std::to_string(port));
  }
  std::atomic<bool> flooding{true};
  std::vector<double> probe_rtts;
  std::thread prober([&] {
    while (flooding.load()) {
      auto sent = Clock::now();
      server.SendTo(port, kNoCommand);
      ++flood.probes;
      if (server.ReceivePing(port, 5)) {
        ++flood.probes_answered;
        probe_rtts.push_back(Since(sent) * 1e6);
      }
      std::this_thread::sleep_until(sent + std::chrono::milliseconds(5));
    }
  });
  Udp other("127.0.0.2", 0);
  auto start = Clock::now();
  auto stop_at = start + std::chrono::milliseconds(flood_ms);
  while (flood_count > 0 ? flood.sent < flood_count : Clock::now() < stop_at) {
    for (int i = 0; i < 256; ++i) {
      other.SendTo(port, kInfo);
    }
    flood.sent += 256;
  }
  double seconds = Since(start);
  for (int i = 0; i < 10000; ++i) {
    auto now = SocketOn(port);
    if (!now || now->rx_queue_bytes == 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  seconds = Since(start);
  flooding.store(false);
  prober.join();
  auto after = SocketOn(port);
  flood.kernel_dropped = after ? static_cast<int64_t>(after->drops - before->drops) : 0;
  flood.drained_per_second = static_cast<double>(flood.sent - flood.kernel_dropped) / seconds;
  flood.probe_median_us = zalvo::bench::Percentile(probe_rtts, 0.5).value_or(0);
  server.Drain(200);
  return flood;
}

// A flood of count datagrams made by next(i) from the address, as fast as
// one thread can send, while the server sends a signed command every 5 ms
// (or as soon as the last one was answered): the probes sent, those
// answered within 50 ms by a signed "PING" naming the command's nonce, the
// median time to the answer, and what the kernel dropped for a full queue.
Flood SignedProbesDuringFlood(Udp& server, zalvo::protocol::EnvelopeKey& key, const char* from,
                              int64_t count, const std::function<std::string(int64_t)>& next) {
  Flood flood;
  auto before = SocketOn(kAgentPort);
  std::atomic<bool> flooding{true};
  std::vector<double> answer_us;
  std::thread prober([&] {
    while (flooding.load()) {
      auto sent = Clock::now();
      auto command = zalvo::protocol::Sign(kNoCommand, key, "127.0.0.1");
      server.SendTo(kAgentPort, command.datagram);
      ++flood.probes;
      if (server.ReceiveSignedPing(kAgentPort, key, command.nonce, 50)) {
        ++flood.probes_answered;
        answer_us.push_back(Since(sent) * 1e6);
      }
      std::this_thread::sleep_until(sent + std::chrono::milliseconds(5));
    }
  });
  Udp other(from, 0);
  auto start = Clock::now();
  while (flood.sent < count) {
    other.SendTo(kAgentPort, next(flood.sent));
    ++flood.sent;
  }
  for (int i = 0; i < 10000; ++i) {
    auto now = SocketOn(kAgentPort);
    if (!now || now->rx_queue_bytes == 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double seconds = Since(start);
  flooding.store(false);
  prober.join();
  auto after = SocketOn(kAgentPort);
  flood.kernel_dropped = after && before ? static_cast<int64_t>(after->drops - before->drops) : 0;
  flood.drained_per_second = static_cast<double>(flood.sent - flood.kernel_dropped) / seconds;
  flood.probe_median_us = zalvo::bench::Percentile(answer_us, 0.5).value_or(0);
  server.Drain(200);
  return flood;
}

// The keyed agent under a stranger's flood and under forged envelopes from
// the server's own address, each `runs` times, alternating.
int Keyed(const std::string& agent_path, const std::string& station, int64_t count, int runs) {
  zalvo::sim::Station::CreateSample(station, "127.0.0.1");
  zalvo::protocol::CommandKey club{};
  for (size_t i = 0; i < club.size(); ++i) {
    club[i] = static_cast<uint8_t>(0x30 + i);
  }
  const zalvo::protocol::CommandKey station_key =
      zalvo::protocol::DeriveStationKey(club, "127.0.0.1");
  const std::filesystem::path key_file = std::filesystem::path(station) / "zalvo.key";
  std::filesystem::remove(key_file);
  // The key file's earlier form (the hex digits, then the address), which
  // every build of the agent reads, so that an earlier build is measured the
  // same way.
  std::ofstream(key_file) << zalvo::protocol::KeyHex(station_key) << "\n127.0.0.1\n";
  std::filesystem::permissions(
      key_file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  zalvo::protocol::EnvelopeKey key(station_key);
  Udp server("127.0.0.1", kServerPort);
  Target agent;
  agent.port = kAgentPort;
  agent.program = agent_path;
  agent.args = {"--station", station, "--quiet"};
  agent.match = std::filesystem::path(agent_path).stem().string();
  agent.log = "/tmp/zalvo-load-keyed-agent.log";
  // Start() probes with unsigned datagrams, which a keyed agent ignores: wait
  // for a signed answer instead.
  agent.process = zalvo::testing::StartProcess(agent.program, agent.args, agent.log);
  bool up = false;
  for (int i = 0; i < 2000 && !up; ++i) {
    auto command = zalvo::protocol::Sign(kNoCommand, key, "127.0.0.1");
    server.SendTo(kAgentPort, command.datagram);
    up = server.ReceiveSignedPing(kAgentPort, key, command.nonce, 10);
  }
  if (!up) {
    throw std::runtime_error("the keyed agent did not answer; see " + agent.log);
  }
  server.Drain(300);
  // Forged envelopes: well formed, of this second, with a MAC that is wrong.
  const std::string mac(64, 'a');
  auto forged = [&](int64_t i) {
    char nonce[33];
    std::snprintf(nonce, sizeof nonce, "%032llx", static_cast<unsigned long long>(i));
    return "Z1 " + std::to_string(zalvo::protocol::UnixNow()) + " " + nonce + " " + mac + " " +
           std::string(kInfo);
  };
  auto stranger = [](int64_t) { return std::string(kInfo); };
  std::printf(
      "| run | flood | sent | dropped by the kernel | datagrams drained per second | signed "
      "commands answered / sent | median answer (us) |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|\n");
  for (int run = 1; run <= runs; ++run) {
    for (bool forge : {false, true}) {
      Flood f = forge ? SignedProbesDuringFlood(server, key, "127.0.0.1", count, forged)
                      : SignedProbesDuringFlood(server, key, "127.0.0.2", count, stranger);
      std::printf("| %d | %s | %lld | %lld | %.0f | %lld / %lld (%.1f %%) | %.0f |\n", run,
                  forge ? "forged envelopes from the server's address" : "a stranger's datagrams",
                  static_cast<long long>(f.sent), static_cast<long long>(f.kernel_dropped),
                  f.drained_per_second, static_cast<long long>(f.probes_answered),
                  static_cast<long long>(f.probes),
                  f.probes > 0 ? 100.0 * static_cast<double>(f.probes_answered) /
                                     static_cast<double>(f.probes)
                               : 0.0,
                  f.probe_median_us);
      std::fflush(stdout);
    }
  }
  Stop(agent);
  return 0;
}

void RecordUsage(Results& results, const std::string& prefix, int64_t pid) {
  auto usage = zalvo::testing::ReadProcessUsage(pid);
  if (!usage) {
    throw std::runtime_error("cannot read the usage of process " + std::to_string(pid));
  }
  results.Set(prefix + ".rss_kib", static_cast<double>(usage->resident_bytes) / 1024);
  results.Set(prefix + ".fds", static_cast<double>(usage->open_descriptors));
  results.Set(prefix + ".threads", static_cast<double>(usage->threads));
}

void Note(const char* format, auto... values) {
  std::fprintf(stderr, format, values...);
  std::fputc('\n', stderr);
}

int Run(const Options& o) {
  Results results;
  Udp server("127.0.0.1", kServerPort);
  const bool wine = !o.wine.empty();
  std::filesystem::path agent_path(o.agent), echo_path(o.echo);

  Target agent;
  agent.key = "agent";
  agent.port = kAgentPort;
  Target echo;
  echo.key = "echo";
  echo.port = o.echo_port;
  agent.match = agent_path.stem().string();
  echo.match = echo_path.stem().string();
  agent.log = o.logs + "/zalvo-load-agent.log";
  echo.log = o.logs + "/zalvo-load-echo.log";
  std::vector<std::string> agent_args =
      wine ? std::vector<std::string>{"--console", "--quiet"}
           : std::vector<std::string>{"--station", o.station, "--quiet"};
  std::vector<std::string> echo_args = {"--port", std::to_string(o.echo_port)};
  if (wine) {
    agent.program = echo.program = o.wine;
    agent.args = {o.agent};
    echo.args = {o.echo};
  } else {
    agent.program = o.agent;
    echo.program = o.echo;
  }
  agent.args.insert(agent.args.end(), agent_args.begin(), agent_args.end());
  echo.args.insert(echo.args.end(), echo_args.begin(), echo_args.end());
  Target* targets[] = {&agent, &echo};
  if (!wine) {
    // Files that exist are kept, so a station of an earlier run is reused.
    zalvo::sim::Station::CreateSample(o.station, "127.0.0.1");
  }

  // Start-up: alternate starts; the last start of each stays up.
  for (Target* t : targets) {
    std::vector<double> starts;
    for (int i = 0; i < o.starts; ++i) {
      if (i > 0) {
        Stop(*t);
      }
      starts.push_back(Start(*t, server) * 1000);
    }
    results.Set("start." + t->key + ".ms", *zalvo::bench::Percentile(starts, 0.5));
    Note("%s: start-up %.1f ms (median of %d)", t->key.c_str(),
         *results.Get("start." + t->key + ".ms"), o.starts);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  RecordUsage(results, "idle.agent", agent.pid);
  RecordUsage(results, "idle.echo", echo.pid);

  // Round trips: alternate blocks of each payload against each program,
  // after a short warm-up of each.
  struct Payload {
    std::string key;
    std::string_view text;
  };
  const Payload payloads[] = {{"none", kNoCommand}, {"info", kInfo}};
  int64_t lost = 0;
  for (Target* t : targets) {
    RoundTrips(server, t->port, kNoCommand, 500, &lost);
  }
  server.Drain(100);
  lost = 0;
  std::map<std::string, std::vector<double>> samples;
  for (int block = 0; block < o.rtt_blocks; ++block) {
    for (const Payload& p : payloads) {
      for (Target* t : targets) {
        auto got = RoundTrips(server, t->port, p.text, o.rtt_block, &lost);
        auto& all = samples[p.key + "." + t->key];
        all.insert(all.end(), got.begin(), got.end());
        server.Drain(1);
      }
    }
  }
  results.Set("rtt.lost", static_cast<double>(lost));
  for (const Payload& p : payloads) {
    for (const char* stat : {"median", "p99"}) {
      double fraction = std::string(stat) == "median" ? 0.5 : 0.99;
      double a = *zalvo::bench::Percentile(samples[p.key + ".agent"], fraction);
      double e = *zalvo::bench::Percentile(samples[p.key + ".echo"], fraction);
      results.Set("rtt." + p.key + ".agent." + stat + "_us", a);
      results.Set("rtt." + p.key + ".echo." + stat + "_us", e);
      results.Set("rtt." + p.key + ".ratio." + stat, a / e);
      Note("round trip %s %s: agent %.1f us, echo %.1f us, ratio %.3f", p.key.c_str(), stat, a, e,
           a / e);
    }
  }

  // Sustained rate with replies, in alternating blocks.
  std::map<std::string, std::pair<int64_t, double>> sustained;  // answered, seconds
  for (int block = 0; block < 2; ++block) {
    for (Target* t : targets) {
      Rate r = Sustained(server, t->port, o.rate, o.window);
      sustained[t->key].first += r.answered;
      sustained[t->key].second += static_cast<double>(r.answered) / r.per_second;
      results.Set("rate." + t->key + ".lost", results.Get("rate." + t->key + ".lost").value_or(0) +
                                                  static_cast<double>(r.lost));
      server.Drain(50);
    }
  }
  for (Target* t : targets) {
    results.Set("rate." + t->key + ".per_s",
                static_cast<double>(sustained[t->key].first) / sustained[t->key].second);
  }
  results.Set("rate.ratio", *results.Get("rate.agent.per_s") / *results.Get("rate.echo.per_s"));
  Note("sustained: agent %.0f/s, echo %.0f/s", *results.Get("rate.agent.per_s"),
       *results.Get("rate.echo.per_s"));

  // Datagrams from another address: how fast each program drains them.
  for (Target* t : targets) {
    Flood f = FloodFromOther(server, t->port, o.flood_ms, o.flood_count);
    const std::string k = "flood." + t->key;
    results.Set(k + ".sent", static_cast<double>(f.sent));
    results.Set(k + ".kernel_dropped", static_cast<double>(f.kernel_dropped));
    results.Set(k + ".drained_per_s", f.drained_per_second);
    results.Set(k + ".probes", static_cast<double>(f.probes));
    results.Set(k + ".probes_answered", static_cast<double>(f.probes_answered));
    results.Set(k + ".probe_median_us", f.probe_median_us);
    Note("flood %s: sent %lld, kernel dropped %lld, drained %.0f/s, probes %lld/%lld answered",
         t->key.c_str(), static_cast<long long>(f.sent), static_cast<long long>(f.kernel_dropped),
         f.drained_per_second, static_cast<long long>(f.probes_answered),
         static_cast<long long>(f.probes));
  }
  results.Set("flood.ratio",
              *results.Get("flood.agent.drained_per_s") / *results.Get("flood.echo.drained_per_s"));

  // The soak: accepted datagrams with replies; resident size every tenth.
  RecordUsage(results, "soak_start.agent", agent.pid);
  double largest = 0;
  Rate soak =
      Sustained(server, agent.port, o.soak, o.window, std::max<int64_t>(o.soak / 10, 1),
                [&](int64_t answered) {
                  auto usage = zalvo::testing::ReadProcessUsage(agent.pid);
                  if (usage) {
                    largest = std::max(largest, static_cast<double>(usage->resident_bytes) / 1024);
                  }
                  Note("soak: %lld answered, resident %.0f KiB", static_cast<long long>(answered),
                       usage ? static_cast<double>(usage->resident_bytes) / 1024 : -1.0);
                });
  server.Drain(200);
  RecordUsage(results, "soak_end.agent", agent.pid);
  results.Set("soak.answered", static_cast<double>(soak.answered));
  results.Set("soak.lost", static_cast<double>(soak.lost));
  results.Set("soak.per_s", soak.per_second);
  results.Set("soak.largest_rss_kib", largest);
  results.Set("soak.rss_growth_kib",
              *results.Get("soak_end.agent.rss_kib") - *results.Get("soak_start.agent.rss_kib"));

  for (Target* t : targets) {
    Stop(*t);
  }
  std::ofstream(o.out) << results.Serialize();
  return 0;
}

int Report(const std::vector<std::string>& files) {
  std::vector<Results> runs;
  for (const std::string& file : files) {
    runs.push_back(Results::Parse(ReadFile(file)));
  }
  using zalvo::bench::Row;
  std::printf("Round trip of a server datagram to its \"PING\" (microseconds):\n\n%s\n",
              zalvo::bench::RenderTable(
                  runs, {{"no command: agent median", "rtt.none.agent.median_us"},
                         {"no command: echo median", "rtt.none.echo.median_us"},
                         {"**no command: ratio of medians**", "rtt.none.ratio.median", 3},
                         {"no command: agent p99", "rtt.none.agent.p99_us"},
                         {"no command: echo p99", "rtt.none.echo.p99_us"},
                         {"**no command: ratio of p99**", "rtt.none.ratio.p99", 3},
                         {"ACTION INFO: agent median", "rtt.info.agent.median_us"},
                         {"ACTION INFO: echo median", "rtt.info.echo.median_us"},
                         {"ACTION INFO: ratio of medians", "rtt.info.ratio.median", 3},
                         {"ACTION INFO: agent p99", "rtt.info.agent.p99_us"},
                         {"ACTION INFO: echo p99", "rtt.info.echo.p99_us"},
                         {"ACTION INFO: ratio of p99", "rtt.info.ratio.p99", 3},
                         {"replies lost", "rtt.lost", 0}})
                  .c_str());
  std::printf(
      "Datagrams per second:\n\n%s\n",
      zalvo::bench::RenderTable(
          runs,
          {{"with replies: agent", "rate.agent.per_s", 0},
           {"with replies: echo", "rate.echo.per_s", 0},
           {"with replies: ratio", "rate.ratio", 3},
           {"with replies: agent lost", "rate.agent.lost", 0},
           {"other address drained: agent", "flood.agent.drained_per_s", 0},
           {"other address drained: echo", "flood.echo.drained_per_s", 0},
           {"other address drained: ratio", "flood.ratio", 3},
           {"flood sent to agent", "flood.agent.sent", 0},
           {"flood dropped by the kernel (agent's queue full)", "flood.agent.kernel_dropped", 0},
           {"server probes during the flood", "flood.agent.probes", 0},
           {"server probes answered", "flood.agent.probes_answered", 0},
           {"server probe median (us)", "flood.agent.probe_median_us", 0},
           {"flood dropped by the kernel (echo's queue full)", "flood.echo.kernel_dropped", 0},
           {"echo: server probes answered", "flood.echo.probes_answered", 0},
           {"echo: server probes during the flood", "flood.echo.probes", 0}})
          .c_str());
  std::printf("Memory, descriptors, threads and start-up:\n\n%s\n",
              zalvo::bench::RenderTable(
                  runs, {{"agent resident idle (KiB)", "idle.agent.rss_kib", 0},
                         {"agent resident at soak start (KiB)", "soak_start.agent.rss_kib", 0},
                         {"agent resident after soak (KiB)", "soak_end.agent.rss_kib", 0},
                         {"agent resident, largest during soak (KiB)", "soak.largest_rss_kib", 0},
                         {"agent resident growth over soak (KiB)", "soak.rss_growth_kib", 0},
                         {"soak: accepted datagrams answered", "soak.answered", 0},
                         {"soak: lost", "soak.lost", 0},
                         {"soak: datagrams per second", "soak.per_s", 0},
                         {"agent descriptors idle", "idle.agent.fds", 0},
                         {"agent descriptors after soak", "soak_end.agent.fds", 0},
                         {"agent threads idle", "idle.agent.threads", 0},
                         {"agent threads after soak", "soak_end.agent.threads", 0},
                         {"echo resident idle (KiB)", "idle.echo.rss_kib", 0},
                         {"agent start-up to first PING (ms)", "start.agent.ms", 1},
                         {"echo start-up to first PING (ms)", "start.echo.ms", 1},
                         {"zalvos.exe (bytes)", "size.zalvos", 0},
                         {"zalvoc.exe (bytes)", "size.zalvoc", 0},
                         {"zalvoctl.exe (bytes)", "size.zalvoctl", 0},
                         {"zalvo-setup.exe (bytes)", "size.zalvo-setup", 0},
                         {"zalvo_udp_echo.exe (bytes)", "size.zalvo_udp_echo", 0}})
                  .c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  std::string command = argv[1];
  try {
    if (command == "report") {
      return Report(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (command == "keyed") {
      std::string agent, station;
      int64_t count = 200000;
      int runs = 3;
      for (int i = 2; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--agent") {
          agent = argv[i + 1];
        } else if (arg == "--station") {
          station = argv[i + 1];
        } else if (arg == "--flood-count") {
          count = std::stoll(argv[i + 1]);
        } else if (arg == "--runs") {
          runs = std::stoi(argv[i + 1]);
        } else {
          Usage();
          return 2;
        }
      }
      if (agent.empty() || station.empty()) {
        Usage();
        return 2;
      }
      return Keyed(agent, station, count, runs);
    }
    if (command != "run") {
      Usage();
      return 2;
    }
    Options o;
    for (int i = 2; i < argc; ++i) {
      std::string arg = argv[i];
      if (i + 1 >= argc) {
        Usage();
        return 2;
      }
      std::string value = argv[++i];
      if (arg == "--agent")
        o.agent = value;
      else if (arg == "--echo")
        o.echo = value;
      else if (arg == "--out")
        o.out = value;
      else if (arg == "--station")
        o.station = value;
      else if (arg == "--wine")
        o.wine = value;
      else if (arg == "--logs")
        o.logs = value;
      else if (arg == "--echo-port")
        o.echo_port = static_cast<uint16_t>(std::stoi(value));
      else if (arg == "--starts")
        o.starts = std::stoi(value);
      else if (arg == "--rtt-blocks")
        o.rtt_blocks = std::stoi(value);
      else if (arg == "--rtt-block")
        o.rtt_block = std::stoi(value);
      else if (arg == "--rate")
        o.rate = std::stoll(value);
      else if (arg == "--window")
        o.window = std::stoi(value);
      else if (arg == "--flood-ms")
        o.flood_ms = std::stoi(value);
      else if (arg == "--flood-count")
        o.flood_count = std::stoi(value);
      else if (arg == "--soak")
        o.soak = std::stoll(value);
      else {
        Usage();
        return 2;
      }
    }
    if (o.agent.empty() || o.echo.empty() || o.out.empty() ||
        (o.station.empty() == o.wine.empty()) || o.starts < 1 || o.rtt_blocks < 1 ||
        o.rtt_block < 1 || o.window < 1) {
      std::fputs("zalvo_load run: needs --agent, --echo, --out and one of --station, --wine\n",
                 stderr);
      Usage();
      return 2;
    }
    return Run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvo_load: %s\n", e.what());
    return 1;
  }
}
