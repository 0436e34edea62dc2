// The console under a room of reporting stations: N simulated reporters on
// loopback addresses (127.1.x.y) send the status reports and keep-alives a
// station sends, much faster than a station does, while a client
// long-polls the room as the page does. Measures the console's memory and
// CPU per station and the time from a station's datagram to the page's
// update. With --flood it measures the console's peak memory instead, under
// a flood of datagrams from as many addresses as the room takes (each with a
// window list as long as a datagram holds) and then under a flood of wrong
// log-ins from many clients at once beside idle connections. Holds
// /tmp/zalvo-ports.lock (run it through cmake/with-ports-lock.sh or
// bench/run.sh's lock) since it takes port 6868. With --answers (no console
// program) it builds the room's answers in-process instead, the whole room
// and the updates after a few changes, and measures their size and the time
// to build them. With --handshakes it serves the page over TLS and measures
// its peak memory under clients that send a TLS ClientHello and never go on,
// from as many addresses and connections as it takes.
//
//   zalvo_console_load CONSOLE_PROGRAM [--stations N] [--seconds S] [--rate R]
//   zalvo_console_load CONSOLE_PROGRAM --flood [--seconds S]
//   zalvo_console_load CONSOLE_PROGRAM --handshakes [--seconds S]
//   zalvo_console_load --answers [--stations N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/core/room.h"
#include "console/core/web_console.h"
#include "console/record/store.h"
#include "console/web/auth.h"
#include "console/web/web_server.h"
#include "platform/datagram_socket.h"
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"
#include "tests/support/process_stats.h"

