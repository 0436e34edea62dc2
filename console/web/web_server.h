// The console's web side: the embedded page and the JSON API behind the
// operator's log-in, over the asynchronous HTTP server. Only the names the
// console is reached by are served; log-ins pass the gate and have their
// passwords checked on a few threads of their own, as are the operators'
// actions (a start waits for the stations' answers); the room's long poll
// waits without a thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/core/web_console.h"
#include "console/web/auth.h"
#include "console/web/http.h"

namespace zalvo::console {

// Request bodies larger than this are refused (413).
inline constexpr size_t kMaxRequestBody = size_t{16} * 1024;

struct WebOptions {
  // Further names (or "name:port") the operators open the page by; see
  // AllowedHosts.
  std::vector<std::string> allowed_names;
  // Both or neither: serve HTTPS with this PEM certificate and key.
  std::string tls_certificate_file;
  std::string tls_key_file;
  // Password checks at once (each takes Argon2id's 64 MiB), and the gate's
  // bounds.
  int password_checkers = 2;
  // Operators' actions carried out at once (a start waits for the
  // stations' answers on one of these threads).
  int actors = 2;
  LoginGate::Limits login_limits;
  ActionLimit::Limits action_limits;
  std::chrono::milliseconds long_poll{10'000};
  HttpServerOptions http;  // its TLS files come from the two above
};

// The local days an export or a list covers, both included.
struct DayRange {
  std::string from;
  std::string to;
  Millis begin = 0;  // the first day's start
  Millis end = 0;    // the last day's end
  std::string Label() const { return from == to ? from : from + "_" + to; }
};

// The JSON text of the room's answer (GET /api/room): the room's version,
// the run's epoch, whether it is the whole room ("full") or the stations
// changed after the version asked for with the addresses "removed" since,
// and the room's counters.
std::string RoomAnswer(const RoomSnapshot& snapshot, const std::string& epoch);

class WebServer {
 public:
  // Throws std::runtime_error when the TLS files cannot be used.
  WebServer(WebConsole& console, WebOptions options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds host:port (port 0: any free port) and returns the port; throws
  // std::runtime_error when it cannot.
  int Bind(const std::string& host, int port);
  // Serves until Stop.
  void Serve();
  void Stop();

 private:
  // A few threads that run jobs one at a time each: password checks, and
  // operators' actions.
  class Checkers {
   public:
    explicit Checkers(int count);
    ~Checkers();
    Checkers(const Checkers&) = delete;
    Checkers& operator=(const Checkers&) = delete;
    // A job that goes first is checked before those waiting.
    void Submit(std::function<void()> job, bool first = false);
    // Joins the threads; jobs not started are dropped.
    void Stop();

   private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
  };

  struct Poll {
    uint64_t after = 0;
    std::shared_ptr<HttpReply> reply;
    std::chrono::steady_clock::time_point until;
  };

  // One request as its route's handler sees it: the operator and their
  // role for every route but those anyone may use.
  struct Call {
    const HttpRequest& request;
    const std::shared_ptr<HttpReply>& reply;
    const OperatorSession* login = nullptr;
    Role role = Role::kOperator;
  };
  // A handler answers now, or (nullopt) later through the call's reply.
  using Answered = std::optional<HttpResponse>;
  using Handler = Answered (WebServer::*)(const Call&);
  // The paths, their methods, who may use them and their handlers: one row
  // each (web_server.cpp).
  struct Routes;
  // The answer to a request with an id, and the repeats of it waiting for
  // that answer (web_once.cpp).
  class OnceReply;
  struct InFlight {
    std::string fingerprint;
    std::vector<std::shared_ptr<HttpReply>> repeats;
  };

  void Handle(HttpRequest request, const std::shared_ptr<HttpReply>& reply);
  Answered Route(const HttpRequest& request, const std::shared_ptr<HttpReply>& reply);
  // The operator of a request and their role, or nullopt (a 401 to answer).
  std::optional<OperatorSession> Who(const HttpRequest& request, Role& role);
  // A request that changes something, carried out once per id: the body's
  // "request" (the page's id for one click) names it; a repeat of the id
  // gets the first request's answer, whether it comes while the first is
  // carried out or later (the record keeps the answers a day); a repeat
  // with other content is refused. Without an id the handler runs as for
  // any request.
  Answered Once(const Call& call, Handler handler);
  void FinishOnce(const std::string& operator_name, const std::string& id, HttpResponse response,
                  const std::shared_ptr<HttpReply>& first);

  // The handlers, by concern: the log-in (web_login.cpp), the room and the
  // actions on stations (web_room.cpp), the till and its reports
  // (web_till.cpp), the operators and the log (web_operators.cpp).
  Answered LogIn(const Call& call);
  Answered LogOut(const Call& call);
  Answered Me(const Call& call);
  void CheckPassword(const std::string& client, const std::string& name,
                     const std::string& password, bool tls, bool known_device,
                     const std::shared_ptr<HttpReply>& reply);
  // Whether a request may change something now: every such request of an
  // operator counts against the operator's allowance (ActionLimit).
  std::optional<HttpResponse> OverLimit(const std::string& operator_name);
  Answered GetRoom(const Call& call);
  // The room's long poll: answered at once when the room has moved past
  // `after`, else at the next change or when the poll's time is up; with
  // what changed after it, or the whole room (see Room::ChangesSince).
  void WaitForRoom(uint64_t after, const std::shared_ptr<HttpReply>& reply);
  void AnswerPolls(bool expired_only);
  HttpResponse RoomResponse(uint64_t after = 0);
  Answered Windows(const Call& call);
  Answered Act(const Call& call);
  Answered ChangeStation(const Call& call);
  Answered RoomFile(const Call& call);
  std::optional<DayRange> Days(const HttpRequest& request);
  Answered Sessions(const Call& call);
  Answered SessionsCsv(const Call& call);
  Answered Shifts(const Call& call);
  Answered ShiftsCsv(const Call& call);
  HttpResponse SessionsOfDays(const HttpRequest& request, bool csv);
  HttpResponse ShiftsOfDays(const HttpRequest& request, bool csv);
  Answered Till(const Call& call);
  // The till; `done` says what a change just did.
  HttpResponse TillResponse(const std::string& done = "");
  Answered ChangeTill(const Call& call);
  Answered Shift(const Call& call);
  Answered PreviewEnd(const Call& call);
  Answered Quote(const Call& call);
  Answered Members(const Call& call);
  Answered Statement(const Call& call);
  Answered StatementCsv(const Call& call);
  HttpResponse StatementOf(const HttpRequest& request, bool csv);
  Answered Operators(const Call& call);
  Answered ChangeOperator(const Call& call);
  Answered ActionLog(const Call& call);

  WebConsole& console_;
  WebOptions options_;
  // The requests with an id being carried out, by operator and id; a
  // password in one is named in its fingerprint by a hash under this run's
  // own key, never by one the record could test guesses against.
  std::string password_key_ = RandomHex(32);
  std::mutex requests_mutex_;
  std::map<std::pair<std::string, std::string>, InFlight> in_flight_;
  // Names this run of the console in the room's answers: a page's version
  // from another run (which counts its versions afresh) gets the whole room.
  std::string epoch_;
  OperatorSessions operator_sessions_;
  LoginGate gate_;
  ActionLimit action_limit_;
  std::optional<AllowedHosts> hosts_;  // set by Bind
  std::unique_ptr<HttpServer> http_;
  Checkers checkers_;
  Checkers actors_;
  std::mutex polls_mutex_;
  std::vector<Poll> polls_;
  bool stopping_ = false;  // under polls_mutex_: no poll waits any more
  std::atomic<bool> answer_pending_{false};
};

}  // namespace zalvo::console
