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
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"

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

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit = 10s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (predicate()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return predicate();
}

// A station that answers every command with a report, sent back to the port
// the command came from (a console inside the test holds no fixed port).
class AnsweringStation {
 public:
  explicit AnsweringStation(const std::string& address) : socket_(platform::MakeUdpSocket()) {
    socket_->Bind(address, protocol::kCommandPort);
    thread_ = std::thread([this] {
      while (auto datagram = socket_->Receive(-1)) {
        if (datagram->byte_count > 0) {
          socket_->SendToAddress(datagram->from_address, datagram->from_port, "INFO  c:100MB");
        }
      }
    });
  }
  ~AnsweringStation() {
    socket_->Shutdown();
    thread_.join();
  }

 private:
  std::unique_ptr<platform::DatagramSocket> socket_;
  std::thread thread_;
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
    std::vector<std::string> args = {
        "--db",           db_,           "--room", (dir_ / "room.txt").string(),
        "--listen",       "127.0.0.1:0", "--bind", "127.0.0.1",
        "--keepalive-ms", "5000"};
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

  // The actions of that name carried out (not refused) on record.
  int64_t RecordedActions(const std::string& action) {
    sqlite3* db = nullptr;
    sqlite3_stmt* count = nullptr;
    int64_t n = -1;
    if (sqlite3_open(db_.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM actions WHERE action = ? AND outcome = ''", -1,
                           &count, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(count, 1, action.c_str(), -1, SQLITE_TRANSIENT);
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

  void StartAgent() {
    std::string output = (dir_ / "agent.log").string();
    agent_ = StartProcess(ZALVOS_PROGRAM,
                          {"--station", (dir_ / "station").string(), "--sample", "--tick-ms", "50",
                           "--bind", kStationAddress},
                          output);
    ASSERT_TRUE(WaitUntil([&] {
      return ReadFile(output).find("settings loaded") != std::string::npos;
    })) << ReadFile(output);
  }

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
  EXPECT_NE(csv->body.find(",45,anna,anna,1,,,,,,\r\n"), std::string::npos) << csv->body;
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

// A console in this process over the record, on a clock the test moves, and
// its one station, which answers every command as a station does.
struct InProcessConsole {
  explicit InProcessConsole(console::Record& record, console::WebConsoleOptions options = {}) {
    record.AddStation({"PC 1", "127.0.0.77"}, 0);
    options.udp_address = "127.0.0.1";
    options.udp_port = 0;
    options.clock = [this] { return now.load(); };
    web =
        std::make_unique<console::WebConsole>(console::Room(), record, envelope, *socket, options);
    web->OpenRoom();
    web->RestoreSessions();
    web->Start();
  }
  console::ActionOutcome Act(console::ActionKind kind, const std::string& by, int32_t minutes = 0,
                             std::optional<bool> refund = std::nullopt) {
    console::ActionRequest request;
    request.kind = kind;
    request.stations = {"127.0.0.77"};
    request.minutes = minutes;
    request.refund = refund;
    return web->Act(by, request).at(0);
  }
  bool Rented() { return web->Snapshot().stations.at(0).session.has_value(); }

  std::atomic<console::Millis> now{1'700'000'000'000};
  console::PlainEnvelope envelope;
  std::unique_ptr<platform::DatagramSocket> socket = platform::MakeUdpSocket();
  AnsweringStation station{"127.0.0.77"};
  std::unique_ptr<console::WebConsole> web;
};

// An action whose line can't be recorded leaves the record, the room and the
// station as they were: no session begun or ended in one and not the other.
TEST_F(ConsoleApi, AnActionIsRecordedWholeOrNotAtAll) {
  RecordFailingActions record(db_);
  console::Store& store = record;
  InProcessConsole console(record);
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
  InProcessConsole till(store);
  console::TillPlan plan{
      "BGN", {{0, "Standard", 300, 0}}, {{"Main", "Standard"}}, {{"127.0.0.77", "Main"}}};
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
  dearer.tariff.per_hour = 600;
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
  EXPECT_NE(csv.find(",90,anna,ben,16,4.50,3.70,yes,anna:60 anna:30,ben,BGN\r\n"),
            std::string::npos)
      << csv;
  EXPECT_EQ(store.ShiftsBetween(0, till.now + 1).size(), 2u);
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
  InProcessConsole till(store, options);
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
  Act(csrf, {{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 1}});
  EXPECT_TRUE(WaitUntil([&] {
    return journal().find("MessageWindow \"Времето ви изтича след 1 мин.\"") != std::string::npos;
  })) << journal();
}

// A record of the first schema, as a console before the till left it: its
// sessions and operators stay, with no price, and it sells from then on.
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
    INSERT INTO sessions VALUES(2, 'PC 1', '127.0.0.77', 4000000, 7600000, 60, 'anna', NULL, NULL);
    INSERT INTO operators VALUES('anna', 'hash');
    PRAGMA user_version = 1;)sql",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  {
    console::Store store(db_);
    std::string notes;
    for (const auto& note : store.notes()) {
      notes += note + "\n";
    }
    EXPECT_NE(notes.find("upgraded to schema 2"), std::string::npos) << notes;
    EXPECT_EQ(store.Operator("anna")->hash, "hash");
    EXPECT_EQ(store.Operator("anna")->role, console::Role::kOwner) << "the operators become owners";
    auto old = store.SessionsBetween(0, 5'000'000);
    ASSERT_EQ(old.size(), 2u);
    EXPECT_EQ(console::UsedMinutes(old[0]), 30);
    EXPECT_FALSE(console::SessionPrice(old[0]));
    EXPECT_EQ(console::SessionsCsv({old[0]}, "BGN").find("BGN"), std::string::npos);
  }
  console::Store store(db_);
  EXPECT_TRUE(store.notes().empty()) << "upgraded once";
  // Its first start takes in the room file's lines the record lacks, once.
  console::WebConsoleOptions options;
  std::string file =
      "currency EUR\ntariff T 1.20 minimum 0.50\ngroup G T\n\"PC 1\" 127.0.0.77\n"
      "\"PC 2\" 127.0.0.78 2 1\n";
  options.room_file = [&] { return file; };
  {
    InProcessConsole till(store, options);
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
  InProcessConsole again(store, options);
  EXPECT_EQ(again.web->Snapshot().stations.size(), 2u);
  EXPECT_EQ(again.web->RoomFile().missing.size(), 3u) << "group H, PC 3 and its group";
  EXPECT_EQ(RecordedActions("room file taken in"), 1);
}

// A rented station is not removed; once free it is, and its sessions stay
// on record.
TEST_F(ConsoleApi, ARemovedStationsSessionsStay) {
  console::Store store(db_);
  InProcessConsole console(store);
  ASSERT_TRUE(console.Act(console::ActionKind::kStart, "anna", 30).ok());
  console::RoomChange remove;
  remove.kind = console::RoomChange::Kind::kRemove;
  remove.station = "127.0.0.77";
  EXPECT_EQ(console.web->ChangeRoom("anna", remove).refusal->text,
            "the station is rented: end the session first");
  ASSERT_TRUE(console.Act(console::ActionKind::kEnd, "anna").ok());
  ASSERT_TRUE(console.web->ChangeRoom("anna", remove).ok());
  EXPECT_TRUE(console.web->Snapshot().stations.empty());
  EXPECT_TRUE(store.Stations().empty());
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
        guesser.SetTimeout(1500ms);
        guesser.Post("/api/login", json{{"name", "anna"}, {"password", "guess"}}.dump());
      });
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
    for (auto& guess : guesses) {
      guess.join();
    }
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
  StartConsole();
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
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(next->Running()) << "it waits while the ports are taken: " << ReadFile(next_log);
  EXPECT_NE(ReadFile(next_log).find(" is in use; trying again"), std::string::npos);

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
// never answered is refused, and forced only once the console restarted
// it. "End" on a free station has nothing to end and sends nothing.
TEST_F(ConsoleApi, StartsOnlyWhereTheStationAnswers) {
  StartAgent();
  StartConsole({"--probe-wait-ms", "500"});
  std::string csrf = LogIn();
  const std::string silent = "127.0.0.22";  // in the room's file, no agent
  auto end = Act(csrf, {{"action", "end"}, {"stations", {kStationAddress}}}, 409);
  EXPECT_EQ(end["results"][0]["error"], "nothing to end");

  auto start = [&](const std::vector<std::string>& stations, bool anyway, int status) {
    json body{{"action", "start"}, {"stations", stations}, {"minutes", 30}};
    if (anyway) {
      body["anyway"] = true;
    }
    return Act(csrf, body, status)["results"];
  };
  json results = start({kStationAddress, silent}, false, 503);
  EXPECT_EQ(results[0]["ok"], true) << results;
  EXPECT_EQ(results[1]["error"], "the station does not answer");
  EXPECT_FALSE(results[1].contains("can_force")) << "not known to be restarting";
  EXPECT_NE(start({silent}, true, 409)[0]["error"].get<std::string>().find("not known to be "
                                                                           "restarting"),
            std::string::npos);
  EXPECT_EQ(StationOf(silent)["state"], "free");
  EXPECT_EQ(StationOf(silent)["connection"], "offline");
  EXPECT_EQ(StationOf(kStationAddress)["connection"], "online");
  EXPECT_EQ(RecordedActions("start"), 1);

  Act(csrf, {{"action", "reboot"}, {"stations", {silent}}, {"confirm", true}});
  EXPECT_EQ(start({silent}, false, 503)[0]["can_force"], true);
  start({silent}, true, 200);
  EXPECT_EQ(StationOf(silent)["state"], "rented");

  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(dir_ / "agent.log").find("ACTION SIT 30") != std::string::npos;
  })) << ReadFile(dir_ / "agent.log");
  std::string agent_log = ReadFile(dir_ / "agent.log");
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

