// zalvo-console from outside: its HTTP API (log-in, cookie, cross-site
// requests, bad input), the record across a crash, the UDP side with a real
// agent on its own loopback address and with hostile datagrams, and the
// database files it must refuse to run on; then what a customer on the LAN
// may try: other sites' names, parallel guesses, slow clients, plain HTTP,
// stations that report by themselves.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "console/core/session_export.h"
#include "console/core/web_console.h"
#include "console/record/store.h"
#include "console/web/auth.h"
#include "platform/datagram_socket.h"
#include "protocol/commands.h"
#include "protocol/key_file.h"
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"
#include "tests/support/wait_until.h"

namespace zalvo::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kStationAddress = "127.0.0.21";

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The agent over a simulated station in `dir`, on its own loopback address,
// answering the console on 127.0.0.1:6868; once it has loaded its settings.
std::unique_ptr<ChildProcess> StartAgentAt(const fs::path& dir, const std::string& address,
                                           const std::vector<std::string>& more = {}) {
  std::string output = (dir.parent_path() / (dir.filename().string() + ".log")).string();
  std::vector<std::string> args = {"--station", dir.string(), "--sample", "--tick-ms",
                                   "50",        "--bind",     address};
  args.insert(args.end(), more.begin(), more.end());
  auto agent = StartProcess(ZALVOS_PROGRAM, args, output);
  EXPECT_TRUE(WaitUntil([&] {
    return ReadFile(output).find("settings loaded") != std::string::npos;
  })) << ReadFile(output);
  return agent;
}

// A station that answers as an agent does, to the port the command came
// from (a console inside the test holds no fixed port): a report for
// "ACTION INFO", its session's state for "ACTION STATE", "PING" for the
// rest; "ACTION SIT" begins its session and "ACTION STAND"s end it, with the
// agent's arithmetic (its clock stands still).
class AnsweringStation {
 public:
  explicit AnsweringStation(const std::string& address) : socket_(platform::MakeUdpSocket()) {
    socket_->Bind(address, protocol::kCommandPort);
    thread_ = std::thread([this] {
      while (auto datagram = socket_->Receive(-1)) {
        if (datagram->byte_count > 0) {
          socket_->SendToAddress(datagram->from_address, datagram->from_port,
                                 Answer(datagram->bytes));
        }
      }
    });
  }
  ~AnsweringStation() {
    socket_->Shutdown();
    thread_.join();
  }

 private:
  std::string Answer(std::string_view command) {
    if (command == "ACTION INFO") {
      return "INFO  c:100MB";
    }
    if (command == "ACTION STATE") {
      return "STATE " + std::string(running_ ? "1 " : "0 ") + std::to_string(seconds_);
    }
    if (command.starts_with("ACTION SIT ")) {
      running_ = true;
      seconds_ = 60 * std::stoi(std::string(command.substr(11)));
    } else if (command == "ACTION STAND") {
      seconds_ = std::min(seconds_, 120) - 20;
      running_ = running_ && seconds_ > 0;
    }
    return "PING";
  }

  std::unique_ptr<platform::DatagramSocket> socket_;
  std::thread thread_;
  bool running_ = false;  // the receiving thread's
  int seconds_ = 0;
};

class ConsoleApi : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zalvo-console-test-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    db_ = (dir_ / "console.db").string();
    console::InitCrypto();
    console::Store(db_).SetOperator("anna", console::HashPassword("right horse"));
    std::ofstream(dir_ / "room.txt") << "\"PC 1\" " << kStationAddress << " 1 1\n"
                                     << "\"<b>PC 2</b>\" 127.0.0.22 2 1\n";
  }

  void TearDown() override {
    if (console_) {
      console_->Stop();
    }
    if (agent_) {
      agent_->Stop();
    }
    fs::remove_all(dir_);
  }

  void StartConsole(const std::vector<std::string>& more = {}, bool tls = false) {
    std::string output = (dir_ / "console.log").string();
    std::vector<std::string> args = {"--db", db_, "--room", (dir_ / "room.txt").string(),
                                     "--listen", "127.0.0.1:0", "--bind", "127.0.0.1",
                                     "--keepalive-ms", "5000",
                                     // The tests send their requests faster than an operator: only
                                     // the test of the allowance has the default.
                                     "--action-limit", "1000,60000"};
    args.insert(args.end(), more.begin(), more.end());
    console_ = StartProcess(ZALVO_CONSOLE_PROGRAM, args, output);
    std::string marker = std::string("listening on ") + (tls ? "https" : "http") + "://127.0.0.1:";
    ASSERT_TRUE(WaitUntil([&] {
      return ReadFile(output).find(marker) != std::string::npos || !console_->Running();
    })) << ReadFile(output);
    std::string log = ReadFile(output);
    size_t at = log.find(marker);
    ASSERT_NE(at, std::string::npos) << log;
    port_ = std::stoi(log.substr(at + marker.size()));
    http_ = std::make_unique<HttpClient>("127.0.0.1", port_, tls);
    cookie_.clear();
  }

  void RestartConsole() {
    console_->Stop();
    StartConsole();
  }

  // Runs a command to its end; its exit code and output.
  std::pair<int, std::string> Run(const std::vector<std::string>& command) {
    std::string output = (dir_ / "run.log").string();
    auto child = StartProcess(command[0], {command.begin() + 1, command.end()}, output);
    bool ended = WaitUntil([&] { return !child->Running(); }, 15s);
    if (!ended) {
      child->Stop();
    }
    EXPECT_TRUE(ended) << "still running: " << command[0] << " " << ReadFile(output);
    return {child->ExitCode(), ReadFile(output)};
  }
  std::pair<int, std::string> Shell(const std::string& line) {
    return Run({"/bin/sh", "-c", line});
  }

  // The actions of that name carried out (or refused for that reason) on
  // record.
  int64_t RecordedActions(const std::string& action, const std::string& outcome = "") {
    sqlite3* db = nullptr;
    sqlite3_stmt* count = nullptr;
    int64_t n = -1;
    if (sqlite3_open(db_.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM actions WHERE action = ? AND outcome = ?", -1,
                           &count, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(count, 1, action.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(count, 2, outcome.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(count) == SQLITE_ROW) {
        n = sqlite3_column_int64(count, 0);
      }
    }
    sqlite3_finalize(count);
    sqlite3_close(db);
    return n;
  }

  int Station(const std::string& csrf, const json& body) {
    return Post("/api/station", body.dump(), csrf)->status;
  }

  void StartAgent() { agent_ = StartAgentAt(dir_ / "station", kStationAddress); }

  HttpHeaders Json(const std::string& csrf = "") {
    HttpHeaders headers{{"Cookie", cookie_}};
    if (!csrf.empty()) {
      headers.emplace_back("X-Zalvo-Csrf", csrf);
    }
    return headers;
  }

  std::optional<HttpResult> Post(const std::string& path, const std::string& body,
                                 const std::string& csrf = "") {
    return http_->Post(path, body, Json(csrf));
  }

  // Logs in; returns the CSRF token, and keeps the cookie.
  std::string LogIn(const std::string& password = "right horse", const std::string& name = "anna") {
    auto res = http_->Post("/api/login", json{{"name", name}, {"password", password}}.dump());
    if (!res || res->status != 200) {
      return "";
    }
    std::string set_cookie = res->Header("Set-Cookie");
    EXPECT_NE(set_cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(set_cookie.find("SameSite=Strict"), std::string::npos);
    cookie_ = set_cookie.substr(0, set_cookie.find(';'));
    return json::parse(res->body)["csrf"];
  }

  json Room() {
    auto res = http_->Get("/api/room", Json());
    EXPECT_TRUE(res && res->status == 200);
    return res ? json::parse(res->body) : json();
  }

  json StationOf(const std::string& address) {
    json room = Room();
    for (const auto& s : room["stations"]) {
      if (s["address"] == address) {
        return s;
      }
    }
    return nullptr;
  }

  json Act(const std::string& csrf, json body, int expected = 200) {
    auto res = Post("/api/act", body.dump(), csrf);
    EXPECT_TRUE(res);
    EXPECT_EQ(res->status, expected) << body << " -> " << res->body;
    return json::parse(res->body);
  }

  std::string Registry() {
    return ReadFile(dir_ / "station" / "registry" / "HKEY_LOCAL_MACHINE.reg");
  }

  fs::path dir_;
  std::string db_;
  std::string cookie_;
  std::unique_ptr<ChildProcess> console_;
  std::unique_ptr<ChildProcess> agent_;
  int port_ = 0;
  std::unique_ptr<HttpClient> http_;
};

TEST_F(ConsoleApi, LogInCookieAndCrossSiteRequests) {
  StartConsole();
  EXPECT_EQ(http_->Get("/api/room")->status, 401);
  EXPECT_EQ(http_->Get("/api/room", {{"Cookie", "zalvo_session=0123abcd"}})->status, 401);
  EXPECT_EQ(LogIn("wrong horse"), "");
  std::string csrf = LogIn();
  ASSERT_FALSE(csrf.empty());
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 200);
  // Without a key the console says so at its start, and the page to every
  // operator.
  EXPECT_NE(ReadFile(dir_ / "console.log").find("warning: no club key (--key-file)"),
            std::string::npos);
  EXPECT_EQ(Room()["keyed"], false);
  EXPECT_EQ(StationOf(kStationAddress)["verified"], false);
  auto page = http_->Get("/");
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->Header("Content-Security-Policy").find("default-src 'self'"), std::string::npos);

  std::string info = json{{"action", "info"}, {"stations", {kStationAddress}}}.dump();
  EXPECT_EQ(Post("/api/act", info)->status, 403) << "no CSRF token";
  EXPECT_EQ(Post("/api/act", info, (csrf[0] == '0' ? "1" : "0") + csrf.substr(1))->status, 403)
      << "a wrong one";
  auto from_elsewhere = Json(csrf);
  from_elsewhere.emplace_back("Origin", "http://evil.example");
  EXPECT_EQ(http_->Post("/api/act", info, from_elsewhere)->status, 403);
  EXPECT_EQ(http_->Post("/api/act", info, Json(csrf), "text/plain")->status, 403)
      << "a plain form post";
  HttpHeaders login_elsewhere{{"Origin", "http://evil.example"}};
  EXPECT_EQ(http_
                ->Post("/api/login", json{{"name", "anna"}, {"password", "right horse"}}.dump(),
                       login_elsewhere)
                ->status,
            403);
  EXPECT_EQ(Post("/api/act", info, csrf)->status, 200);

  EXPECT_EQ(Post("/api/logout", "{}", csrf)->status, 200);
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 401) << "the cookie ends with the log-out";
}

TEST_F(ConsoleApi, BadRequestsAreRefusedAndChangeNothing) {
  StartConsole();
  std::string csrf = LogIn();
  auto status = [&](const std::string& body) { return Post("/api/act", body, csrf)->status; };
  EXPECT_EQ(status("{\"action\": \"start\", "), 400);
  EXPECT_EQ(status("[1, 2]"), 400);
  EXPECT_EQ(status(R"({"action":"start","stations":["127.0.0.21"],"minutes":30,"price":5})"), 400);
  EXPECT_EQ(status(R"({"action":"start","stations":["127.0.0.99"],"minutes":30})"), 404);
  EXPECT_EQ(status(R"({"action":"start","stations":["127.0.0.21","<script>"],"minutes":30})"), 404);
  EXPECT_EQ(status(R"({"action":"start","stations":["127.0.0.21"],"minutes":0})"), 400);
  EXPECT_EQ(status(R"({"action":"start","stations":["127.0.0.21"],"minutes":"30"})"), 400);
  EXPECT_EQ(status(R"({"action":"start","stations":["127.0.0.21"],"minutes":99999999999})"), 400);
  // Minutes are a JSON integer from 1 to 10080, never rounded or read from
  // a text.
  for (const char* minutes :
       {"15.0", "1e1", "1.5", "-5", "10081", "true", "null", "[15]", "18446744073709551615"}) {
    EXPECT_EQ(status(std::string(R"({"action":"add","stations":["127.0.0.21"],"minutes":)") +
                     minutes + "}"),
              400)
        << minutes;
  }
  EXPECT_EQ(http_->Get("/api/quote?minutes=6o", Json())->status, 400);
  EXPECT_EQ(http_->Get("/api/quote?minutes=0030", Json())->status, 200);
  EXPECT_EQ(status(R"({"action":"volume","stations":["127.0.0.21"],"volume":101})"), 400);
  EXPECT_EQ(status(R"({"action":"reboot","stations":["127.0.0.21"]})"), 400);
  EXPECT_EQ(status(R"({"action":"format","stations":["127.0.0.21"]})"), 400);
  EXPECT_EQ(status(R"({"action":"info","stations":[]})"), 400);
  std::string huge = R"({"action":"kill","stations":["127.0.0.21"],"caption":")" +
                     std::string(64 * 1024, 'A') + "\"}";
  EXPECT_EQ(status(huge), 413);
  EXPECT_EQ(http_->Get("/api/sessions?day=yesterday", Json())->status, 400);
  EXPECT_EQ(http_->Get("/api/windows?station=127.0.0.99", Json())->status, 404);

  EXPECT_EQ(StationOf(kStationAddress)["state"], "free");
  auto sessions = http_->Get("/api/sessions", Json());
  EXPECT_TRUE(json::parse(sessions->body)["sessions"].empty());
  console_->Stop();
  console_.reset();
  EXPECT_EQ(console::Store(db_).ActionCount(), 2)
      << "only the room file's taking in and the log-in";
}

