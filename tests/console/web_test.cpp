// The console's web side in-process: the log-in gate, sessions and the
// names it answers to with a made-up clock, and the HTTP server on loopback
// with short deadlines.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "console/web/auth.h"
#include "console/web/http.h"
#include "tests/support/http_client.h"

namespace zalvo::console {
namespace {

using namespace std::chrono_literals;
using Clock = LoginGate::Clock;
const Clock::time_point kT0 = Clock::time_point{} + 1000h;

TEST(ConsoleLoginGate, OneAttemptPerClientCountedBeforeItsCheck) {
  LoginGate gate;
  auto first = gate.Begin("10.0.0.5", "anna", kT0);
  ASSERT_TRUE(first.admitted());
  EXPECT_EQ(first.check_at, kT0);
  auto parallel = gate.Begin("10.0.0.5", "anna", kT0);
  EXPECT_FALSE(parallel.admitted());
  EXPECT_EQ(parallel.refusal->kind, RefusalKind::kTooMany);
  gate.Finish("10.0.0.5", "anna", false, kT0);
  // Two more wrong ones (other names, so that only the client counts); after
  // the third it waits 1 s, then 2 s.
  for (const char* name : {"bob", "carl"}) {
    ASSERT_TRUE(gate.Begin("10.0.0.5", name, kT0).admitted());
    gate.Finish("10.0.0.5", name, false, kT0);
  }
  auto early = gate.Begin("10.0.0.5", "dora", kT0 + 500ms);
  EXPECT_EQ(early.refusal->kind, RefusalKind::kTooMany);
  EXPECT_EQ(early.retry_after, 1s);
  ASSERT_TRUE(gate.Begin("10.0.0.5", "dora", kT0 + 1s).admitted());
  gate.Finish("10.0.0.5", "dora", false, kT0 + 1s);
  EXPECT_EQ(gate.Begin("10.0.0.5", "dora", kT0 + 2s).retry_after, 1s) << "2 s after the fourth";
  ASSERT_TRUE(gate.Begin("10.0.0.5", "dora", kT0 + 3s).admitted());
  gate.Finish("10.0.0.5", "dora", true, kT0 + 3s);
  // A right password takes back its own name's failures, not the guesses at
  // the others': the next wrong one is the fourth, and the one after waits.
  ASSERT_TRUE(gate.Begin("10.0.0.5", "anna", kT0 + 3s).admitted());
  gate.Finish("10.0.0.5", "anna", false, kT0 + 3s);
  EXPECT_EQ(gate.Begin("10.0.0.5", "anna", kT0 + 3s).retry_after, 2s);
  ASSERT_TRUE(gate.Begin("10.0.0.5", "anna", kT0 + 5s).admitted());
  gate.Finish("10.0.0.5", "anna", true, kT0 + 5s);
  EXPECT_TRUE(gate.Begin("10.0.0.5", "bob", kT0 + 5s).admitted()) << "two failures left";
}

TEST(ConsoleLoginGate, AnAccountUnderAttackIsCheckedLaterNeverLockedOut) {
  LoginGate gate;
  std::vector<Clock::time_point> checks;
  for (int i = 0; i < 6; ++i) {
    auto attempt = gate.Begin("10.0.1." + std::to_string(i), "anna", kT0);
    ASSERT_TRUE(attempt.admitted());
    checks.push_back(attempt.check_at);
  }
  EXPECT_EQ(checks, (std::vector<Clock::time_point>{kT0, kT0, kT0, kT0 + 1s, kT0 + 3s, kT0 + 7s}));
  // The operator's own attempt waits its turn (the delay stops growing at
  // 8 s), and a right password ends the spacing.
  auto own = gate.Begin("10.0.0.2", "anna", kT0);
  ASSERT_TRUE(own.admitted());
  EXPECT_EQ(own.check_at, kT0 + 15s);
  // Nobody is held for more than a minute: later guesses are refused.
  int held = 0;
  for (;; ++held) {
    auto guess = gate.Begin("10.0.3." + std::to_string(held), "anna", kT0);
    if (!guess.admitted()) {
      EXPECT_EQ(guess.refusal->kind, RefusalKind::kUnavailable);
      EXPECT_GT(guess.retry_after, 60s);
      break;
    }
    ASSERT_LT(held, 20);
  }
  EXPECT_EQ(held, 5) << "checks at +23, +31, +39, +47 and +55 s";
  // A browser that logged in as anna before is checked at once, as is one on
  // the server itself (the web side trusts it).
  EXPECT_EQ(gate.Begin("10.0.0.4", "anna", kT0, true).check_at, kT0);
  EXPECT_TRUE(IsLoopback("127.0.0.1") && IsLoopback("::1") && !IsLoopback("127.0.0.2"));
  for (int i = 0; i < 6; ++i) {
    gate.Finish("10.0.1." + std::to_string(i), "anna", false, checks[static_cast<size_t>(i)]);
  }
  gate.Finish("10.0.0.2", "anna", true, kT0 + 15s);
  EXPECT_EQ(gate.Begin("10.0.0.3", "anna", kT0 + 15s).check_at, kT0 + 15s);
}

TEST(ConsoleLoginGate, FewChecksAtOnceOverall) {
  LoginGate::Limits limits;
  limits.checks = 3;
  LoginGate gate(limits);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(
        gate.Begin("10.0.2." + std::to_string(i), "user" + std::to_string(i), kT0).admitted());
  }
  auto busy = gate.Begin("10.0.2.9", "user9", kT0);
  EXPECT_FALSE(busy.admitted());
  EXPECT_EQ(busy.refusal->kind, RefusalKind::kUnavailable);
  gate.Finish("10.0.2.0", "user0", false, kT0);
  EXPECT_TRUE(gate.Begin("10.0.2.9", "user9", kT0).admitted());
  EXPECT_TRUE(gate.Begin("10.0.2.8", "user8", kT0, true).admitted()) << "a known device";
}

// An operator's allowance of actions: a burst, then one a second; each
// operator has their own.
TEST(ConsoleActionLimit, BurstsThenAPerMinuteRate) {
  ActionLimit limit({.burst = 3, .per_minute = 60});
  std::chrono::seconds wait{0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(limit.Take("olga", kT0, wait));
  }
  auto refused = limit.Take("olga", kT0 + 100ms, wait);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind, RefusalKind::kTooMany);
  EXPECT_EQ(refused->text, "too many actions: at most 60 a minute (3 at once); try again in 1 s");
  EXPECT_FALSE(limit.Take("anna", kT0 + 100ms, wait)) << "another operator's own";
  EXPECT_FALSE(limit.Take("olga", kT0 + 1s, wait));
  EXPECT_TRUE(limit.Take("olga", kT0 + 1500ms, wait));
  EXPECT_FALSE(limit.Take("olga", kT0 + 1h, wait));
  EXPECT_FALSE(limit.Take("olga", kT0 + 1h, wait));
  EXPECT_FALSE(limit.Take("olga", kT0 + 1h, wait));
  EXPECT_TRUE(limit.Take("olga", kT0 + 1h, wait)) << "the burst does not grow past its size";
}