// Within the grace after a start the station may be restarting Windows: not
// heard, it is starting, not lost, and a new start may be forced.
TEST_F(ConsoleApi, WithinTheStartGraceASilentStationIsStarting) {
  StartAgent();
  StartConsole({"--probe-ms", "200", "--lost-ms", "600", "--probe-wait-ms", "300"});
  std::string csrf = LogIn();
  Act(csrf, {{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 30}});
  agent_->Kill();
  ASSERT_TRUE(WaitUntil([&] { return StationOf(kStationAddress)["connection"] == "starting"; }, 5s))
      << Room().dump();
  EXPECT_EQ(Room()["lost_count"], 0);
  EXPECT_EQ(RecordedActions("connection lost"), 0);

  Act(csrf, {{"action", "end"}, {"stations", {kStationAddress}}});
  json start{{"action", "start"}, {"stations", {kStationAddress}}, {"minutes", 10}};
  json refused = Act(csrf, start, 503)["results"][0];
  EXPECT_EQ(refused["error"], "the station does not answer");
  EXPECT_EQ(refused["can_force"], true);
  start["anyway"] = true;
  Act(csrf, start);
  EXPECT_EQ(StationOf(kStationAddress)["state"], "rented");
}

}  // namespace
}  // namespace zalvo::testing