namespace {

using zalvo::testing::HttpClient;

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// User plus system CPU time of a process, in seconds.
double CpuSeconds(int64_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15; ++i) {
    fields >> field;
    if (i == 14) {
      utime = std::stoull(field);
    } else if (i == 15) {
      stime = std::stoull(field);
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

std::string Address(int i) {
  return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

double Mib(int64_t bytes) {
  return static_cast<double>(bytes) / 1048576.0;
}

// Starts the process's peak resident size afresh from its current size.
void ResetPeak(int64_t pid) {
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

// The floods, one after the other, each for `seconds`.
int Flood(int64_t pid, int port, int seconds) {
  auto idle = zalvo::testing::ReadProcessUsage(pid);
  ResetPeak(pid);
  // Datagrams: 1100 addresses (the room takes 1024), each sending the
  // longest window list a datagram holds, as fast as the client can.
  std::string list = "PROCESS LIST:";
  while (list.size() < 2000) {
    list += "\"WINDOW " + std::to_string(list.size()) + " OF A LONG CAPTION\",";
  }
  std::vector<std::unique_ptr<zalvo::platform::DatagramSocket>> senders;
  for (int i = 0; i < 1100; ++i) {
    senders.push_back(zalvo::platform::MakeUdpSocket());
    senders.back()->Bind(Address(i), 0);
  }
  uint64_t datagrams = 0;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    for (auto& sender : senders) {
      sender->SendTo("127.0.0.1", 6868, list);
      ++datagrams;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto after_datagrams = zalvo::testing::ReadProcessUsage(pid);
  ResetPeak(pid);

  // Log-ins: 64 clients, each from its own address, send wrong passwords
  // as fast as they are answered (half of them for the operator's name),
  // beside 300 connections from 30 addresses that send nothing.
  // The operator's browser, which has logged in before.
  HttpClient counter("127.0.0.1", port);
  counter.SetLocalAddress("127.0.0.5");
  counter.SetTimeout(std::chrono::seconds(30));
  std::string device;
  if (auto first = counter.Post("/api/login", R"({"name":"bench","password":"bench pass"})")) {
    for (const auto& [name, value] : first->headers) {
      if (value.rfind("zalvo_device=", 0) == 0) {
        device = value.substr(0, value.find(';'));
      }
    }
  }
  std::vector<std::unique_ptr<zalvo::testing::RawConnection>> idlers;
  for (int i = 0; i < 300; ++i) {
    idlers.push_back(std::make_unique<zalvo::testing::RawConnection>(
        "127.0.0.1", port, "127.3.0." + std::to_string(i % 30 + 1)));
  }
  std::atomic<uint64_t> answers[600] = {};
  std::vector<std::thread> clients;
  end = Clock::now() + std::chrono::seconds(seconds);
  for (int i = 0; i < 64; ++i) {
    clients.emplace_back([&, i] {
      HttpClient client("127.0.0.1", port);
      client.SetLocalAddress("127.2.0." + std::to_string(i + 1));
      client.SetTimeout(std::chrono::seconds(30));
      while (Clock::now() < end) {
        // Half guess the operator's password, half other names.
        std::string name = i % 2 == 0 ? "bench" : "guest" + std::to_string(i);
        auto res = client.Post("/api/login", R"({"name":")" + name + R"(","password":"wrong"})");
        ++answers[res ? std::clamp(res->status, 0, 599) : 0];
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds) / 2);
  auto asked = Clock::now();
  auto own = counter.Post("/api/login", R"({"name":"bench","password":"bench pass"})",
                          {{"Cookie", device}});
  double own_ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
  for (auto& client : clients) {
    client.join();
  }
  auto after_logins = zalvo::testing::ReadProcessUsage(pid);
  if (!idle || !after_datagrams || !after_logins) {
    std::fprintf(stderr, "cannot read the console's memory\n");
    return 1;
  }
  std::printf("| resident after one log-in | %.1f MiB |\n", Mib(idle->resident_bytes));
  std::printf(
      "| datagram flood: %llu datagrams of %zu bytes from 1100 addresses in %d s | peak %.1f "
      "MiB |\n",
      static_cast<unsigned long long>(datagrams), list.size(), seconds,
      Mib(after_datagrams->peak_resident_bytes));
  std::printf(
      "| log-in flood: 64 clients with wrong passwords for %d s, 300 idle connections | peak "
      "%.1f MiB; answers: %llu 401, %llu 429, %llu 503, %llu failed |\n",
      seconds, Mib(after_logins->peak_resident_bytes),
      static_cast<unsigned long long>(answers[401].load()),
      static_cast<unsigned long long>(answers[429].load()),
      static_cast<unsigned long long>(answers[503].load()),
      static_cast<unsigned long long>(answers[0].load()));
  std::printf("| the operator's log-in from a known browser amid it | %d in %.0f ms |\n",
              own ? own->status : 0, own_ms);
  std::printf("| threads, descriptors after | %lld, %lld |\n",
              static_cast<long long>(after_logins->threads),
              static_cast<long long>(after_logins->open_descriptors));
  return 0;
}

// A client's first flight of a TLS handshake (its ClientHello, for TLS 1.2
// and 1.3), made by OpenSSL in memory.
std::string ClientHello() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_connect_state(ssl);
  SSL_do_handshake(ssl);  // wants the server's answer
  char* bytes = nullptr;
  long size = BIO_get_mem_data(out, &bytes);
  std::string hello(bytes, static_cast<size_t>(std::max(0L, size)));
  SSL_free(ssl);
  SSL_CTX_free(context);
  return hello;
}

// A TLS connection from the local address whose handshake is done, held
// open without a request; closed at its end.
class HeldTls {
 public:
  HeldTls(SSL_CTX* context, int port, const std::string& local_address) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, local_address.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    timeval wait{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      return;
    }
    ssl_ = SSL_new(context);
    SSL_set_fd(ssl_, fd_);
    done_ = SSL_connect(ssl_) == 1;
  }
  ~HeldTls() {
    if (ssl_) {
      SSL_free(ssl_);
    }
    ::close(fd_);
  }
  HeldTls(const HeldTls&) = delete;
  HeldTls& operator=(const HeldTls&) = delete;
  bool done() const { return done_; }
  // Whether the console closed it.
  bool Closed() const {
    pollfd p{fd_, POLLIN, 0};
    char byte = 0;
    return !done_ || (::poll(&p, 1, 0) == 1 && ::recv(fd_, &byte, 1, MSG_PEEK) <= 0);
  }

 private:
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  bool done_ = false;
};

// Unfinished handshakes: for `seconds`, clients from 64 addresses each keep
// 32 connections open (twice what one address may hold, and all together
// eight times the total), each sending a ClientHello and never answering the
// console's part: whenever the console closes one (at its deadline, or to
// make room), a new one takes its place.
int Handshakes(int64_t pid, int port, int seconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto idle = zalvo::testing::ReadProcessUsage(pid);
  ResetPeak(pid);
  const std::string hello = ClientHello();
  std::atomic<uint64_t> opened{0};
  std::atomic<uint64_t> closed{0};
  auto end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> clients;
  for (int a = 0; a < 64; ++a) {
    clients.emplace_back([&, a] {
      std::string address = "127.4.0." + std::to_string(a + 1);
      std::vector<std::unique_ptr<zalvo::testing::RawConnection>> open(32);
      while (Clock::now() < end) {
        for (auto& connection : open) {
          if (connection && !connection->ClosedWithin(std::chrono::milliseconds(2))) {
            continue;
          }
          if (connection) {
            ++closed;
          }
          connection = std::make_unique<zalvo::testing::RawConnection>("127.0.0.1", port, address);
          connection->Send(hello);
          ++opened;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  for (auto& client : clients) {
    client.join();
  }
  auto after = zalvo::testing::ReadProcessUsage(pid);
  ResetPeak(pid);

  // Finished handshakes held open without a request, from 32 addresses, 16
  // each: a closed one is made again at once.
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  std::atomic<uint64_t> held{0};
  std::atomic<uint64_t> dropped{0};
  end = Clock::now() + std::chrono::seconds(seconds);
  clients.clear();
  for (int a = 0; a < 32; ++a) {
    clients.emplace_back([&, a] {
      std::string address = "127.4.1." + std::to_string(a + 1);
      std::vector<std::unique_ptr<HeldTls>> open(16);
      while (Clock::now() < end) {
        for (auto& connection : open) {
          if (connection && !connection->Closed()) {
            continue;
          }
          if (connection) {
            ++dropped;
          }
          connection = std::make_unique<HeldTls>(context, port, address);
          held += connection->done() ? 1 : 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  for (auto& client : clients) {
    client.join();
  }
  SSL_CTX_free(context);
  auto after_held = zalvo::testing::ReadProcessUsage(pid);
  if (!idle || !after || !after_held) {
    std::fprintf(stderr, "cannot read the console's memory\n");
    return 1;
  }
  std::printf("| resident after one log-in (TLS) | %.1f MiB |\n", Mib(idle->resident_bytes));
  std::printf(
      "| unfinished handshakes: %llu connections from 64 addresses in %d s, %llu closed by the "
      "console | peak %.1f MiB |\n",
      static_cast<unsigned long long>(opened.load()), seconds,
      static_cast<unsigned long long>(closed.load()), Mib(after->peak_resident_bytes));
  std::printf(
      "| finished handshakes held open: %llu made from 32 addresses in %d s, %llu closed by the "
      "console | peak %.1f MiB |\n",
      static_cast<unsigned long long>(held.load()), seconds,
      static_cast<unsigned long long>(dropped.load()), Mib(after_held->peak_resident_bytes));
  std::printf("| threads, descriptors after | %lld, %lld |\n",
              static_cast<long long>(after_held->threads),
              static_cast<long long>(after_held->open_descriptors));
  return 0;
}

// The room's answers built in-process: a room of `stations` that all
// reported (program, free disk, ten windows), half of them rented; the whole
// room, and the update after one station's change (a long poll's usual
// wake) and after a tenth of them changed, each built `rounds` times.
int Answers(int stations) {
  using namespace zalvo::console;
  constexpr Millis kNow = 1'700'000'000'000;
  Room room;
  for (int i = 0; i < stations; ++i) {
    room.AddStation({"PC " + std::to_string(i + 1), Address(i), i % 10 + 1, i / 10 + 1});
    room.OnDatagram(Address(i), "PLAYGAME=COUNTER-STRIKE 1.6", kNow);
    room.OnDatagram(Address(i), "INFO  c:78149MB", kNow);
    std::string list = "PROCESS LIST:";
    for (int w = 0; w < 10; ++w) {
      list += "\"WINDOW " + std::to_string(w) + "\",";
    }
    room.OnDatagram(Address(i), list, kNow);
    if (i % 2 == 0) {
      room.SetSession(Address(i), NewSession(60, kNow, "bench"));
    }
  }
  const int rounds = stations >= 500 ? 400 : 4000;
  auto measure = [&](const char* what, auto change) {
    std::vector<double> us;
    size_t bytes = 0;
    for (int r = 0; r < rounds; ++r) {
      uint64_t after = change(r);
      auto start = Clock::now();
      std::string answer = RoomAnswer(SnapshotOf(room, kNow + 1000, after), "0123456789abcdef");
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      bytes = answer.size();
    }
    std::printf("| %s | %zu bytes | %.0f µs | %.0f µs |\n", what, bytes, Percentile(us, 0.5),
                Percentile(us, 0.99));
  };
  int round = 0;
  auto report = [&](int station) {
    room.OnDatagram(Address(station % stations), "PLAYGAME=GAME " + std::to_string(++round),
                    kNow + 500);
  };
  std::printf("| %d stations | size | build, median | build, 99th percentile |\n", stations);
  std::printf("|---|---|---|---|\n");
  measure("the whole room (after=0)", [&](int) { return uint64_t{0}; });
  measure("update after one station's report", [&](int r) {
    uint64_t after = room.version();
    report(r);
    return after;
  });
  measure("update after a tenth of the stations reported", [&](int r) {
    uint64_t after = room.version();
    for (int i = 0; i < std::max(1, stations / 10); ++i) {
      report(r * 7 + i * 10);
    }
    return after;
  });
  measure("nothing changed (a long poll's time is up)", [&](int) { return room.version(); });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A connection the console closes must not end the client (its TLS
  // writes go through write(2)).
  ::signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && std::string(argv[1]) == "--answers") {
    int stations = 1000;
    if (argc >= 4 && std::string(argv[2]) == "--stations") {
      stations = std::atoi(argv[3]);
    }
    return Answers(std::max(1, stations));
  }
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: zalvo_console_load CONSOLE_PROGRAM [--stations N] [--seconds S] "
                 "[--rate R]\n"
                 "       zalvo_console_load CONSOLE_PROGRAM --flood [--seconds S]\n"
                 "       zalvo_console_load CONSOLE_PROGRAM --handshakes [--seconds S]\n"
                 "       zalvo_console_load --answers [--stations N]\n");
    return 2;
  }
  std::string program = argv[1];
  int stations = 256;
  int seconds = 20;
  int rate = 2;  // status reports per station and second
  bool flood = false;
  bool handshakes = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--flood" || arg == "--handshakes") {
      (arg == "--flood" ? flood : handshakes) = true;
      continue;
    }
    int value = i + 1 < argc ? std::atoi(argv[++i]) : 0;
    if (arg == "--stations") {
      stations = value;
    } else if (arg == "--seconds") {
      seconds = value;
    } else if (arg == "--rate") {
      rate = value;
    }
  }

  fs::path dir = fs::temp_directory_path() / ("zalvo-console-load-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string db = (dir / "console.db").string();
  zalvo::console::InitCrypto();
  zalvo::console::Store(db).SetOperator("bench", zalvo::console::HashPassword("bench pass"));
  std::string log = (dir / "console.log").string();
  std::vector<std::string> args = {"--db", db, "--listen", "127.0.0.1:0", "--bind", "127.0.0.1"};
  if (handshakes) {
    std::string key = (dir / "console.key").string();
    std::string certificate = (dir / "console.crt").string();
    std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-days 2 -subj /CN=zalvo-console -keyout " +
        key + " -out " + certificate + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "openssl could not make a certificate\n");
      return 1;
    }
    args.insert(args.end(), {"--tls-cert", certificate, "--tls-key", key});
  }
  auto console = zalvo::testing::StartProcess(program, args, log);
  std::string marker =
      std::string("listening on ") + (handshakes ? "https" : "http") + "://127.0.0.1:";
  for (int i = 0; i < 200 && ReadFile(log).find(marker) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string out = ReadFile(log);
  if (out.find(marker) == std::string::npos) {
    std::fprintf(stderr, "the console did not start: %s\n", out.c_str());
    console->Stop();
    return 1;
  }
  int port = std::stoi(out.substr(out.find(marker) + marker.size()));
  zalvo::testing::HttpClient http("127.0.0.1", port, handshakes);
  http.SetTimeout(std::chrono::seconds(30));
  auto login = http.Post("/api/login", R"({"name":"bench","password":"bench pass"})");
  std::string cookie = login->Header("Set-Cookie");
  zalvo::testing::HttpHeaders headers{{"Cookie", cookie.substr(0, cookie.find(';'))}};
  if (flood || handshakes) {
    int result =
        flood ? Flood(console->Id(), port, seconds) : Handshakes(console->Id(), port, seconds);
    console->Stop();
    fs::remove_all(dir);
    return result;
  }

  int64_t pid = console->Id();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto idle = zalvo::testing::ReadProcessUsage(pid);

  std::vector<std::unique_ptr<zalvo::platform::DatagramSocket>> reporters;
  for (int i = 0; i < stations; ++i) {
    reporters.push_back(zalvo::platform::MakeUdpSocket());
    reporters.back()->Bind(Address(i), 0);
    reporters.back()->SendTo("127.0.0.1", 6868, "PING");
  }
  // Every station in the room.
  for (int i = 0; i < 500; ++i) {
    auto room = json::parse(http.Get("/api/room", headers)->body);
    if (room["stations"].size() == static_cast<size_t>(stations)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // The load: each station sends its report (foreground program, free disk)
  // and a keep-alive, `rate` times a second, spread over the second.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> sent{0};
  std::thread load([&] {
    auto next = Clock::now();
    uint64_t round = 0;
    auto period = std::chrono::microseconds(1'000'000 / rate / std::max(1, stations));
    while (!stop) {
      for (int i = 1; i < stations && !stop; ++i) {
        auto& r = *reporters[static_cast<size_t>(i)];
        r.SendTo("127.0.0.1", 6868, "PLAYGAME=GAME " + std::to_string(round % 5));
        r.SendTo("127.0.0.1", 6868, "INFO  c:" + std::to_string(50000 + round % 7) + "MB");
        r.SendTo("127.0.0.1", 6868, "PING");
        sent += 3;
        next += period;
        std::this_thread::sleep_until(next);
      }
      ++round;
    }
  });

  // The page's side: long-poll the room; the probe station (the first)
  // reports a new program and the time until the room shows it is taken.
  double cpu_before = CpuSeconds(pid);
  auto start = Clock::now();
  std::vector<double> latencies_ms;
  std::vector<double> room_ms;
  std::vector<double> room_bytes;
  uint64_t version = 0;
  std::string epoch;
  int probe = 0;
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    std::string caption = "PROBE " + std::to_string(++probe);
    auto sent_at = Clock::now();
    reporters[0]->SendTo("127.0.0.1", 6868, "PLAYGAME=" + caption);
    bool seen = false;
    while (!seen && Clock::now() - sent_at < std::chrono::seconds(5)) {
      auto asked = Clock::now();
      auto res =
          http.Get("/api/room?after=" + std::to_string(version) + "&epoch=" + epoch, headers);
      room_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
      auto room = json::parse(res->body);
      room_bytes.push_back(static_cast<double>(res->body.size()));
      version = room["version"];
      epoch = room["epoch"];
      for (const auto& s : room["stations"]) {
        if (s["address"] == Address(0) && s["foreground"] == caption) {
          seen = true;
        }
      }
    }
    if (seen) {
      latencies_ms.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - sent_at).count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = CpuSeconds(pid) - cpu_before;
  stop = true;
  load.join();
  auto loaded = zalvo::testing::ReadProcessUsage(pid);
  std::string whole = http.Get("/api/room", headers)->body;
  auto room = json::parse(whole);
  size_t full_bytes = whole.size();
  console->Stop();
  fs::remove_all(dir);

  double per_second = static_cast<double>(sent.load()) / wall;
  std::printf("| stations | %d |\n", stations);
  std::printf(
      "| datagrams to the console | %.0f a second (%d reports, %d free-disk and %d "
      "keep-alives per station and second) for %.0f s |\n",
      per_second, rate, rate, rate, wall);
  std::printf("| received / understood / failed | %s / %s / %s |\n",
              room["counters"]["datagrams"].dump().c_str(),
              room["counters"]["reports"].dump().c_str(),
              room["counters"]["failed_receives"].dump().c_str());
  std::printf("| console CPU | %.1f %% of one core, %.2f %% per station |\n", 100 * cpu / wall,
              100 * cpu / wall / stations);
  if (idle && loaded) {
    std::printf(
        "| resident memory | %.1f MiB idle, %.1f MiB with the stations: %.1f KiB per "
        "station |\n",
        static_cast<double>(idle->resident_bytes) / 1048576.0,
        static_cast<double>(loaded->resident_bytes) / 1048576.0,
        static_cast<double>(loaded->resident_bytes - idle->resident_bytes) / 1024.0 / stations);
    std::printf("| threads, descriptors | %lld, %lld |\n", static_cast<long long>(loaded->threads),
                static_cast<long long>(loaded->open_descriptors));
  }
  std::printf(
      "| datagram to the page's update (long poll) | median %.2f ms, 99th percentile "
      "%.2f ms, max %.2f ms (%zu probes) |\n",
      Percentile(latencies_ms, 0.5), Percentile(latencies_ms, 0.99), Percentile(latencies_ms, 1.0),
      latencies_ms.size());
  std::printf(
      "| one room request (the long poll) | median %.2f ms, 99th percentile %.2f ms; median %.0f "
      "bytes of JSON (the whole room of %zu stations: %zu bytes) |\n",
      Percentile(room_ms, 0.5), Percentile(room_ms, 0.99), Percentile(room_bytes, 0.5),
      room["stations"].size(), full_bytes);
  return 0;
}