TEST(ConsoleOperatorSessions, EndAfterTheirLifetimeEvenInUseAndWhenIdle) {
  OperatorSessions sessions(60min, 10min);
  std::string token = sessions.Open("anna", "hash-1", kT0);
  for (auto at = kT0; at < kT0 + 60min; at += 5min) {
    ASSERT_TRUE(sessions.Find(token, at));
  }
  EXPECT_EQ(sessions.Find(token, kT0 + 59min)->credential, "hash-1");
  EXPECT_FALSE(sessions.Find(token, kT0 + 60min));
  std::string idle = sessions.Open("anna", "hash-1", kT0);
  EXPECT_FALSE(sessions.Find(idle, kT0 + 10min));
  EXPECT_FALSE(sessions.Find("", kT0));
}

TEST(ConsoleAllowedHosts, OnlyTheConsolesOwnNames) {
  AllowedHosts loopback("127.0.0.1", 8080, false, {});
  for (const char* host : {"127.0.0.1:8080", "localhost:8080", "LocalHost:8080", "[::1]:8080"}) {
    EXPECT_TRUE(loopback.Host(host)) << host;
  }
  for (const char* host : {"127.0.0.1", "127.0.0.1:8081", "evil.example:8080", "",
                           "localhost.:8080", "127.0.0.1:8080 ", "127.0.0.1:08080"}) {
    EXPECT_FALSE(loopback.Host(host)) << host;
  }
  EXPECT_TRUE(loopback.Origin("http://localhost:8080"));
  for (const char* origin : {"https://localhost:8080", "null", "http://evil.example:8080", ""}) {
    EXPECT_FALSE(loopback.Origin(origin)) << origin;
  }

  AllowedHosts lan("192.168.1.10", 443, true, {"Console.Club", "tablet.club:8443"});
  for (const char* host :
       {"192.168.1.10", "192.168.1.10:443", "console.club", "tablet.club:8443"}) {
    EXPECT_TRUE(lan.Host(host)) << host;
  }
  for (const char* host : {"localhost:443", "127.0.0.1", "tablet.club", "tablet.club:443"}) {
    EXPECT_FALSE(lan.Host(host)) << host;
  }
  EXPECT_TRUE(lan.Origin("https://console.club"));
  EXPECT_FALSE(lan.Origin("http://console.club"));

  AllowedHosts any("0.0.0.0", 8080, false, {"10.0.0.5"});
  EXPECT_TRUE(any.Host("10.0.0.5:8080"));
  EXPECT_TRUE(any.Host("localhost:8080"));
  EXPECT_FALSE(any.Host("0.0.0.0:8080"));
}