// Every refusal names its reason and gets the status of its kind: one of
// each kind the API gives.
TEST_F(ConsoleApi, EachRefusalHasTheStatusOfItsKind) {
  StartConsole({"--probe-wait-ms", "200"});
  auto refused = [&](const std::optional<HttpResult>& res, int status, const std::string& kind,
                     const std::string& text) {
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status) << res->body;
    json body = json::parse(res->body);
    if (body.contains("results")) {
      body = body["results"][0];
    }
    EXPECT_EQ(body["kind"], kind) << res->body;
    EXPECT_EQ(body["error"], text) << res->body;
  };
  refused(http_->Get("/api/room"), 401, "not_logged_in", "log in first");
  std::string csrf = LogIn();
  auto act = [&](const json& body, const std::string& token) {
    return Post("/api/act", body.dump(), token);
  };
  json end{{"action", "end"}, {"stations", {kStationAddress}}};
  refused(act({{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 0}}, csrf), 400,
          "bad_request", "'minutes' must be a whole number from 1 to 10080");
  refused(act(end, ""), 403, "not_allowed",
          "refused: the request did not come from the console's page");
  refused(act({{"action", "end"}, {"stations", {"127.0.0.99"}}}, csrf), 404, "not_found",
          "no station at '127.0.0.99'");
  refused(http_->Get("/api/act", Json()), 405, "wrong_method", "use POST");
  refused(act(end, csrf), 409, "conflict", "nothing to end");
  refused(act({{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 5}}, csrf), 503,
          "unavailable", "the station does not answer");
  for (int i = 0; i < 3; ++i) {
    LogIn("guess " + std::to_string(i));
  }
  refused(http_->Post("/api/login", json{{"name", "anna"}, {"password", "x"}}.dump()), 429,
          "too_many", "too many wrong passwords: try again in 1 s");
}

TEST_F(ConsoleApi, WrongPasswordsAreSlowedDown) {
  StartConsole();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(LogIn("guess " + std::to_string(i)), "");
  }
  auto res = http_->Post("/api/login", json{{"name", "anna"}, {"password", "right horse"}}.dump());
  EXPECT_EQ(res->status, 429) << "even the right password waits";
  EXPECT_FALSE(res->Header("Retry-After").empty());
  std::this_thread::sleep_for(1100ms);
  EXPECT_FALSE(LogIn().empty());
}