TEST(ConsoleHttpServer, SlowClientsAreCutOffAndWaitingAnswersHoldNoThread) {
  HttpServerOptions options;
  options.threads = 1;
  options.request_deadline = 300ms;
  options.max_connections_per_address = 4;
  options.max_body = 1024;
  std::mutex mutex;
  std::vector<std::shared_ptr<HttpReply>> held;
  HttpServer server(options, [&](HttpRequest request, std::shared_ptr<HttpReply> reply) {
    if (request.path == "/hold") {
      std::lock_guard lock(mutex);
      held.push_back(reply);
      return;
    }
    reply->Send({200,
                 {},
                 request.method + " " + request.Param("q").value_or("-") + " " +
                     request.Header("x-name") + " " + request.remote_address});
  });
  int port = server.Bind("127.0.0.1", 0);
  std::thread serving([&] { server.Run(); });
  auto held_count = [&] {
    std::lock_guard lock(mutex);
    return held.size();
  };

  // Three requests wait for their answers on the server's only thread.
  std::atomic<int> answered{0};
  std::vector<std::thread> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.emplace_back([&] {
      testing::HttpClient client("127.0.0.1", port);
      client.SetLocalAddress("127.0.0.3");
      auto res = client.Get("/hold");
      answered += res && res->status == 202 && res->body == "later" ? 1 : 0;
    });
  }
  for (int i = 0; i < 500 && held_count() < 3; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(held_count(), 3u);
  testing::HttpClient client("127.0.0.1", port);
  auto res = client.Get("/x?a=1&q=b%20c+d", {{"X-Name", "Ann"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, "GET b c d Ann 127.0.0.1");
  res = client.Post("/x", std::string(2000, 'x'));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 413);

  // A client that sends its request a line at a time is cut off at the
  // request's deadline, however steadily it sends.
  testing::RawConnection slow("127.0.0.1", port, "127.0.0.4");
  slow.Send("GET / HTTP/1.1\r\n");
  bool cut = false;
  for (int i = 0; i < 30 && !cut; ++i) {
    std::this_thread::sleep_for(50ms);
    cut = !slow.Send("X-Line: " + std::to_string(i) + "\r\n") || slow.ClosedWithin(1ms);
  }
  EXPECT_TRUE(cut || slow.ClosedWithin(5s));
  EXPECT_GE(server.Counters().too_slow, 1u);

  // Past the bound per address the server closes new connections at once.
  std::vector<std::unique_ptr<testing::RawConnection>> many;
  for (int i = 0; i < 6; ++i) {
    many.push_back(std::make_unique<testing::RawConnection>("127.0.0.1", port, "127.0.0.5"));
  }
  auto closed = [&](std::chrono::milliseconds wait) {
    int count = 0;
    for (auto& connection : many) {
      count += connection->ClosedWithin(wait) ? 1 : 0;
    }
    return count;
  };
  for (int i = 0; i < 250 && closed(0ms) < 2; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(closed(20ms), 2);

  for (auto& reply : held) {
    reply->Send({202, {}, "later"});
    reply->Send({500, {}, "twice"});
  }
  for (auto& thread : waiting) {
    thread.join();
  }
  EXPECT_EQ(answered, 3);
  held.clear();
  server.Stop();
  serving.join();
}

// Over TLS a connection holds one of the handshakes' places until its
// handshake is over: past the bound per address a new one is closed at once,
// past the total the oldest handshake makes room, so that clients that
// connect and never finish can't keep a browser out.
TEST(ConsoleHttpServer, HandshakesAreBoundedPerAddressAndInAll) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("zalvo-web-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string key = (dir / "k.pem").string();
  std::string certificate = (dir / "c.pem").string();
  ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                         "-nodes -days 2 -subj /CN=test -keyout " +
                         key + " -out " + certificate + " 2>/dev/null")
                            .c_str()),
            0);
  HttpServerOptions options;
  options.threads = 1;
  options.tls_certificate_file = certificate;
  options.tls_key_file = key;
  options.max_handshakes = 3;
  options.max_handshakes_per_address = 2;
  HttpServer server(options, [](HttpRequest, std::shared_ptr<HttpReply> reply) {
    reply->Send({200, {}, "hello"});
  });
  int port = server.Bind("127.0.0.1", 0);
  std::thread serving([&] { server.Run(); });

  testing::RawConnection first("127.0.0.1", port, "127.0.0.6");
  testing::RawConnection second("127.0.0.1", port, "127.0.0.6");
  std::this_thread::sleep_for(50ms);
  testing::RawConnection third("127.0.0.1", port, "127.0.0.6");
  EXPECT_TRUE(third.ClosedWithin(5s)) << "two handshakes from one address";
  EXPECT_FALSE(first.ClosedWithin(20ms));
  testing::RawConnection other("127.0.0.1", port, "127.0.0.7");
  EXPECT_FALSE(other.ClosedWithin(50ms)) << "the third place";
  testing::HttpClient browser("127.0.0.1", port, true);
  browser.SetLocalAddress("127.0.0.8");
  auto answer = browser.Get("/");
  ASSERT_TRUE(answer) << "the oldest handshake made room";
  EXPECT_EQ(answer->body, "hello");
  EXPECT_TRUE(first.ClosedWithin(5s));
  EXPECT_FALSE(second.ClosedWithin(20ms));
  EXPECT_GE(server.Counters().made_room, 1u);
  server.Stop();
  serving.join();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zalvo::console