TEST_F(ConsoleApi, SessionsOnARealStationSurviveACrash) {
  StartAgent();
  StartConsole();
  std::string csrf = LogIn();
  // The agent on 127.0.0.21 answers the console on 127.0.0.1:6868.
  ASSERT_TRUE(WaitUntil([&] { return StationOf(kStationAddress)["online"] == true; }))
      << Room().dump();
  EXPECT_FALSE(StationOf(kStationAddress)["free_mb"].is_null());

  Act(csrf, {{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 30}});
  EXPECT_TRUE(WaitUntil([&] {
    return Registry().find("\"LocalTimer\"=dword:00000708") != std::string::npos;
  })) << Registry();
  json pc = StationOf(kStationAddress);
  EXPECT_EQ(pc["state"], "rented");
  EXPECT_NEAR(pc["session"]["seconds_left"].get<int>(), 1800, 5);
  auto again =
      Act(csrf, {{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 5}}, 409);
  EXPECT_FALSE(again["results"][0]["ok"]);

  Act(csrf, {{"action", "add"}, {"stations", {kStationAddress}}, {"minutes", 15}});
  EXPECT_TRUE(WaitUntil([&] {
    return Registry().find("\"LocalTimer\"=dword:00000a8c") != std::string::npos;
  })) << Registry();
  json before_crash = StationOf(kStationAddress)["session"];

  // A crash: the room comes back from the record.
  console_->Kill();
  StartConsole();
  csrf = LogIn();
  json after = StationOf(kStationAddress);
  EXPECT_EQ(after["state"], "rented");
  EXPECT_EQ(after["session"]["ends_at"], before_crash["ends_at"]);
  EXPECT_EQ(after["session"]["minutes"], 45);

  Act(csrf, {{"action", "end"}, {"stations", {kStationAddress}}});
  EXPECT_TRUE(WaitUntil([&] {
    return Registry().find("\"ZalvoLogon\"=\"0\"") != std::string::npos;
  })) << Registry();
  EXPECT_TRUE(WaitUntil([&] {
    return ReadFile(dir_ / "station" / "journal.log").find("LockWorkStation") != std::string::npos;
  }));
  EXPECT_EQ(StationOf(kStationAddress)["state"], "free");

  auto sessions = json::parse(http_->Get("/api/sessions", Json())->body)["sessions"];
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["station"], "PC 1");
  EXPECT_EQ(sessions[0]["minutes"], 45);
  EXPECT_EQ(sessions[0]["started_by"], "anna");
  EXPECT_EQ(sessions[0]["ended_by"], "anna");
  auto csv = http_->Get("/api/sessions.csv", Json());
  EXPECT_EQ(csv->Header("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_NE(csv->body.find("\r\nPC 1,127.0.0.21,"), std::string::npos) << csv->body;
  EXPECT_NE(csv->body.find(",45,anna,anna,1,,,,,,,,\r\n"), std::string::npos) << csv->body;
}

TEST_F(ConsoleApi, HostileDatagramsAreCountedNeverShown) {
  StartConsole();
  LogIn();
  auto garbage = platform::MakeUdpSocket();
  garbage->Bind("127.0.0.30", 0);
  garbage->SendTo("127.0.0.1", 6868, "\xFF\xFE<script>alert(1)</script>");
  garbage->SendTo("127.0.0.1", 6868, std::string(3000, 'P'));
  auto impostor = platform::MakeUdpSocket();
  impostor->Bind("127.0.0.31", 0);
  impostor->SendTo("127.0.0.1", 6868, "PLAYGAME=<IMG SRC=X ONERROR=ALERT(1)>");
  auto pc1 = platform::MakeUdpSocket();
  pc1->Bind(kStationAddress, 0);
  pc1->SendTo("127.0.0.1", 6868, "INFO  c:-5MB");
  ASSERT_TRUE(WaitUntil([&] { return Room()["counters"]["datagrams"] == 4; })) << Room().dump();
  json room = Room();
  EXPECT_EQ(room["counters"]["unknown_sender"], 1);
  EXPECT_EQ(room["counters"]["failed_receives"], 1);
  EXPECT_EQ(room["counters"]["garbage"], 1);
  EXPECT_EQ(room["counters"]["stations_added"], 1);
  EXPECT_TRUE(StationOf("127.0.0.30").is_null());
  EXPECT_EQ(StationOf("127.0.0.31")["foreground"], "<IMG SRC=X ONERROR=ALERT(1)>");
  EXPECT_EQ(StationOf("127.0.0.31")["unknown"], true) << "not in the room's file";
  json pc = StationOf(kStationAddress);
  EXPECT_FALSE(pc["online"]);
  EXPECT_TRUE(pc["free_mb"].is_null());
}

// The record holds the operators' password hashes: created for its owner
// alone, and an existing one that others may read is tightened, saying so.
TEST_F(ConsoleApi, KeepsItsRecordForItsOwnerAlone) {
  const fs::perms owner_only = fs::perms::owner_read | fs::perms::owner_write;
  EXPECT_EQ(fs::status(db_).permissions(), owner_only);
  fs::permissions(db_, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  console::Store again(db_);
  ASSERT_EQ(again.notes().size(), 1u);
  EXPECT_EQ(again.notes()[0], db_ +
                                  " could be read by other users (mode 0644): now only its owner "
                                  "may (mode 0600)");
  EXPECT_EQ(fs::status(db_).permissions(), owner_only);
  EXPECT_TRUE(console::Store(db_).notes().empty());
}

// A record the console cannot trust or write: it says so and exits non-zero.
TEST_F(ConsoleApi, RefusesToRunWithoutItsRecord) {
  auto run = [&](const std::vector<std::string>& prefix, const std::string& db) {
    std::vector<std::string> args = prefix;
    args.insert(args.end(), {ZALVO_CONSOLE_PROGRAM, "--db", db, "--listen", "127.0.0.1:0"});
    auto [code, output] = Run(args);
    EXPECT_NE(code, 0) << db << " was accepted: " << output;
    return output;
  };

  std::ofstream(dir_ / "corrupt.db", std::ios::binary) << std::string(8192, '\x5A');
  EXPECT_NE(run({}, (dir_ / "corrupt.db").string()).find("not a database"), std::string::npos);

  // A real database whose pages were overwritten in the middle.
  {
    console::Store store((dir_ / "damaged.db").string());
    for (int i = 0; i < 400; ++i) {
      store.RecordAction(i, "anna", "PC 1", "info", std::string(200, 'x'));
    }
  }
  {
    std::fstream file(dir_ / "damaged.db", std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(3 * 4096);
    file << std::string(3000, '\x01');
  }
  std::string damaged = run({}, (dir_ / "damaged.db").string());
  EXPECT_TRUE(damaged.find("damaged") != std::string::npos ||
              damaged.find("malformed") != std::string::npos)
      << damaged;

  // Locked: another process holds the write lock.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_NE(run({}, db_).find("locked"), std::string::npos);
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);

  // Read-only: the file belongs to root and the console runs as nobody.
  if (::geteuid() == 0 && fs::exists("/usr/bin/setpriv")) {
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(db_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read);
    fs::remove(db_ + "-wal");
    fs::remove(db_ + "-shm");
    std::string output =
        run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, db_);
    EXPECT_NE(output.find("read-only"), std::string::npos) << output;
  }
}

// The record, failing an action's line on demand.
class RecordFailingActions final : public console::Store {
 public:
  using Store::Store;
  bool fail = false;

  void RecordAction(console::Millis at, const std::string& by, const std::string& station,
                    const std::string& action, const std::string& detail) override {
    if (fail) {
      throw console::RecordError("the disk is full");
    }
    Store::RecordAction(at, by, station, action, detail);
  }
};

// A console in this process over the record, on a clock the test moves,
// holding the reply port, with its station PC 1: a real agent on
// 127.0.0.77 (PC 2 on 127.0.0.78 is for a test to answer for).
struct InProcessConsole {
  static constexpr const char* kPc1 = "127.0.0.77";
  static constexpr const char* kPc2 = "127.0.0.78";

  InProcessConsole(console::Record& record, const fs::path& dir,
                   console::WebConsoleOptions options = {}, console::RoomOptions room_options = {},
                   std::unique_ptr<console::Envelope> sealing = nullptr,
                   const std::vector<std::string>& agent_options = {})
      : station_dir(dir / "pc1"),
        envelope(sealing ? std::move(sealing) : std::make_unique<console::PlainEnvelope>()),
        agent_args(agent_options) {
    StartAgent();
    record.AddStation({"PC 1", kPc1}, 0);
    record.AddStation({"PC 2", kPc2}, 0);
    options.udp_address = "127.0.0.1";
    options.clock = [this] { return now.load(); };
    options.log = [this](const std::string& line) {
      std::lock_guard lock(log_mutex);
      log += line + "\n";
    };
    web = std::make_unique<console::WebConsole>(console::Room(room_options), record, *envelope,
                                                *socket, options);
    web->OpenRoom();
    web->RestoreSessions();
    web->Start();
  }
  ~InProcessConsole() {
    web.reset();
    if (agent) {
      agent->Stop();
    }
  }
  void StartAgent() { agent = StartAgentAt(station_dir, kPc1, agent_args); }
  void KillAgent() {
    agent->Kill();
    agent.reset();
  }

  console::ActionOutcome Act(console::ActionKind kind, const std::string& by, int32_t minutes = 0,
                             std::optional<bool> refund = std::nullopt, bool queue = false) {
    console::ActionRequest request;
    request.kind = kind;
    request.stations = {kPc1};
    request.minutes = minutes;
    request.refund = refund;
    request.queue = queue;
    return web->Act(by, request).at(0);
  }
  console::Station Pc1() { return web->Snapshot().stations.at(0); }
  bool Rented() { return Pc1().session.has_value(); }
  console::Connection Connection() { return web->Snapshot().connection.at(0); }
  std::string Registry() { return ReadFile(station_dir / "registry" / "HKEY_LOCAL_MACHINE.reg"); }
  std::string Journal() { return ReadFile(station_dir / "journal.log"); }
  std::string Log() {
    std::lock_guard lock(log_mutex);
    return log;
  }
  // Waits for the predicate while the console's clock runs five times as
  // fast as the test's (its asks, re-sends and queues go by it).
  template <typename Predicate>
  bool Until(Predicate predicate, std::chrono::milliseconds limit = 10s) {
    return WaitUntil(
        [&] {
          now += 100;
          return predicate();
        },
        limit);
  }
  fs::path station_dir;
  std::unique_ptr<console::Envelope> envelope;
  std::vector<std::string> agent_args;
  std::unique_ptr<ChildProcess> agent;
  std::atomic<console::Millis> now{1'700'000'000'000};
  std::mutex log_mutex;
  std::string log;
  std::unique_ptr<platform::DatagramSocket> socket = platform::MakeUdpSocket();
  std::unique_ptr<console::WebConsole> web;
};

// Gives the console's record a till (the room file's way in): whether any of
// it was new.
bool Seeded(console::WebConsole& web, const console::TillPlan& till) {
  return web.TakeOver("anna", {{}, till}) > 0;
}

// A console in this process over the record, on a clock the test moves,
// on a port of its own (no agent's port), and its stations: PC 1 and PC 2
// answer every command with a report, PC 3 never answers.
struct AnsweredConsole {
  explicit AnsweredConsole(console::Record& record, console::WebConsoleOptions options = {}) {
    record.AddStation({"PC 1", "127.0.0.77"}, 0);
    record.AddStation({"PC 2", "127.0.0.78"}, 0);
    record.AddStation({"PC 3", "127.0.0.79"}, 0);
    options.udp_address = "127.0.0.1";
    options.udp_port = 0;
    options.clock = [this] { return now.load(); };
    web =
        std::make_unique<console::WebConsole>(console::Room(), record, envelope, *socket, options);
    web->OpenRoom();
    web->RestoreSessions();
    web->Start();
  }
  // An action on the station at `address`, by an operator of that role.
  console::ActionOutcome Act(console::ActionKind kind, const std::string& address,
                             const std::string& by, console::Role role, int32_t minutes = 0,
                             const std::string& reason_or_to = "") {
    console::ActionRequest request;
    request.kind = kind;
    request.stations = {address};
    request.minutes = minutes;
    request.role = role;
    (kind == console::ActionKind::kMove ? request.to : request.reason) = reason_or_to;
    request.refund = true;
    return web->Act(by, request).at(0);
  }
  console::ActionOutcome Change(const std::string& by, console::TillChange change) {
    return web->ChangeTill(by, change);
  }
  const console::Station& StationAt(const std::string& address) {
    snapshot = web->Snapshot();
    for (const auto& each : snapshot.stations) {
      if (each.address == address) {
        return each;
      }
    }
    throw std::runtime_error("no station " + address);
  }

  std::atomic<console::Millis> now{1'700'000'000'000};
  console::PlainEnvelope envelope;
  std::unique_ptr<platform::DatagramSocket> socket = platform::MakeUdpSocket();
  AnsweringStation station{"127.0.0.77"};
  AnsweringStation second{"127.0.0.78"};
  console::RoomSnapshot snapshot;
  std::unique_ptr<console::WebConsole> web;
};

// The sessions' lines of the record's action log with that action.
int64_t CountActions(console::Store& store, const std::string& action) {
  int64_t n = 0;
  console::ActionQuery all;
  all.to = INT64_MAX;
  all.most = 10'000;
  for (const auto& line : store.Actions(all)) {
    n += line.action == action && line.outcome.empty() ? 1 : 0;
  }
  return n;
}

// An action whose line can't be recorded leaves the record, the room and the
// station as they were: no session begun or ended in one and not the other.
TEST_F(ConsoleApi, AnActionIsRecordedWholeOrNotAtAll) {
  RecordFailingActions record(db_);
  console::Store& store = record;
  InProcessConsole console(record, dir_);
  using console::ActionKind;

  record.fail = true;
  EXPECT_FALSE(console.Act(ActionKind::kStart, "anna", 30).ok());
  EXPECT_FALSE(console.Rented());
  EXPECT_TRUE(store.OpenSessions().empty());

  record.fail = false;
  ASSERT_TRUE(console.Act(ActionKind::kStart, "anna", 30).ok());
  record.fail = true;
  EXPECT_FALSE(console.Act(ActionKind::kAdd, "anna", 30).ok());
  EXPECT_FALSE(console.Act(ActionKind::kEnd, "anna").ok());
  EXPECT_TRUE(console.Rented());
  ASSERT_EQ(store.OpenSessions().size(), 1u);
  EXPECT_EQ(store.OpenSessions()[0].minutes, 30);
  EXPECT_EQ(RecordedActions("start") + RecordedActions("add") + RecordedActions("end"), 1);
  EXPECT_EQ(console.web->Snapshot().connection.at(0), console::Connection::kOnline);

  record.fail = false;
  EXPECT_TRUE(console.Act(ActionKind::kEnd, "anna").ok());
  EXPECT_FALSE(console.Rented());
  EXPECT_TRUE(store.OpenSessions().empty());
}

// Minutes are sold in the shift open at the time, at the tariff then; an
// early end offers the unused minutes back at their price, in the shift open
// at the end; the shifts' cash and the session's record add up.
TEST_F(ConsoleApi, ASessionSoldAcrossTwoShiftsAddsUp) {
  console::Store store(db_);
  InProcessConsole till(store, dir_);
  console::TillPlan plan{"BGN",
                         {console::OnePriceTariff(0, "Standard", 300)},
                         {{"Main", "Standard"}},
                         {{"127.0.0.77", "Main"}}};
  ASSERT_EQ(till.web->TakeOver("anna", {{}, plan}), 4u);
  EXPECT_EQ(till.web->TakeOver("anna", {{}, plan}), 0u)
      << "the record's till holds once it has one";
  using console::ActionKind;

  EXPECT_EQ(till.Act(ActionKind::kStart, "anna", 60).refusal->text,
            "no shift is open: open a shift first");
  ASSERT_TRUE(till.web->OpenShift("anna", 10'000).ok());
  EXPECT_FALSE(till.web->OpenShift("ben", 0).ok()) << "one drawer, one open shift";
  ASSERT_TRUE(till.Act(ActionKind::kStart, "anna", 60).ok());
  till.now += 10 * 60'000;
  ASSERT_TRUE(till.Act(ActionKind::kAdd, "anna", 30).ok());
  std::optional<console::ShiftReport> first;
  ASSERT_TRUE(till.web->CloseShift("anna", 10'450, first).ok());
  EXPECT_EQ(first->totals.sales, 450);
  EXPECT_EQ(first->totals.expected, 10'450);
  EXPECT_EQ(first->totals.difference, 0);

  // A dearer tariff from now on does not change what was sold.
  console::TillChange dearer;
  dearer.tariff = store.Till().tariffs.at(0);
  dearer.tariff.periods.at(0).per_hour = 600;
  ASSERT_TRUE(till.web->ChangeTill("ben", dearer).ok());
  ASSERT_TRUE(till.web->OpenShift("ben", 5'000).ok());
  till.now += 5 * 60'000 + 30'000;
  auto preview = till.web->PreviewEnd({"127.0.0.77"}).at(0);
  EXPECT_EQ(preview.unused_minutes, 74);
  // 30 added minutes at 1.50, and 44 of the first 60 at 3.00.
  EXPECT_EQ(preview.offer.amount, 150 + 220);
  auto unanswered = till.Act(ActionKind::kEnd, "ben");
  EXPECT_FALSE(unanswered.ok());
  EXPECT_NE(unanswered.refusal->text.find("a refund of 3.70 for 74 unused minutes"),
            std::string::npos)
      << unanswered.refusal->text;
  EXPECT_TRUE(till.web->Snapshot().stations.at(0).session) << "nothing ended without the answer";
  ASSERT_TRUE(till.Act(ActionKind::kEnd, "ben", 0, true).ok());

  std::optional<console::ShiftReport> second;
  ASSERT_TRUE(till.web->CloseShift("ben", 4'630, second).ok());
  EXPECT_EQ(second->totals.sales, 0);
  EXPECT_EQ(second->totals.refunds, 370);
  EXPECT_EQ(second->totals.expected, 4'630);

  auto sessions = store.SessionsBetween(0, till.now + 1);
  ASSERT_EQ(sessions.size(), 1u);
  const auto& session = sessions[0];
  ASSERT_EQ(session.sales.size(), 2u);
  EXPECT_EQ(session.sales[0].price, 300);
  EXPECT_EQ(session.sales[1].price, 150);
  EXPECT_EQ(session.sales[1].shift_id, first->shift.id);
  ASSERT_TRUE(session.refund);
  EXPECT_EQ(session.refund->shift_id, second->shift.id);
  EXPECT_EQ(session.refund->by, "ben");
  EXPECT_EQ(console::UsedMinutes(session), 16);
  std::string csv = console::SessionsCsv(sessions, "BGN");
  EXPECT_NE(csv.find(",90,anna,ben,16,4.50,3.70,yes,anna:60 anna:30,ben,BGN,,\r\n"),
            std::string::npos)
      << csv;
  EXPECT_EQ(store.ShiftsBetween(0, till.now + 1).size(), 2u);
}

// One click, one outcome: a request with an id is carried out once, however
// often and however concurrently it is repeated, and across a restart; a
// repeat with other content is refused; without an id nothing is protected.
TEST_F(ConsoleApi, ARequestWithAnIdIsCarriedOutOnce) {
  std::ofstream(dir_ / "room.txt") << "currency BGN\ntariff Standard 3.00\ngroup Hall Standard\n"
                                   << "\"PC 1\" " << kStationAddress << "\n\"PC 2\" 127.0.0.22\n";
  AnsweringStation station(kStationAddress);
  StartConsole({"--probe-wait-ms", "500"});
  std::string csrf = LogIn();
  auto post = [&](const std::string& path, const json& body) {
    auto res = Post(path, body.dump(), csrf);
    EXPECT_TRUE(res);
    return res ? *res : HttpResult{};
  };
  json open{{"shift", "open"}, {"cash", "0.00"}, {"request", "open-1"}};
  EXPECT_EQ(post("/api/shift", open).status, 200);
  EXPECT_EQ(post("/api/shift", open).status, 200) << "the repeat of an opening opens nothing";
  json start{{"action", "start"},
             {"stations", {kStationAddress}},
             {"minutes", 30},
             {"request", "start-1"}};
  auto started = post("/api/act", start);
  ASSERT_EQ(started.status, 200) << started.body;
  EXPECT_EQ(json::parse(started.body)["results"][0]["sold"]["price"], 150);
  EXPECT_EQ(post("/api/act", start).body, started.body) << "not \"already rented\"";

  // Threads firing the same id at once: each gets the first one's answer.
  auto fire = [&](const json& body) {
    std::vector<HttpResult> answers(8);
    std::vector<std::thread> clicks;
    for (auto& answer : answers) {
      clicks.emplace_back([&, cookie = cookie_] {
        HttpClient client("127.0.0.1", port_);
        auto res =
            client.Post("/api/act", body.dump(), {{"Cookie", cookie}, {"X-Zalvo-Csrf", csrf}});
        answer = res.value_or(HttpResult{});
      });
    }
    for (auto& click : clicks) {
      click.join();
    }
    for (const auto& answer : answers) {
      EXPECT_EQ(answer.body, answers[0].body);
    }
    return answers[0];
  };
  json add{
      {"action", "add"}, {"stations", {kStationAddress}}, {"minutes", 15}, {"request", "add-1"}};
  HttpResult added = fire(add);
  EXPECT_EQ(added.status, 200) << added.body;
  EXPECT_EQ(RecordedActions("add"), 1);
  // A start on a silent station waits out the probe: the repeats all come
  // while it is carried out.
  json silent{
      {"action", "start"}, {"stations", {"127.0.0.22"}}, {"minutes", 15}, {"request", "silent-1"}};
  EXPECT_EQ(fire(silent).status, 503);
  EXPECT_EQ(RecordedActions("start", "the station does not answer"), 1);
  EXPECT_EQ(StationOf(kStationAddress)["session"]["minutes"], 45);

  json other = add;
  other["minutes"] = 30;
  auto refused = post("/api/act", other);
  EXPECT_EQ(refused.status, 409);
  EXPECT_NE(refused.body.find("sent before with other content"), std::string::npos);
  EXPECT_EQ(
      post("/api/act",
           json{{"action", "info"}, {"stations", {kStationAddress}}, {"request", "not an id"}})
          .status,
      400);

  // An owner's edit too; a password in it is never kept where a guess
  // could be tested against it.
  json ben{
      {"name", "ben"}, {"password", "long enough"}, {"role", "operator"}, {"request", "ben-1"}};
  auto ben_added = post("/api/operators/change", ben);
  EXPECT_EQ(ben_added.body, R"({"done":"operator ben: added as operator","ok":true})");
  EXPECT_EQ(post("/api/operators/change", ben).body, ben_added.body);
  ben["password"] = "other enough";
  EXPECT_EQ(post("/api/operators/change", ben).status, 409);
  EXPECT_EQ(RecordedActions("operator ben"), 1);

  RestartConsole();
  csrf = LogIn();
  EXPECT_EQ(post("/api/act", add).body, added.body) << "kept across a restart";
  add.erase("request");
  EXPECT_EQ(post("/api/act", add).status, 200);
  EXPECT_EQ(post("/api/act", add).status, 200);
  EXPECT_EQ(RecordedActions("add"), 3) << "without an id each is carried out";
  auto till = json::parse(http_->Get("/api/till", Json())->body);
  EXPECT_EQ(till["shift"]["sales_count"], 4);
  EXPECT_EQ(till["shift"]["takings"], 150 + 3 * 75);
}

// Mistakes put right, each a row of its own: free minutes within the
// operators' allowance, voids (of a sale refunded in part, and of an earlier
// shift's sale in the next shift), a move that goes only to a station that
// answers; the shifts' reports add them up, and a new shift's opening cash is
// compared with the last count.
TEST_F(ConsoleApi, CorrectionsAreRowsOfTheirOwnAndTheShiftsAddThemUp) {
  console::Store store(db_);
  console::WebConsoleOptions quick;
  quick.probe_wait_ms = 300;  // PC 3 is waited for once
  AnsweredConsole till(store, quick);
  using console::ActionKind;
  using console::Role;
  const std::string pc1 = "127.0.0.77";
  const std::string pc2 = "127.0.0.78";
  const std::string pc3 = "127.0.0.79";
  ASSERT_TRUE(Seeded(*till.web, console::TillPlan{"BGN",
                                                  {console::OnePriceTariff(0, "Standard", 300)},
                                                  {{"Main", "Standard"}},
                                                  {{pc1, "Main"}, {pc2, "Main"}, {pc3, "Main"}}}));
  ASSERT_TRUE(till.web->OpenShift("anna", 10'000).ok());
  const console::Millis t0 = till.now;
  auto minutes = [&](console::Millis m) { till.now = t0 + m * 60'000; };

  auto refused = till.Act(ActionKind::kFree, pc1, "olga", Role::kOperator, 10, "crashed");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.refusal->kind, console::RefusalKind::kNotAllowed);
  EXPECT_NE(refused.refusal->text.find("0 free minutes a shift"), std::string::npos);
  console::TillChange allowance;
  allowance.kind = console::TillChange::Kind::kFreeMinutes;
  allowance.minutes = 15;
  EXPECT_EQ(till.Change("anna", allowance).done,
            "free minutes: an operator may give 15 free minutes a shift (was 0)");
  ASSERT_TRUE(till.Act(ActionKind::kFree, pc1, "olga", Role::kOperator, 10, "crashed").ok())
      << "a free station's session begins";
  EXPECT_FALSE(till.Act(ActionKind::kFree, pc1, "olga", Role::kOperator, 10, "again").ok());
  ASSERT_TRUE(till.Act(ActionKind::kFree, pc1, "anna", Role::kOwner, 10, "noise").ok());
  auto first = till.Act(ActionKind::kAdd, pc1, "olga", Role::kOperator, 60);
  auto twice = till.Act(ActionKind::kAdd, pc1, "anna", Role::kOwner, 60);
  ASSERT_TRUE(first.ok() && twice.ok());
  EXPECT_EQ(twice.sold->price, 300);
  EXPECT_EQ(twice.done, "+60 min, 140 min from now, 3.00 BGN");
  EXPECT_EQ(till.StationAt(pc1).session->sold, 600);

  // The second sale of a double click, voided: the sale stays as it was.
  console::TillChange void_twice;
  void_twice.kind = console::TillChange::Kind::kVoid;
  void_twice.sale_id = twice.sold->id;
  void_twice.reason = "double click";
  auto voided = till.Change("anna", void_twice);
  ASSERT_TRUE(voided.ok()) << voided.refusal->text;
  EXPECT_NE(voided.done.find("3.00 BGN taken back"), std::string::npos) << voided.done;
  EXPECT_FALSE(till.Change("anna", void_twice).ok()) << "voided once";
  EXPECT_EQ(store.FindSale(twice.sold->id)->price, 300);
  EXPECT_EQ(store.FindSale(twice.sold->id)->voided, 300);
  EXPECT_EQ(till.StationAt(pc1).session->sold, 300);

  // A move to a station that does not answer moves nothing; to one that
  // does, the session goes with its time and its sales.
  minutes(30);
  auto silent = till.Act(ActionKind::kMove, pc1, "olga", Role::kOperator, 0, pc3);
  ASSERT_FALSE(silent.ok());
  EXPECT_EQ(silent.refusal->text, "PC 3 (127.0.0.79) does not answer: nothing was moved");
  EXPECT_TRUE(till.StationAt(pc1).session);
  EXPECT_FALSE(till.StationAt(pc3).session);
  console::Millis ends = till.StationAt(pc1).session->ends;
  ASSERT_TRUE(till.Act(ActionKind::kMove, pc1, "olga", Role::kOperator, 0, pc2).ok());
  EXPECT_FALSE(till.StationAt(pc1).session);
  ASSERT_TRUE(till.StationAt(pc2).session);
  EXPECT_EQ(till.StationAt(pc2).session->ends, ends);
  EXPECT_EQ(till.StationAt(pc2).session->sold, 300);

  // Ended 40 minutes early: 40 of the standing 60 sold are refunded; then
  // the rest of that sale is voided (what the refund paid is not twice).
  minutes(100);
  auto end = till.Act(ActionKind::kEnd, pc2, "olga", Role::kOperator);
  ASSERT_TRUE(end.ok()) << end.refusal->text;
  EXPECT_EQ(end.refunded->amount, 200);
  console::TillChange void_first = void_twice;
  void_first.sale_id = first.sold->id;
  void_first.reason = "the customer paid nothing";
  ASSERT_TRUE(till.Change("anna", void_first).ok());
  EXPECT_EQ(store.FindSale(first.sold->id)->voided, 100);
  auto later = till.Act(ActionKind::kStart, pc1, "anna", Role::kOwner, 30);
  ASSERT_TRUE(later.ok());

  std::optional<console::ShiftReport> day;
  ASSERT_TRUE(till.web->CloseShift("olga", 10'150, day).ok());
  EXPECT_EQ(day->totals.sales, 750);
  EXPECT_EQ(day->totals.refunds, 200);
  EXPECT_EQ(day->totals.voids, 400);
  EXPECT_EQ(day->totals.expected, 10'150);
  EXPECT_EQ(day->totals.difference, 0);
  EXPECT_EQ(day->takings, 150);
  ASSERT_EQ(day->by_tariff.size(), 1u);
  EXPECT_EQ(day->by_tariff[0].minutes, 150);
  ASSERT_EQ(day->by_operator.size(), 2u);
  EXPECT_EQ(day->by_operator[0].name, "anna");
  EXPECT_EQ(day->by_operator[0].amount, 450);
  EXPECT_EQ(day->by_operator[1].amount, 300);
  EXPECT_EQ(day->free_minutes.minutes, 20);
  EXPECT_EQ(day->free_by_operator.size(), 2u);
  EXPECT_EQ(day->voids.size(), 2u);

  // The next shift opens with less than was counted: said and logged. A
  // void of the earlier shift's sale is this shift's correction to it.
  auto opened = till.web->OpenShift("ben", 10'100);
  EXPECT_EQ(opened.done, "cash 101.00; the last count (shift 1) was 101.50, difference -0.50");
  console::TillChange void_later = void_twice;
  void_later.sale_id = later.sold->id;
  ASSERT_TRUE(till.Change("anna", void_later).ok());
  EXPECT_EQ(till.StationAt(pc1).session->sold, 0);
  auto next = till.web->Till().shift;
  ASSERT_TRUE(next);
  EXPECT_EQ(next->opening_difference, -50);
  EXPECT_EQ(next->totals.expected, 10'100 - 150);
  ASSERT_EQ(next->voids.size(), 1u);
  EXPECT_EQ(next->voids[0].sale.shift_id, day->shift.id);
  EXPECT_EQ(next->voids[0].station, "PC 1");

  auto sessions = store.SessionsBetween(0, till.now + 1);
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].address, pc2);
  ASSERT_EQ(sessions[0].moves.size(), 1u);
  EXPECT_EQ(sessions[0].moves[0].from_station, "PC 1");
  EXPECT_EQ(sessions[0].sales.size(), 4u) << "its sales went with it";
  EXPECT_EQ(console::SessionPrice(sessions[0]), 200);
  EXPECT_EQ(RecordedActions("move"), 1);
  EXPECT_EQ(RecordedActions("void"), 3);
  std::string csv = console::ShiftsCsv(till.web->ShiftsBetween(0, till.now + 1), "BGN");
  EXPECT_NE(csv.find(",BGN,4.00,2,0.00,20,,,Standard: 3 / 150 min / 7.50,"), std::string::npos)
      << csv;
  EXPECT_NE(csv.find(",1.50,1,0.00,0,101.50,-0.50,,,,,0.00,0.00,0.00,0.00\r\n"), std::string::npos)
      << csv;
}

// A member's prepaid balance: topped up in cash, paid from at a start and an
// add (after the member's discount), refused a sale beyond it, given back an
// early end's refund and a void; two counters selling a package to one member
// at once spend the balance once. The shift's report tells the cash from the
// balance; a member is removed only without a balance or a session, and an
// anonymised member's money rows stay.
TEST_F(ConsoleApi, AMembersBalancePaysAndIsNeverSpentTwice) {
  console::Store store(db_);
  AnsweredConsole till(store);
  using console::ActionKind;
  using Kind = console::TillChange::Kind;
  const std::string pc1 = "127.0.0.77";
  const std::string pc2 = "127.0.0.78";
  ASSERT_TRUE(Seeded(*till.web, console::TillPlan{"BGN",
                                                  {console::OnePriceTariff(0, "Standard", 300)},
                                                  {{"Main", "Standard"}},
                                                  {{pc1, "Main"}, {pc2, "Main"}}}));
  ASSERT_TRUE(till.web->OpenShift("anna", 10'000).ok());
  const console::Millis t0 = till.now;
  auto change = [&](Kind kind, console::Role role, auto fill) {
    console::TillChange c;
    c.kind = kind;
    c.role = role;
    c.member.id = 1;
    fill(c);
    return till.Change(role == console::Role::kOwner ? "anna" : "olga", c);
  };
  auto top_up = [&](console::Money amount) {
    return change(Kind::kTopUp, console::Role::kOperator, [&](auto& c) { c.amount = amount; });
  };
  auto sell = [&](ActionKind kind, const std::string& at, int32_t minutes, int64_t package = 0) {
    console::ActionRequest r;
    r.kind = kind;
    r.stations = {at};
    r.minutes = minutes;
    r.package_id = package;
    r.member_id = kind == ActionKind::kEnd ? 0 : 1;
    return till.web->Act("olga", r).at(0);
  };
  auto balance = [&] { return store.FindMember(1)->balance; };

  auto ivan = [](console::TillChange& c) {
    c.member = {.id = 0, .name = "Иван Петров", .card = "1234", .discount = 10};
    c.discount_given = true;
  };
  auto refused = change(Kind::kMember, console::Role::kOperator, ivan);
  EXPECT_EQ(refused.refusal->kind, console::RefusalKind::kNotAllowed) << "an owner's discount";
  ASSERT_TRUE(change(Kind::kMember, console::Role::kOwner, ivan).ok());
  ASSERT_EQ(till.web->FindMembers("иван", 10).size(), 1u);
  ASSERT_EQ(till.web->FindMembers("123", 10).size(), 1u);
  EXPECT_FALSE(sell(ActionKind::kStart, pc1, 60).ok()) << "nothing on the balance";
  ASSERT_TRUE(top_up(500).ok());

  // 3.00 less 10 %, then an add the balance can't pay, then one it can.
  auto started = sell(ActionKind::kStart, pc1, 60);
  ASSERT_TRUE(started.ok()) << started.refusal->text;
  EXPECT_EQ(started.sold->price, 270);
  EXPECT_EQ(till.StationAt(pc1).session->member_id, 1);
  auto beyond = sell(ActionKind::kAdd, pc1, 60);
  ASSERT_FALSE(beyond.ok());
  EXPECT_NE(beyond.refusal->text.find("has 2.30 BGN: the sale costs 2.70"), std::string::npos)
      << beyond.refusal->text;
  EXPECT_EQ(balance(), 230);
  auto added = sell(ActionKind::kAdd, pc1, 30);
  ASSERT_TRUE(added.ok());
  EXPECT_EQ(added.sold->price, 135);
  EXPECT_EQ(balance(), 95);

  // Ended after 10 minutes: 80 unused, back to the balance with nothing to
  // choose; then the first sale voided: what the refund did not give back.
  till.now = t0 + 10 * 60'000;
  auto ended = sell(ActionKind::kEnd, pc1, 0);
  ASSERT_TRUE(ended.ok()) << ended.refusal->text;
  ASSERT_FALSE(ended.pending) << "the station confirmed the end";
  EXPECT_EQ(ended.refunded->amount, 135 + 225);
  EXPECT_EQ(ended.refunded->member_id, 1);
  EXPECT_EQ(balance(), 455);
  console::TillChange void_first;
  void_first.kind = Kind::kVoid;
  void_first.sale_id = started.sold->id;
  void_first.reason = "wrong customer";
  ASSERT_TRUE(till.Change("anna", void_first).ok());
  EXPECT_EQ(balance(), 500);

  // A package for two counters at once: the balance pays for one.
  console::TillChange package;
  package.kind = Kind::kPackage;
  package.package = {.name = "3 hours", .price = 800, .minutes = 180, .refundable = false};
  package.package.groups = {store.Till().groups.at(0).id};
  ASSERT_TRUE(till.Change("anna", package).ok());
  int64_t package_id = store.Till().packages.at(0).id;
  ASSERT_TRUE(top_up(220).ok());
  std::vector<console::ActionOutcome> both(2);
  std::thread first([&] { both[0] = sell(ActionKind::kStart, pc1, 0, package_id); });
  std::thread second([&] { both[1] = sell(ActionKind::kStart, pc2, 0, package_id); });
  first.join();
  second.join();
  ASSERT_NE(both[0].ok(), both[1].ok());
  const auto& sold = both[0].ok() ? both[0] : both[1];
  EXPECT_EQ(sold.sold->price, 720);
  EXPECT_EQ(sold.sold->minutes, 180);
  EXPECT_EQ(balance(), 0);

  // The shift's cash is the top-ups alone; the rest moved balances.
  auto report = till.web->Till().shift.value();
  EXPECT_EQ(report.totals.sales, 0);
  EXPECT_EQ(report.top_ups.amount, 720);
  EXPECT_EQ(report.balance_spent.amount, 270 + 135 + 720);
  EXPECT_EQ(report.balance_refunded.amount, 360 + 45);
  EXPECT_EQ(report.totals.expected, 10'720);
  ASSERT_EQ(report.by_package.size(), 1u);
  EXPECT_EQ(report.by_package[0].name, "3 hours");

  // Removed only without a session and a balance; anonymised, its money
  // rows stay.
  auto remove = [&] { return change(Kind::kRemoveMember, console::Role::kOwner, [](auto&) {}); };
  EXPECT_NE(remove().refusal->text.find("has a session"), std::string::npos);
  ASSERT_TRUE(sell(ActionKind::kEnd, sold.address, 0).ok()) << "a package that refunds nothing";
  EXPECT_EQ(balance(), 0);
  ASSERT_TRUE(top_up(100).ok());
  EXPECT_NE(remove().refusal->text.find("pay the balance out first"), std::string::npos);
  auto payout = [&](console::Money amount) {
    return change(Kind::kPayout, console::Role::kOwner, [&](auto& c) { c.amount = amount; });
  };
  EXPECT_FALSE(payout(101).ok());
  ASSERT_TRUE(payout(100).ok());
  ASSERT_TRUE(remove().ok());
  EXPECT_EQ(top_up(100).refusal->kind, console::RefusalKind::kNotFound);
  ASSERT_TRUE(change(Kind::kAnonymiseMember, console::Role::kOwner, [](auto&) {}).ok());
  auto statement = till.web->Statement(1).value();
  EXPECT_EQ(statement.first.name, "");
  EXPECT_TRUE(till.web->FindMembers("иван", 10).empty());
  std::string csv = console::StatementCsv(statement.first, statement.second, "BGN");
  EXPECT_NE(csv.find("member 1,"), std::string::npos) << csv;
  EXPECT_EQ(csv.find("Иван"), std::string::npos) << csv;
  std::string kinds;
  for (const auto& move : statement.second) {
    kinds += std::string(console::MoveKindName(move.kind)) + ":" + std::to_string(move.amount) +
             "=" + std::to_string(move.balance) + " ";
  }
  EXPECT_EQ(kinds,
            "top_up:500=500 sale:-270=230 sale:-135=95 refund:360=455 void:45=500 top_up:220=720 "
            "sale:-720=0 top_up:100=100 payout:-100=0 ");
  EXPECT_EQ(till.web->Till().shift->payouts.amount, 100);

  // The most a balance holds, and not a minor unit more.
  ASSERT_TRUE(change(Kind::kMember, console::Role::kOperator, [](auto& c) {
                c.member = {.name = "Max"};
              }).ok());
  auto to_max = [&](console::Money amount) {
    return change(Kind::kTopUp, console::Role::kOperator, [&](auto& c) {
      c.member.id = 2;
      c.amount = amount;
    });
  };
  ASSERT_TRUE(to_max(console::kMaxBalance).ok());
  EXPECT_NE(to_max(1).refusal->text.find("holds at most 10000000.00 BGN"), std::string::npos);
  EXPECT_EQ(store.FindMember(2)->balance, console::kMaxBalance);
}

// Power-on sends the magic packet of the station's MAC to the broadcast
// address (here loopback); a station without a MAC, or a MAC in a bad form,
// is refused with the reason.
TEST_F(ConsoleApi, PowerOnSendsTheMagicPacket) {
  auto receiver = platform::MakeUdpSocket();
  receiver->Bind("127.0.0.1", 0);
  console::WebConsoleOptions options;
  options.wake_address = "127.0.0.1";
  options.wake_port = receiver->LocalPort();
  options.neighbour_table = [] {
    return "IP address HW type Flags HW address Mask Device\n"
           "127.0.0.77 0x1 0x2 00:1a:2b:3c:4d:5e * eth0\n";
  };
  console::Store store(db_);
  InProcessConsole till(store, dir_, options);
  EXPECT_EQ(till.Act(console::ActionKind::kPowerOn, "anna").refusal->text,
            "no MAC address is known for the station: enter it first");
  console::TillChange mac;
  mac.kind = console::TillChange::Kind::kMac;
  mac.stations = {"127.0.0.77"};
  mac.mac = "00:1a:2b:3c:4d";
  EXPECT_NE(till.web->ChangeTill("anna", mac).refusal->text.find("is not a network card's MAC"),
            std::string::npos);
  console::TillChange neighbours;
  neighbours.kind = console::TillChange::Kind::kMacsFromNeighbours;
  ASSERT_TRUE(till.web->ChangeTill("anna", neighbours).ok());
  EXPECT_EQ(store.StationMacs().at("127.0.0.77"), "00:1a:2b:3c:4d:5e");

  ASSERT_TRUE(till.Act(console::ActionKind::kPowerOn, "anna").ok());
  auto packet = receiver->Receive(2000);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->bytes, console::MagicPacket(*console::ParseMac("00:1a:2b:3c:4d:5e")));
}

// An operator runs the counter; only an owner manages the operators, the
// till's set-up and the exports, and shuts stations down. The log shows who
// did what, refusals included. A log-in outlives a restart of the console,
// and a log-out ends it for good.
TEST_F(ConsoleApi, RolesTheLogAndLogInsThatOutliveARestart) {
  console::Store(db_).SetOperator("olga", console::HashPassword("quiet river"),
                                  console::Role::kOperator);
  StartConsole();
  std::string csrf = LogIn("quiet river", "olga");
  auto get = [&](const std::string& path) { return http_->Get(path, Json())->status; };
  EXPECT_EQ(json::parse(http_->Get("/api/me", Json())->body)["role"], "operator");
  EXPECT_EQ(Post("/api/till/change", R"({"change": "currency", "currency": "BGN"})", csrf)->status,
            403);
  // Members at the counter are an operator's; paying a balance out an owner's.
  EXPECT_EQ(Post("/api/till/change", R"({"change": "top_up", "member": 7, "amount": "5.00"})", csrf)
                ->status,
            404);
  EXPECT_EQ(Post("/api/till/change", R"({"change": "payout", "member": 7, "amount": "5.00"})", csrf)
                ->status,
            403);
  EXPECT_EQ(Post("/api/operators/change", R"({"name": "olga", "role": "owner"})", csrf)->status,
            403);
  EXPECT_EQ(get("/api/sessions.csv"), 403);
  EXPECT_EQ(get("/api/operators"), 403);
  for (const char* owners : {"shutdown", "reboot"}) {
    auto refused = Post(
        "/api/act",
        json{{"action", owners}, {"stations", {kStationAddress}}, {"confirm", true}}.dump(), csrf);
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(json::parse(refused->body)["error"], "refused: only an owner may do that");
  }
  Act(csrf, {{"action", "end"}, {"stations", {kStationAddress}}}, 409);  // nothing to end

  csrf = LogIn();
  EXPECT_EQ(Post("/api/operators/change",
                 R"({"name": "ben", "password": "long enough", "role": "operator"})", csrf)
                ->status,
            200);
  EXPECT_EQ(Post("/api/operators/change", R"({"name": "anna", "role": "operator"})", csrf)->status,
            409)
      << "the last owner stays one";
  EXPECT_EQ(Post("/api/operators/change", R"({"name": "ben", "password": "short"})", csrf)->status,
            400);
  auto operators = json::parse(http_->Get("/api/operators", Json())->body)["operators"];
  EXPECT_EQ(operators.size(), 3u) << operators;

  auto log = json::parse(http_->Get("/api/actions?operator=olga", Json())->body)["actions"];
  ASSERT_GE(log.size(), 2u) << log;
  EXPECT_EQ(log[0]["action"], "end");
  EXPECT_EQ(log[0]["outcome"], "nothing to end");
  EXPECT_EQ(log[0]["station"], "PC 1 (127.0.0.21)");

  // The console restarts: anna's log-in holds; after her log-out it is gone
  // for good, restart or not.
  std::string anna = cookie_;
  RestartConsole();
  cookie_ = anna;
  EXPECT_EQ(get("/api/me"), 200);
  EXPECT_EQ(Post("/api/logout", "{}", csrf)->status, 200);
  RestartConsole();
  cookie_ = anna;
  EXPECT_EQ(get("/api/me"), 401);
}

// A message reaches the customer at the station, sent by an operator or by
// the console itself when a session's end is near; a text the station can't
// show is refused before it is sent.
TEST_F(ConsoleApi, MessagesReachTheCustomer) {
  StartAgent();
  std::ofstream(dir_ / "station" / "console.txt") << "user anna\n";
  StartConsole({"--warn-minutes", "1"});
  std::string csrf = LogIn();
  ASSERT_TRUE(WaitUntil([&] { return StationOf(kStationAddress)["online"] == true; }));
  auto journal = [&] { return ReadFile(dir_ / "station" / "journal.log"); };
  Act(csrf, {{"action", "message"}, {"stations", {kStationAddress}}, {"text", "Остават 5 минути"}});
  EXPECT_TRUE(WaitUntil([&] {
    return journal().find("MessageWindow \"Остават 5 минути\"") != std::string::npos;
  })) << journal();
  auto sent = json::parse(http_->Get("/api/actions?kind=message", Json())->body)["actions"];
  EXPECT_EQ(sent[0]["outcome"], "sent") << "the station took it; nothing says it was read";
  for (const std::string& bad : {std::string("two\nlines"), std::string(201, 'x'),
                                 std::string("\xF0\x9F\x98\x80 smile"), std::string()}) {
    Act(csrf, {{"action", "message"}, {"stations", {kStationAddress}}, {"text", bad}}, 400);
  }
  // A minute before the time is up: two minutes before the console ends
  // the session, a minute's grace after it.
  Act(csrf, {{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 1}});
  EXPECT_TRUE(WaitUntil([&] {
    return journal().find("MessageWindow \"Времето ви изтича след 2 мин.\"") != std::string::npos;
  })) << journal();
}

// A record of the first schema, as a console before the till left it: its
// sessions and operators stay, with no price; a tariff added before it had
// periods is one price all week, and sells from then on.
TEST_F(ConsoleApi, ARecordOfTheFirstSchemaIsUpgraded) {
  fs::remove(db_);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, R"sql(
    CREATE TABLE sessions(id INTEGER PRIMARY KEY, station TEXT NOT NULL, address TEXT NOT NULL,
      started_at INTEGER NOT NULL, ends_at INTEGER NOT NULL, minutes INTEGER NOT NULL,
      started_by TEXT NOT NULL, ended_at INTEGER, ended_by TEXT);
    CREATE INDEX sessions_started ON sessions(started_at);
    CREATE INDEX sessions_open ON sessions(ended_at) WHERE ended_at IS NULL;
    CREATE TABLE actions(id INTEGER PRIMARY KEY, at INTEGER NOT NULL, operator TEXT NOT NULL,
      station TEXT NOT NULL, action TEXT NOT NULL, detail TEXT NOT NULL);
    CREATE TABLE stations(address TEXT PRIMARY KEY, name TEXT NOT NULL, added_at INTEGER NOT NULL);
    CREATE TABLE operators(name TEXT PRIMARY KEY, hash TEXT NOT NULL);
    INSERT INTO sessions VALUES(1, 'PC 1', '127.0.0.77', 1000, 3601000, 60, 'anna', 1801000, 'anna');
    INSERT INTO sessions VALUES(2, 'PC 1', '127.0.0.77', 4000000, 4102444800000, 60, 'anna', NULL,
      NULL);
    INSERT INTO operators VALUES('anna', 'hash');
    PRAGMA user_version = 1;)sql",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  auto notes_of = [](const console::Store& store) {
    std::string notes;
    for (const auto& note : store.notes()) {
      notes += note + "\n";
    }
    return notes;
  };
  {
    // As a console of schema 4 left it, with a tariff of one price.
    console::Store store(db_, 4);
    std::string notes = notes_of(store);
    for (const char* step : {"schema 2", "schema 3", "schema 4"}) {
      EXPECT_NE(notes.find(std::string("upgraded to ") + step), std::string::npos) << notes;
    }
    EXPECT_EQ(notes.find("schema 5"), std::string::npos) << notes;
  }
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, R"sql(
    INSERT INTO settings VALUES('currency', 'EUR');
    INSERT INTO tariffs VALUES(1, 'T', 120, 50);
    INSERT INTO till_groups VALUES(1, 'G', 1);
    INSERT INTO group_members VALUES('127.0.0.77', 1);)sql",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  {
    console::Store store(db_);
    std::string notes = notes_of(store);
    EXPECT_NE(notes.find("upgraded to schema 5"), std::string::npos) << notes;
    EXPECT_NE(notes.find("upgraded to schema 6"), std::string::npos) << notes;
    EXPECT_EQ(notes.find("schema 4"), std::string::npos) << notes;
    auto tariffs = store.Till().tariffs;
    ASSERT_EQ(tariffs.size(), 1u);
    ASSERT_EQ(tariffs[0].periods.size(), 1u) << "one period covering the week";
    EXPECT_EQ(console::PeriodText(tariffs[0].periods[0]), "Mon-Sun 00:00-24:00 1.20");
    EXPECT_EQ(tariffs[0].minimum, 50);
    EXPECT_EQ(store.Operator("anna")->hash, "hash");
    EXPECT_EQ(store.Operator("anna")->role, console::Role::kOwner) << "the operators become owners";
    auto old = store.SessionsBetween(0, 5'000'000);
    ASSERT_EQ(old.size(), 2u);
    EXPECT_EQ(console::UsedMinutes(old[0]), 30);
    EXPECT_TRUE(old[0].end_confirmed) << "an end of before is taken as confirmed";
    EXPECT_FALSE(old[1].ended || old[1].end_asked || old[1].member_id);
    EXPECT_FALSE(console::SessionPrice(old[0]));
    EXPECT_EQ(console::SessionsCsv({old[0]}, "BGN").find("BGN"), std::string::npos);
  }
  console::Store store(db_);
  EXPECT_TRUE(store.notes().empty()) << "upgraded once";
  // Its first start takes in the room file's lines the record lacks (PC 2
  // in the group G), once.
  console::WebConsoleOptions options;
  std::string file =
      "currency EUR\ntariff T 1.20 minimum 0.50\ngroup G T\n\"PC 1\" 127.0.0.77\n"
      "\"PC 2\" 127.0.0.78 2 1\n";
  options.room_file = [&] { return file; };
  {
    InProcessConsole till(store, dir_, options);
    ASSERT_EQ(till.web->Snapshot().stations.at(0).session->record_id, 2)
        << "the open session is back";
    EXPECT_EQ(till.web->Snapshot().stations.size(), 2u);
    EXPECT_EQ(RecordedActions("room file taken in"), 1);
    ASSERT_TRUE(till.web->OpenShift("anna", 0).ok());
    ASSERT_TRUE(till.Act(console::ActionKind::kAdd, "anna", 10).ok());
    EXPECT_EQ(store.SalesOf(2).at(0).price, 50) << "the minimum";
  }
  // From then on the file only offers what the record lacks.
  file += "group H T\n\"PC 3\" 127.0.0.79\n";
  InProcessConsole again(store, dir_, options);
  EXPECT_EQ(again.web->Snapshot().stations.size(), 2u);
  EXPECT_EQ(again.web->RoomFile().missing.size(), 3u) << "group H, PC 3 and its group";
  EXPECT_EQ(RecordedActions("room file taken in"), 1);
}

// A rented station is not removed; once free it is, and its sessions stay
// on record.
TEST_F(ConsoleApi, ARemovedStationsSessionsStay) {
  console::Store store(db_);
  InProcessConsole console(store, dir_);
  ASSERT_TRUE(console.Act(console::ActionKind::kStart, "anna", 30).ok());
  console::RoomChange remove;
  remove.kind = console::RoomChange::Kind::kRemove;
  remove.station = InProcessConsole::kPc1;
  EXPECT_EQ(console.web->ChangeRoom("anna", remove).refusal->text,
            "the station is rented: end the session first");
  ASSERT_TRUE(console.Act(console::ActionKind::kEnd, "anna").ok());
  ASSERT_TRUE(console.Until([&] { return !console.Rented() && !console.Pc1().ending; }));
  // The PC is switched off first: a station that still reports comes back
  // as a station heard.
  console.KillAgent();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(console.web->ChangeRoom("anna", remove).ok());
  EXPECT_EQ(console.web->Snapshot().stations.size(), 1u);
  EXPECT_EQ(store.Stations().size(), 1u);
  EXPECT_EQ(store.SessionsBetween(0, console.now + 1).size(), 1u);
}

}  // namespace
}  // namespace zalvo::testing

namespace zalvo::testing {
namespace {

TEST_F(ConsoleApi, OnlyItsOwnNamesAreServed) {
  StartConsole({"--allow-host", "Console.Club"});
  LogIn();
  std::string port = std::to_string(port_);
  // A page of another site whose name now points here sends that name.
  for (const char* path : {"/", "/app.js", "/api/me", "/api/room", "/api/nothing"}) {
    EXPECT_EQ(http_->Get(path, {{"Host", "evil.example:" + port}, {"Cookie", cookie_}})->status,
              403)
        << path;
  }
  std::string login = json{{"name", "anna"}, {"password", "right horse"}}.dump();
  EXPECT_EQ(http_->Post("/api/login", login, {{"Host", "evil.example:" + port}})->status, 403);
  EXPECT_EQ(http_->Get("/", {{"Host", "127.0.0.1:1"}})->status, 403) << "another port";
  EXPECT_EQ(http_->Get("/api/me", {{"Cookie", cookie_}, {"Origin", "http://evil.example"}})->status,
            403);
  for (const std::string& name : {"localhost:" + port, "console.club:" + port}) {
    EXPECT_EQ(http_->Get("/api/me", {{"Host", name}, {"Cookie", cookie_}})->status, 200) << name;
  }
  EXPECT_EQ(
      http_->Get("/api/me", {{"Cookie", cookie_}, {"Origin", "http://127.0.0.1:" + port}})->status,
      200);
}

TEST_F(ConsoleApi, ConcurrentWrongLoginsAreCheckedFewAtATime) {
  StartConsole();
  std::string wrong = json{{"name", "anna"}, {"password", "wrong horse"}}.dump();
  std::atomic<int> refused{0};
  std::atomic<int> checked{0};
  std::vector<std::thread> guesses;
  for (int i = 0; i < 10; ++i) {
    guesses.emplace_back([&] {
      HttpClient client("127.0.0.1", port_);
      auto res = client.Post("/api/login", wrong);
      (res && res->status == 429 ? refused : checked)++;
    });
  }
  // The operator at another PC logs in meanwhile.
  HttpClient counter("127.0.0.1", port_);
  counter.SetLocalAddress("127.0.0.2");
  auto right =
      counter.Post("/api/login", json{{"name", "anna"}, {"password", "right horse"}}.dump());
  for (auto& guess : guesses) {
    guess.join();
  }
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 200) << right->body;
  EXPECT_LE(checked.load(), 3);
  EXPECT_EQ(refused + checked, 10);
  EXPECT_EQ(RecordedActions("login failed"), checked.load()) << "each wrong password is on record";
}

// The owner's usual browser logs in while her name is under attack from 32
// addresses (every other new attempt with her name is held past a minute
// and refused), before and after a restart of the console: the mark it holds
// is kept in the record. So does a browser on the server itself.
TEST_F(ConsoleApi, TheOwnersUsualBrowserIsNeverLockedOut) {
  StartConsole();
  std::string login = json{{"name", "anna"}, {"password", "right horse"}}.dump();
  HttpClient usual("127.0.0.1", port_);
  usual.SetLocalAddress("127.0.0.2");
  auto first = usual.Post("/api/login", login);
  ASSERT_EQ(first->status, 200);
  std::string device;
  for (const auto& [name, value] : first->headers) {
    if (value.rfind("zalvo_device=", 0) == 0) {
      device = value.substr(0, value.find(';'));
    }
  }
  ASSERT_FALSE(device.empty()) << "the browser is given its mark";
  auto under_attack = [&] {
    std::vector<std::thread> guesses;
    for (int i = 0; i < 32; ++i) {
      guesses.emplace_back([&, i] {
        HttpClient guesser("127.0.0.1", port_);
        guesser.SetLocalAddress("127.0.0." + std::to_string(100 + i));
        guesser.SetTimeout(2s);
        guesser.Post("/api/login", json{{"name", "anna"}, {"password", "guess"}}.dump());
      });
    }
    // Every guess has been refused or is held (the client gave up waiting;
    // the console still holds it): the attack is on. A new browser that got
    // in before the guesses would prove the password right and end it.
    for (auto& guess : guesses) {
      guess.join();
    }
    int strangers = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
          HttpClient stranger("127.0.0.1", port_);
          stranger.SetLocalAddress("127.0.0." + std::to_string(200 + strangers++));
          stranger.SetTimeout(1s);
          auto refused = stranger.Post("/api/login", login);
          return refused && refused->status == 503;
        },
        5s))
        << "a new browser waits out the attack";
    HttpClient browser("127.0.0.1", port_);
    browser.SetLocalAddress("127.0.0.2");
    auto usual_in = browser.Post("/api/login", login, {{"Cookie", device}});
    auto on_the_server = http_->Post("/api/login", login);
    return usual_in && usual_in->status == 200 && on_the_server && on_the_server->status == 200;
  };
  EXPECT_TRUE(under_attack());
  RestartConsole();
  EXPECT_TRUE(under_attack()) << "after a restart";
}

// The owner's log can't be flooded: the log view, paged and filtered on the
// server, finds an end with a refund behind 1,100 actions of the same
// second; and an operator's actions are limited, another's not.
TEST_F(ConsoleApi, TheLogFindsAnActionBehindAFlood) {
  {
    console::Store store(db_);
    store.SetOperator("olga", console::HashPassword("quiet river"), console::Role::kOperator);
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    store.RecordAction(now, "olga", "PC 1 (127.0.0.21)", "end", "1 x STAND, refund 3.00 paid out");
    store.Atomically([&] {
      for (int i = 0; i < 1100; ++i) {
        store.RecordAction(now, "olga", "<b>PC 2</b> (127.0.0.22)", "info", "");
      }
    });
  }
  StartConsole({"--action-limit", "20,60"});
  std::string csrf = LogIn();
  size_t seen = 0;
  bool found = false;
  std::string next;
  do {
    auto page = json::parse(http_->Get("/api/actions?limit=400&before=" + next, Json())->body);
    for (const auto& line : page["actions"]) {
      ++seen;
      found = found || line["action"] == "end";
    }
    next = page["next"].is_null() ? "" : page["next"].get<std::string>();
  } while (!next.empty() && seen < 2000);
  EXPECT_EQ(seen, 1103u) << "the room file, the flood, the end and the log-in, each once";
  EXPECT_TRUE(found);
  auto ends = json::parse(
      http_->Get("/api/actions?operator=olga&station=127.0.0.21&kind=end", Json())->body);
  ASSERT_EQ(ends["actions"].size(), 1u) << ends;
  EXPECT_EQ(ends["actions"][0]["detail"], "1 x STAND, refund 3.00 paid out");
  EXPECT_EQ(http_->Get("/api/actions?limit=1001", Json())->status, 400);

  std::string olga = LogIn("quiet river", "olga");
  std::string info = json{{"action", "info"}, {"stations", {"127.0.0.22"}}}.dump();
  int refused_at = 0;
  for (int i = 1; i <= 21 && refused_at == 0; ++i) {
    auto res = Post("/api/act", info, olga);
    if (res->status == 429) {
      refused_at = i;
      EXPECT_NE(json::parse(res->body)["error"].get<std::string>().find("at most 60 a minute"),
                std::string::npos);
      EXPECT_FALSE(res->Header("Retry-After").empty());
    }
  }
  EXPECT_EQ(refused_at, 21) << "20 at once";
  cookie_.clear();
  csrf = LogIn();
  EXPECT_EQ(Post("/api/act", info, csrf)->status, 200) << "the owner has her own allowance";
}

TEST_F(ConsoleApi, SlowClientsDoNotStopThePage) {
  StartConsole();
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 48; ++i) {
    slow.push_back(std::make_unique<RawConnection>("127.0.0.1", port_, "127.0.0.40"));
    slow.back()->Send("G");
  }
  std::this_thread::sleep_for(300ms);
  int open = 0;
  for (auto& connection : slow) {
    open += connection->Connected() && !connection->ClosedWithin(5ms) ? 1 : 0;
  }
  EXPECT_GT(open, 0);
  EXPECT_LT(open, 48) << "one address holds a bounded number of connections";
  for (auto& connection : slow) {
    connection->Send("E");
  }
  http_->SetTimeout(5s);
  auto page = http_->Get("/");
  ASSERT_TRUE(page) << "the page did not load beside the slow clients";
  EXPECT_EQ(page->status, 200);
  EXPECT_FALSE(LogIn().empty());
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 200);
}

TEST_F(ConsoleApi, ServesHttpsWithASecureCookie) {
  std::string key = (dir_ / "console.key").string();
  std::string certificate = (dir_ / "console.crt").string();
  auto [made, openssl] = Shell(
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=zalvo-console -keyout " +
      key + " -out " + certificate);
  ASSERT_EQ(made, 0) << openssl;
  StartConsole({"--tls-cert", certificate, "--tls-key", key}, true);
  auto res = http_->Post("/api/login", json{{"name", "anna"}, {"password", "right horse"}}.dump(),
                         {{"Origin", "https://127.0.0.1:" + std::to_string(port_)}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_NE(res->Header("Set-Cookie").find("; Secure"), std::string::npos);
  cookie_ = res->Header("Set-Cookie").substr(0, res->Header("Set-Cookie").find(';'));
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 200);
  HttpClient plain("127.0.0.1", port_);
  plain.SetTimeout(3s);
  auto refused = plain.Get("/");
  EXPECT_FALSE(refused && refused->status == 200) << "plain HTTP on the TLS port";
  // TLS 1.2 with AEAD suites, and 1.3; nothing older, no CBC.
  auto handshake = [&](const std::string& options) {
    return Shell("openssl s_client -connect 127.0.0.1:" + std::to_string(port_) + " " + options +
                 " </dev/null")
        .first;
  };
  EXPECT_EQ(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256"), 0);
  EXPECT_EQ(handshake("-tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305"), 0);
  EXPECT_EQ(handshake("-tls1_3"), 0);
  EXPECT_NE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384"), 0);
  EXPECT_NE(handshake("-tls1_1 -cipher ALL:@SECLEVEL=0"), 0);
  // HSTS only when asked for (a certificate the browsers trust).
  EXPECT_TRUE(res->Header("Strict-Transport-Security").empty());
  console_->Stop();
  StartConsole({"--tls-cert", certificate, "--tls-key", key, "--hsts"}, true);
  EXPECT_EQ(http_->Get("/")->Header("Strict-Transport-Security"), "max-age=31536000");
}

TEST_F(ConsoleApi, RefusesAnOpenListenerWithoutTlsOrNames) {
  auto start = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {ZALVO_CONSOLE_PROGRAM, "--db", db_};
    args.insert(args.end(), more.begin(), more.end());
    auto [code, output] = Run(args);
    EXPECT_EQ(code, 2) << output;
    return output;
  };
  std::string plain = start({"--listen", "0.0.0.0:0"});
  EXPECT_NE(plain.find("--insecure"), std::string::npos) << plain;
  EXPECT_NE(plain.find("--tls-cert"), std::string::npos) << plain;
  std::string nameless = start({"--listen", "0.0.0.0:0", "--insecure"});
  EXPECT_NE(nameless.find("--allow-host"), std::string::npos) << nameless;
  EXPECT_NE(start({"--tls-cert", db_}).find("--tls-key"), std::string::npos);
}

TEST_F(ConsoleApi, SessionsEndWithTheirPasswordAndOperator) {
  StartConsole();
  LogIn();
  std::string program = ZALVO_CONSOLE_PROGRAM;
  auto set = [&](const std::string& password) {
    return Shell("printf '" + password + "\\n' | '" + program + "' --db '" + db_ +
                 "' --set-operator anna");
  };
  auto [short_code, short_output] = set("seven c");
  EXPECT_EQ(short_code, 2);
  EXPECT_NE(short_output.find("at least 8"), std::string::npos) << short_output;
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 200) << "the refused change ends nothing";

  EXPECT_EQ(set("a new saddle").first, 0);
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 401);
  EXPECT_TRUE(LogIn().empty());
  EXPECT_FALSE(LogIn("a new saddle").empty());

  EXPECT_EQ(Run({program, "--db", db_, "--remove-operator", "anna"}).first, 0);
  EXPECT_EQ(http_->Get("/api/room", Json())->status, 401);
  EXPECT_EQ(Run({program, "--db", db_, "--remove-operator", "anna"}).first, 2);
}

// The owner sets the room up on the page: adopts a station that reported by
// itself with a name, a place and a group, renames and places another, adds
// and removes stations; each change answers with what it changed, so that of
// two owners editing at once the later sees what it made of the other's.
// The record holds the room across a restart; the room file's lines it
// lacks (a group added to the file later) are offered, and taken over.
TEST_F(ConsoleApi, TheRoomIsTheOwnersToSetUpOnThePage) {
  std::string file = std::string("currency BGN\ntariff Standard 3.00\ngroup Hall Standard\n") +
                     "\"PC 1\" " + kStationAddress + " 1 1\n\"<b>PC 2</b>\" 127.0.0.22 2 1\n";
  std::ofstream(dir_ / "room.txt") << file;
  console::Store(db_).SetOperator("olga", console::HashPassword("quiet river"),
                                  console::Role::kOperator);
  StartConsole();
  std::string csrf = LogIn("quiet river", "olga");
  auto change = [&](const json& body, int status) {
    auto res = Post("/api/station", body.dump(), csrf);
    EXPECT_EQ(res->status, status) << body << " -> " << res->body;
    json answer = json::parse(res->body);
    return answer.contains("results") ? answer["results"][0] : answer;
  };
  auto stranger = platform::MakeUdpSocket();
  stranger->Bind("127.0.0.32", 0);
  stranger->SendTo("127.0.0.1", 6868, "PING");
  ASSERT_TRUE(WaitUntil([&] { return StationOf("127.0.0.32")["unknown"] == true; }))
      << Room().dump();
  Act(csrf, {{"action", "info"}, {"stations", {"127.0.0.32"}}}, 409);
  change({{"action", "adopt"}, {"station", "127.0.0.32"}}, 403);

  csrf = LogIn();
  int64_t hall = json::parse(http_->Get("/api/till", Json())->body)["groups"][0]["id"];
  json adopted = change({{"action", "adopt"},
                         {"station", "127.0.0.32"},
                         {"name", "PC 3"},
                         {"column", 3},
                         {"row", 1},
                         {"group", hall}},
                        200);
  EXPECT_EQ(adopted["changed"],
            "name '127.0.0.32' -> 'PC 3'; place none -> 3,1; group none -> Hall");
  EXPECT_EQ(StationOf("127.0.0.32")["unknown"], false);
  EXPECT_EQ(StationOf("127.0.0.32")["column"], 3);
  change({{"action", "edit"}, {"station", kStationAddress}, {"name", "Counter"}}, 200);
  json later =
      change({{"action", "edit"}, {"station", kStationAddress}, {"column", 4}, {"row", 1}}, 200);
  EXPECT_EQ(later["changed"], "place 1,1 -> 4,1");
  EXPECT_EQ(StationOf(kStationAddress)["name"], "Counter") << "the other owner's rename stays";
  for (const std::string& bad : {std::string(), std::string("PC\n1"), std::string("PC\x7f"),
                                 std::string("PC \xc2\x85"), std::string(65, 'x')}) {
    change({{"action", "edit"}, {"station", kStationAddress}, {"name", bad}}, 400);
  }
  change({{"action", "edit"}, {"station", kStationAddress}, {"name", "PC 3"}}, 409);
  change({{"action", "edit"}, {"station", kStationAddress}, {"column", 3}, {"row", 1}}, 409);
  change({{"action", "edit"}, {"station", kStationAddress}, {"column", 3}, {"row", 0}}, 400);
  change({{"action", "add"}, {"station", "127.0.0.40"}, {"name", "PC 40"}}, 200);
  change({{"action", "add"}, {"station", kStationAddress}, {"name", "PC 41"}}, 409);
  change({{"action", "add"}, {"station", "pc41.club"}, {"name", "PC 41"}}, 400);
  // A station of the room file leaves the room like any other; the page's
  // update names its address.
  json before = Room();
  std::string since = "/api/room?after=" + before["version"].dump() +
                      "&epoch=" + before["epoch"].get<std::string>();
  change({{"action", "remove"}, {"station", "127.0.0.22"}}, 400);  // confirmed
  change({{"action", "remove"}, {"station", "127.0.0.22"}, {"confirm", true}}, 200);
  EXPECT_EQ(json::parse(http_->Get(since, Json())->body)["removed"], json::array({"127.0.0.22"}));

  // Restarted, the record holds: the file's name of PC 1 does not come
  // back, and its line of the removed station is offered, not taken.
  RestartConsole();
  csrf = LogIn();
  EXPECT_EQ(StationOf(kStationAddress)["name"], "Counter");
  EXPECT_EQ(StationOf("127.0.0.32")["name"], "PC 3");
  EXPECT_FALSE(StationOf("127.0.0.40").is_null());
  EXPECT_TRUE(StationOf("127.0.0.22").is_null());
  auto offer = [&] { return json::parse(http_->Get("/api/room-file", Json())->body); };
  EXPECT_EQ(offer()["missing"], json::array({"station <b>PC 2</b> at 127.0.0.22, place 2,1",
                                             "<b>PC 2</b> in the group Hall"}));
  // A group added to the file later, over a station the room has: offered
  // with it, and taken over.
  std::ofstream(dir_ / "room.txt") << file << "tariff VIP 5.00\ngroup Booths VIP\n"
                                   << "\"PC 40\" 127.0.0.40\n";
  EXPECT_EQ(offer()["missing"].size(), 5u) << offer();
  change({{"action", "take_over"}}, 200);
  EXPECT_EQ(offer()["missing"], json::array());
  EXPECT_FALSE(StationOf("127.0.0.22").is_null());
  auto till = json::parse(http_->Get("/api/till", Json())->body);
  EXPECT_EQ(till["groups"].size(), 2u);
  EXPECT_EQ(till["members"]["127.0.0.40"], till["groups"][0]["id"]) << till;  // Booths, by name
  // Lines left: no longer offered until the file changes again.
  std::ofstream(dir_ / "room.txt", std::ios::app) << "\"PC 6\" 127.0.0.46\n";
  EXPECT_EQ(offer()["dismissed"], false);
  change({{"action", "dismiss"}}, 200);
  EXPECT_EQ(offer()["dismissed"], true);
  EXPECT_TRUE(StationOf("127.0.0.46").is_null());
  auto log = json::parse(http_->Get("/api/actions?kind=station%20changed", Json())->body);
  ASSERT_EQ(log["actions"].size(), 2u) << log;
  EXPECT_EQ(log["actions"][0]["detail"], "place 1,1 -> 4,1");
}

// A service manager's restart: the console ends at once on SIGTERM although a
// page's long poll waits (the poll is answered or dropped, not left to time
// out), and the next one, started while the ports are still held, waits for
// them briefly instead of failing.
TEST_F(ConsoleApi, StopsAtOnceAndTheNextStartWaitsForItsPorts) {
  StartConsole();
  LogIn();
  json before = Room();
  std::string since = "/api/room?after=" + before["version"].dump() +
                      "&epoch=" + before["epoch"].get<std::string>();
  HttpClient poller("127.0.0.1", port_);
  std::optional<HttpResult> polled;
  std::atomic<bool> poll_ended{false};
  std::thread poll([&] {
    polled = poller.Get(since, Json());
    poll_ended = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(poll_ended) << "the poll waits for a change";

  std::string next_log = (dir_ / "next.log").string();
  auto next = StartProcess(ZALVO_CONSOLE_PROGRAM,
                           {"--db", (dir_ / "next.db").string(), "--listen",
                            "127.0.0.1:" + std::to_string(port_), "--bind", "127.0.0.1"},
                           next_log);
  EXPECT_TRUE(WaitUntil([&] {
    return ReadFile(next_log).find(" is in use; trying again") != std::string::npos;
  })) << ReadFile(next_log);
  EXPECT_TRUE(next->Running()) << "it waits while the ports are taken: " << ReadFile(next_log);

  auto stop_started = std::chrono::steady_clock::now();
  console_->Stop();
  auto took = std::chrono::steady_clock::now() - stop_started;
  EXPECT_EQ(console_->ExitCode(), 0) << "ended by itself, not killed";
  EXPECT_LT(took, 2s) << "SIGTERM to exit with a long poll open";
  poll.join();
  ASSERT_TRUE(polled) << "the waiting page is told, not cut off";
  EXPECT_EQ(polled->status, 503) << polled->body;

  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(next_log).find("listening on") != std::string::npos || !next->Running();
  })) << ReadFile(next_log);
  EXPECT_TRUE(next->Running()) << ReadFile(next_log);
  auto page = http_->Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  next->Stop();
  EXPECT_EQ(next->ExitCode(), 0);
}

// A start goes only to stations that answer the console's probe; one that
// never answered is refused, and a restart ordered to it (it was not there
// to hear it) explains nothing. "End" on a free station has nothing to end
// and sends nothing.
TEST_F(ConsoleApi, StartsOnlyWhereTheStationAnswers) {
  StartAgent();
  StartConsole({"--probe-wait-ms", "500"});
  std::string csrf = LogIn();
  const std::string silent = "127.0.0.22";  // in the room's file, no agent
  auto end = Act(csrf, {{"action", "end"}, {"stations", {kStationAddress}}}, 409);
  EXPECT_EQ(end["results"][0]["error"], "nothing to end");

  auto start = [&](const std::vector<std::string>& stations, bool queue, int status) {
    json body{{"action", "start"}, {"stations", stations}, {"minutes", 30}};
    if (queue) {
      body["queue"] = true;
    }
    return Act(csrf, body, status)["results"];
  };
  json results = start({kStationAddress, silent}, false, 503);
  EXPECT_EQ(results[0]["ok"], true) << results;
  EXPECT_EQ(results[1]["error"], "the station does not answer");
  EXPECT_FALSE(results[1].contains("can_queue")) << "not known to be restarting";
  EXPECT_NE(start({silent}, true, 409)[0]["error"].get<std::string>().find("not starting"),
            std::string::npos);
  Act(csrf, {{"action", "reboot"}, {"stations", {silent}}, {"confirm", true}});
  EXPECT_FALSE(start({silent}, false, 503)[0].contains("can_queue"));
  EXPECT_EQ(StationOf(silent)["state"], "free");
  EXPECT_EQ(StationOf(silent)["connection"], "offline");
  EXPECT_EQ(StationOf(kStationAddress)["connection"], "online");
  EXPECT_EQ(RecordedActions("start"), 1);

  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(dir_ / "station.log").find("ACTION SIT 30") != std::string::npos;
  })) << ReadFile(dir_ / "station.log");
  std::string agent_log = ReadFile(dir_ / "station.log");
  EXPECT_NE(agent_log.find("ACTION INFO"), std::string::npos) << "the probe";
  EXPECT_EQ(agent_log.find("ACTION STAND"), std::string::npos) << agent_log;
  EXPECT_EQ(RecordedActions("end"), 0);
}

// A rented station whose agent is gone is lost after the bound, flagged in
// the log and the record once, and back when it answers again.
TEST_F(ConsoleApi, ARentedStationThatFallsSilentIsLostUntilHeardAgain) {
  StartAgent();
  StartConsole({"--probe-ms", "200", "--lost-ms", "1000", "--start-grace-ms", "0"});
  std::string csrf = LogIn();
  Act(csrf, {{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 30}});
  agent_->Kill();
  ASSERT_TRUE(WaitUntil([&] { return StationOf(kStationAddress)["connection"] == "lost"; }, 5s))
      << Room().dump();
  EXPECT_EQ(Room()["lost_count"], 1);
  EXPECT_EQ(StationOf(kStationAddress)["state"], "rented");
  EXPECT_TRUE(WaitUntil([&] { return RecordedActions("connection lost") == 1; }, 2s));
  EXPECT_NE(ReadFile(dir_ / "console.log").find("connection lost: PC 1 (127.0.0.21)"),
            std::string::npos)
      << ReadFile(dir_ / "console.log");

  StartAgent();
  ASSERT_TRUE(WaitUntil([&] { return StationOf(kStationAddress)["connection"] == "online"; }))
      << Room().dump();
  EXPECT_EQ(Room()["lost_count"], 0);
  EXPECT_TRUE(WaitUntil([&] { return RecordedActions("connection back") == 1; }, 2s));
  EXPECT_EQ(RecordedActions("connection lost"), 1) << "flagged once";
}

// A station of a version without "ACTION STATE": it answers every command
// with "PING" alone, plain, to where the command came from.
class OldStation {
 public:
  explicit OldStation(const std::string& address) : socket_(platform::MakeUdpSocket()) {
    socket_->Bind(address, protocol::kCommandPort);
    thread_ = std::thread([this] {
      while (auto datagram = socket_->Receive(-1)) {
        if (datagram->byte_count > 0) {
          socket_->SendToAddress(datagram->from_address, datagram->from_port, "PING");
        }
      }
    });
  }
  ~OldStation() {
    socket_->Shutdown();
    thread_.join();
  }

 private:
  std::unique_ptr<platform::DatagramSocket> socket_;
  std::thread thread_;
};

// A member, its balance topped up so much in the open shift; and a start
// of so many minutes on PC 1 paid from it.
int64_t MemberWithBalance(console::WebConsole& web, console::Money amount) {
  console::TillChange change;
  change.kind = console::TillChange::Kind::kMember;
  change.member = {.name = "Ivan"};
  EXPECT_TRUE(web.ChangeTill("anna", change).ok());
  change.kind = console::TillChange::Kind::kTopUp;
  change.member.id = web.FindMembers("Ivan", 1).at(0).id;
  change.amount = amount;
  EXPECT_TRUE(web.ChangeTill("anna", change).ok());
  return change.member.id;
}
console::ActionOutcome StartForMember(console::WebConsole& web, int64_t member, int32_t minutes) {
  console::ActionRequest sale;
  sale.kind = console::ActionKind::kStart;
  sale.stations = {InProcessConsole::kPc1};
  sale.minutes = minutes;
  sale.member_id = member;
  return web.Act("anna", sale).at(0);
}

console::TillPlan Till300() {
  return console::TillPlan{"BGN",
                           {console::OnePriceTariff(0, "Standard", 300)},
                           {{"Main", "Standard"}},
                           {{"127.0.0.77", "Main"}}};
}

// An end is recorded when the station has ended. With its link cut (its
// agent gone) the station shows "ending" and the refund chosen waits; the
// end goes again once the station is heard, and then the session ends on
// record and the refund is paid, once. An owner closes the record of a
// station that does not come back, with a reason; its end still goes when
// it does.
TEST_F(ConsoleApi, AnEndIsTheStationsWordAndItsRefundIsPaidOnce) {
  console::Store store(db_);
  console::WebConsoleOptions options;
  options.probe_every_ms = 200;
  options.probe_wait_ms = 500;
  InProcessConsole room(store, dir_, options);
  ASSERT_TRUE(Seeded(*room.web, Till300()));
  ASSERT_TRUE(room.web->OpenShift("anna", 0).ok());
  using console::ActionKind;
  auto refunds = [&] { return room.web->Till().shift->totals.refunds; };
  ASSERT_TRUE(room.Act(ActionKind::kStart, "anna", 60).ok());

  room.KillAgent();
  room.now += 10 * 60'000;
  console::ActionOutcome end = room.Act(ActionKind::kEnd, "anna", 0, true);
  ASSERT_TRUE(end.ok()) << end.refusal->text;
  EXPECT_TRUE(end.pending);
  EXPECT_EQ(console::OccupancyOf(room.Pc1(), room.now), console::Occupancy::kEnding);
  ASSERT_EQ(store.OpenSessions().size(), 1u) << "ended on record only by the station's word";
  EXPECT_TRUE(store.OpenSessions()[0].end_asked);
  EXPECT_EQ(refunds(), 0) << "the refund waits for the end";
  EXPECT_EQ(room.Act(ActionKind::kEnd, "anna", 0, true).refusal->kind,
            console::RefusalKind::kConflict);

  room.StartAgent();  // back, in the session it kept
  ASSERT_TRUE(room.Until([&] { return !room.Rented(); })) << room.Log();
  EXPECT_NE(room.Registry().find("\"ZalvoLogon\"=\"0\""), std::string::npos);
  auto first = store.SessionsBetween(0, INT64_MAX).at(0);
  EXPECT_EQ(first.ended_by, "anna");
  EXPECT_TRUE(first.end_confirmed);
  ASSERT_TRUE(first.refund && first.refund->settled);
  EXPECT_EQ(refunds(), 250) << "50 unused minutes of 60 at 3.00";

  // Dead hardware: closed on record with the reason, the refund settled.
  ASSERT_TRUE(room.Act(ActionKind::kStart, "anna", 30).ok());
  room.KillAgent();
  room.now += 60'000;
  ASSERT_TRUE(room.Act(ActionKind::kEnd, "anna", 0, true).pending);
  console::ActionRequest close;
  close.kind = ActionKind::kClose;
  close.stations = {InProcessConsole::kPc1};
  close.reason = "the PC is dead";
  ASSERT_TRUE(room.web->Act("anna", close).at(0).ok());
  EXPECT_FALSE(room.Rented());
  ASSERT_EQ(store.UnconfirmedEnds().size(), 1u);
  EXPECT_EQ(store.UnconfirmedEnds()[0].close_reason, "the PC is dead");
  EXPECT_EQ(refunds(), 250 + 145);
  room.StartAgent();
  ASSERT_TRUE(room.Until([&] { return store.UnconfirmedEnds().empty(); })) << room.Log();
  EXPECT_NE(room.Registry().find("\"ZalvoLogon\"=\"0\""), std::string::npos);
  EXPECT_FALSE(room.Pc1().ending);
  EXPECT_EQ(refunds(), 250 + 145) << "each refund paid once";
  EXPECT_EQ(room.web->Till().shift->refunds, 2u);

  // A member's refund goes back to the balance once the end is settled as
  // a cash refund is: confirmed by the station, in a shift. Till then the
  // member can't be removed.
  int64_t member = MemberWithBalance(*room.web, 300);
  ASSERT_TRUE(StartForMember(*room.web, member, 60).ok());
  room.KillAgent();
  room.now += 10 * 60'000;
  ASSERT_TRUE(room.Act(ActionKind::kEnd, "anna").pending) << "nothing to choose";
  std::optional<console::ShiftReport> day;
  ASSERT_TRUE(room.web->CloseShift("anna", 0, day).ok());
  EXPECT_EQ(day->totals.refunds, 250 + 145) << "no cash";
  room.StartAgent();
  ASSERT_TRUE(room.Until([&] { return !room.Rented(); })) << room.Log();
  EXPECT_EQ(store.FindMember(member)->balance, 0) << "no shift to settle it in";
  EXPECT_EQ(store.FindMember(member)->pending, 250);
  console::TillChange remove;
  remove.kind = console::TillChange::Kind::kRemoveMember;
  remove.member.id = member;
  EXPECT_NE(room.web->ChangeTill("anna", remove).refusal->text.find("2.50 BGN to come back"),
            std::string::npos);
  ASSERT_TRUE(room.web->OpenShift("anna", 0).ok());
  EXPECT_EQ(store.FindMember(member)->balance, 250);
  EXPECT_EQ(store.MemberMoves(member).size(), 3u) << "top-up, sale, refund";
}

// The console compares each station's state with its record: a station in
// a session the record doesn't have, and one free while the record has a
// session, are shown as mismatches and logged once, and nothing is sold,
// refunded or ended of itself; the operator ends it, records it or gives the
// time again. A station without "ACTION STATE" shows "no state", and its
// PING ends its session as before.
TEST_F(ConsoleApi, TheStationsStateIsComparedWithTheRecord) {
  console::Store store(db_);
  console::WebConsoleOptions options;
  options.probe_every_ms = 200;
  options.state_every_ms = 200;
  InProcessConsole room(store, dir_, options);
  using console::ActionKind;
  using Kind = console::Mismatch::Kind;
  auto other = platform::MakeUdpSocket();
  other->Bind("127.0.0.1", 0);
  auto mismatch = [&]() -> std::optional<Kind> {
    auto found = room.Pc1().mismatch;
    return found ? std::optional(found->kind) : std::nullopt;
  };

  other->SendTo(InProcessConsole::kPc1, protocol::kCommandPort, "ACTION SIT 30");
  ASSERT_TRUE(room.Until([&] { return mismatch() == Kind::kRunning; })) << room.Log();
  EXPECT_NE(console::MismatchText(*room.Pc1().mismatch).find("(30 min left there)"),
            std::string::npos);
  console::Millis seen = room.Pc1().state->at;
  ASSERT_TRUE(room.Until([&] { return room.Pc1().state->at > seen + 1'000; }));
  EXPECT_EQ(mismatch(), Kind::kRunning);
  EXPECT_EQ(CountActions(store, "mismatch"), 1) << "logged once";
  EXPECT_TRUE(store.OpenSessions().empty());
  EXPECT_EQ(store.SaleCount(), 0);
  console::ActionOutcome ended = room.Act(ActionKind::kEnd, "anna");
  ASSERT_TRUE(ended.ok()) << ended.refusal->text;
  EXPECT_FALSE(ended.pending);
  EXPECT_FALSE(mismatch());
  EXPECT_NE(room.Registry().find("\"ZalvoLogon\"=\"0\""), std::string::npos);

  ASSERT_TRUE(room.Act(ActionKind::kStart, "anna", 30).ok());
  for (int i = 0; i < 6; ++i) {
    other->SendTo(InProcessConsole::kPc1, protocol::kCommandPort, "ACTION STAND");
  }
  ASSERT_TRUE(room.Until([&] { return mismatch() == Kind::kFree; })) << room.Log();
  EXPECT_EQ(store.OpenSessions().size(), 1u) << "not ended of itself";
  EXPECT_EQ(CountActions(store, "mismatch"), 2);
  ASSERT_TRUE(room.Act(ActionKind::kAdd, "anna", 10).ok());
  ASSERT_TRUE(room.Until([&] { return room.Pc1().state->running && !mismatch(); }));

  // PC 2 is of a version without ACTION STATE.
  OldStation old(InProcessConsole::kPc2);
  auto pc2 = [&] { return room.web->Snapshot().stations.at(1); };
  ASSERT_TRUE(room.Until([&] { return pc2().state_support == console::StateSupport::kNo; }));
  console::ActionRequest request;
  request.kind = ActionKind::kStart;
  request.stations = {InProcessConsole::kPc2};
  request.minutes = 20;
  ASSERT_TRUE(room.web->Act("anna", request).at(0).ok());
  request.kind = ActionKind::kEnd;
  console::ActionOutcome old_end = room.web->Act("anna", request).at(0);
  ASSERT_TRUE(old_end.ok()) << old_end.refusal->text;
  EXPECT_FALSE(old_end.pending);
  EXPECT_FALSE(pc2().session);
  EXPECT_EQ(CountActions(store, "mismatch"), 2);
}

// With the club's rule the console ends a session at its time up, after the
// grace and with the customer told first; a club paid afterwards lets it run
// on and sells the minutes over at the tariff when it ends, the page showing
// what they cost meanwhile.
TEST_F(ConsoleApi, TimeUpEndsTheSessionOrSellsTheMinutesOver) {
  fs::create_directories(dir_ / "pc1");
  std::ofstream(dir_ / "pc1" / "console.txt") << "user anna\n";
  console::Store store(db_);
  console::WebConsoleOptions options;
  options.probe_every_ms = 200;
  InProcessConsole room(store, dir_, options);
  ASSERT_TRUE(Seeded(*room.web, Till300()));
  ASSERT_TRUE(room.web->OpenShift("anna", 0).ok());
  using console::ActionKind;
  ASSERT_TRUE(room.Act(ActionKind::kStart, "anna", 30).ok());
  room.now += 30 * 60'000;
  ASSERT_TRUE(WaitUntil([&] {
    return room.Journal().find("MessageWindow \"Времето ви изтича след 1 мин.\"") !=
           std::string::npos;
  })) << room.Journal();
  EXPECT_TRUE(room.Rented()) << "within the grace";
  room.now += 60'000;
  ASSERT_TRUE(WaitUntil([&] { return !room.Rented(); }));
  auto first = store.SessionsBetween(0, INT64_MAX).at(0);
  EXPECT_TRUE(first.end_confirmed);
  EXPECT_EQ(first.ended_by, "");
  EXPECT_FALSE(first.refund);
  EXPECT_EQ(first.sales.size(), 1u);

  console::TillChange rule;
  rule.kind = console::TillChange::Kind::kTimeUp;
  rule.time_up = console::TimeUpRule{false, 60};
  ASSERT_TRUE(room.web->ChangeTill("anna", rule).ok());
  ASSERT_TRUE(room.Act(ActionKind::kStart, "anna", 30).ok());
  room.now += 33 * 60'000 + 30'000;
  console::Millis asked = room.now;
  ASSERT_TRUE(room.Until([&] { return room.Pc1().state->at >= asked; }));
  EXPECT_TRUE(room.Rented());
  EXPECT_FALSE(room.Pc1().ending) << "runs on";
  auto overrun = room.web->Snapshot().overrun_price.at(0);
  ASSERT_TRUE(overrun);
  EXPECT_EQ(overrun->per_hour, 300);
  ASSERT_TRUE(room.Act(ActionKind::kEnd, "anna").ok());
  auto second = store.SessionsBetween(0, INT64_MAX).at(1);
  ASSERT_EQ(second.sales.size(), 2u);
  EXPECT_EQ(second.sales[1].minutes, 4) << "3.5 minutes over, a minute begun counted";
  EXPECT_EQ(second.sales[1].price, 20);
  EXPECT_TRUE(second.end_confirmed);

  // A member's session ends at its time all the same: its balance paid for
  // that time, and its minutes over are never sold.
  int64_t member = MemberWithBalance(*room.web, 500);
  ASSERT_TRUE(StartForMember(*room.web, member, 30).ok());
  EXPECT_FALSE(room.web->Snapshot().overrun_price.at(0));
  room.now += 32 * 60'000;
  ASSERT_TRUE(room.Until([&] { return !room.Rented(); })) << room.Log();
  auto third = store.SessionsBetween(0, INT64_MAX).at(2);
  EXPECT_EQ(third.ended_by, "");
  EXPECT_EQ(third.sales.size(), 1u);
  EXPECT_EQ(store.FindMember(member)->balance, 500 - 150);
}

// "Starting" is a restart or a power-on the console ordered, of a station
// that was there to hear the restart: silent within the grace, a start on it
// is refused but may be queued, sent when the station is heard and sold only
// then; a queued action the station does not answer in time is dropped,
// saying so. A station that fell silent unordered is lost, and a restart
// ordered then changes nothing.
TEST_F(ConsoleApi, AQueuedStartSellsOnlyWhenTheStationIsHeard) {
  console::Store store(db_);
  console::WebConsoleOptions options;
  options.probe_every_ms = 200;
  options.probe_wait_ms = 400;
  options.wake_address = "127.0.0.1";
  console::RoomOptions room_options;
  room_options.lost_ms = 1'000;
  InProcessConsole room(store, dir_, options, room_options);
  ASSERT_TRUE(Seeded(*room.web, Till300()));
  ASSERT_TRUE(room.web->OpenShift("anna", 0).ok());
  using console::ActionKind;
  using console::Connection;

  ASSERT_TRUE(room.Until([&] { return room.Pc1().last_heard >= 0; }));
  ASSERT_TRUE(room.Act(ActionKind::kReboot, "anna").ok());
  room.KillAgent();
  ASSERT_TRUE(room.Until([&] { return room.Connection() == Connection::kStarting; }));
  console::ActionOutcome refused = room.Act(ActionKind::kStart, "anna", 30);
  EXPECT_EQ(refused.refusal->kind, console::RefusalKind::kUnavailable);
  EXPECT_TRUE(refused.can_queue);
  console::ActionOutcome queued = room.Act(ActionKind::kStart, "anna", 30, std::nullopt, true);
  ASSERT_TRUE(queued.ok()) << queued.refusal->text;
  EXPECT_TRUE(queued.pending);
  EXPECT_TRUE(room.Pc1().queued);
  EXPECT_FALSE(room.Rented());
  EXPECT_EQ(store.SaleCount(), 0);
  room.StartAgent();
  ASSERT_TRUE(room.Until([&] { return room.Rented() && !room.Pc1().queued; })) << room.Log();
  EXPECT_EQ(store.SaleCount(), 1);

  // Silent unordered, past the grace of that start: lost, restart or not.
  room.KillAgent();
  room.now += 241'000;
  ASSERT_TRUE(room.Until([&] { return room.Connection() == Connection::kLost; }));
  ASSERT_TRUE(room.Act(ActionKind::kReboot, "anna").ok());
  room.now += 100;
  EXPECT_EQ(room.Connection(), Connection::kLost);
  EXPECT_FALSE(room.Act(ActionKind::kAdd, "anna", 10).can_queue);

  // Powered on, it may be starting; an add queued for it is dropped when it
  // is not heard in time.
  console::TillChange mac;
  mac.kind = console::TillChange::Kind::kMac;
  mac.stations = {InProcessConsole::kPc1};
  mac.mac = "00:1a:2b:3c:4d:5e";
  ASSERT_TRUE(room.web->ChangeTill("anna", mac).ok());
  ASSERT_TRUE(room.Act(ActionKind::kPowerOn, "anna").ok());
  ASSERT_TRUE(room.Act(ActionKind::kAdd, "anna", 10, std::nullopt, true).ok());
  room.now += 300'001;
  ASSERT_TRUE(room.Until([&] { return !room.Pc1().queued; })) << room.Log();
  EXPECT_NE(room.Pc1().notice.find("dropped"), std::string::npos) << room.Pc1().notice;
  EXPECT_EQ(CountActions(store, "add dropped"), 1);
  EXPECT_EQ(store.SaleCount(), 1);
}

// With the club's key: a keyed station's burst of reports (100 presses of
// Info) never makes it "not answering"; a station still installed without a
// key is not heard until an owner marks it unkeyed, and is then sent plain
// commands and shown unverified.
TEST_F(ConsoleApi, KeyedStationsStayOnlineThroughBurstsAndUnkeyedOnesAreUnverified) {
  protocol::CommandKey club{};
  for (size_t i = 0; i < club.size(); ++i) {
    club[i] = static_cast<uint8_t>(3 * i + 1);
  }
  fs::path key = dir_ / "pc1.key";
  std::ofstream(key) << protocol::KeyFileText(
      {protocol::DeriveStationKey(club, InProcessConsole::kPc1), InProcessConsole::kPc1,
       protocol::KeyKind::kStation});
  console::Store store(db_);
  InProcessConsole room(store, dir_, {}, {}, std::make_unique<console::KeyedEnvelope>(club),
                        {"--key-file", key.string()});
  using console::ActionKind;
  ASSERT_TRUE(WaitUntil([&] { return room.Connection() == console::Connection::kOnline; }));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(room.Act(ActionKind::kInfo, "anna").ok());
  }
  console::ActionOutcome start = room.Act(ActionKind::kStart, "anna", 30);
  ASSERT_TRUE(start.ok()) << start.refusal->text;
  EXPECT_EQ(room.Connection(), console::Connection::kOnline);

  OldStation unkeyed(InProcessConsole::kPc2);
  console::ActionRequest request;
  request.kind = ActionKind::kInfo;
  request.stations = {InProcessConsole::kPc2};
  auto pc2 = [&] { return room.web->Snapshot().stations.at(1); };
  room.web->Act("anna", request);
  ASSERT_TRUE(WaitUntil([&] { return room.web->Snapshot().counters.refused > 0; }));
  EXPECT_EQ(pc2().last_heard, -1) << "its plain PING is refused";
  request.kind = ActionKind::kUnkeyed;
  request.unkeyed = true;
  ASSERT_TRUE(room.web->Act("anna", request).at(0).ok());
  request.kind = ActionKind::kInfo;
  room.web->Act("anna", request);
  ASSERT_TRUE(WaitUntil([&] { return pc2().last_heard >= 0; }));
  EXPECT_TRUE(pc2().unkeyed);
  EXPECT_EQ(store.UnkeyedStations(), std::set<std::string>{InProcessConsole::kPc2});
}

}  // namespace
}  // namespace zalvo::testing
