// The web side's frame: the server's threads, the one table of routes and
// the checks every request passes before its handler (the name the console
// is reached by, the log-in, the request's origin, the role).
#include "console/web/web_server.h"

#include "console/web/answers.h"
#include "console/web/page.h"

namespace zalvo::console {
namespace {

constexpr const char* kCsrfHeader = "x-zalvo-csrf";

const char* const kNotFromThePage = "refused: the request did not come from the console's page";

// A state-changing request that another site's page could have sent: not
// JSON (a plain form can't send JSON without the browser asking first), or
// marked by the browser as coming from elsewhere. Origin, when present, is
// checked for every request against the console's own names.
bool CrossSite(const HttpRequest& request) {
  if (request.Header("content-type").rfind("application/json", 0) != 0) {
    return true;
  }
  std::string site = request.Header("sec-fetch-site");
  return !site.empty() && site != "same-origin" && site != "none";
}

HttpResponse Page(std::string_view content, const char* type) {
  HttpResponse response = Text(200, std::string(content), type);
  SetHeader(response, "Content-Security-Policy",
            "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  return response;
}

// Who may use a route.
enum class Access {
  kAnyone,    // the page's files, the log-in
  kOperator,  // any operator logged in
  kOwner,     // an owner logged in
};

constexpr const char* kScript = "text/javascript; charset=utf-8";

// A request with an id is carried out once (see WebServer::Once).
constexpr bool kOnce = true;

}  // namespace

// Whether a route's requests count against the operator's allowance of
// actions: those that change something and go into the log.
enum class Limit { kNone, kAction };

struct WebServer::Routes {
  struct Row {
    std::string_view method;
    std::string_view path;
    Handler handler = nullptr;
    // A file of the page, served as it stands (no handler).
    const std::string_view* file = nullptr;
    const char* type = nullptr;
    Access access = Access::kAnyone;
    Limit limit = Limit::kNone;
    bool once = false;
  };
  // A path of the API, and a file of the page.
  static constexpr Row Api(std::string_view method, std::string_view path, Access access,
                           Handler handler, Limit limit = Limit::kNone,
                           bool once = false) noexcept {
    return {method, path, handler, nullptr, nullptr, access, limit, once};
  }
  static constexpr Row PageFile(std::string_view path, const std::string_view* file,
                                const char* type) noexcept {
    return {"GET", path, nullptr, file, type, Access::kAnyone, Limit::kNone, false};
  }
  static const Row kRows[];
};

const WebServer::Routes::Row WebServer::Routes::kRows[] = {
    PageFile("/", &kPageHtml, "text/html; charset=utf-8"),
    PageFile("/app.js", &kPageScript, kScript),
    PageFile("/common.js", &kPageCommonScript, kScript),
    PageFile("/till.js", &kPageTillScript, kScript),
    PageFile("/admin.js", &kPageAdminScript, kScript),
    PageFile("/boot.js", &kPageBootScript, kScript),
    PageFile("/members.js", &kPageMembersScript, kScript),
    PageFile("/app.css", &kPageStyle, "text/css; charset=utf-8"),
    Api("POST", "/api/login", Access::kAnyone, &WebServer::LogIn),
    Api("POST", "/api/logout", Access::kOperator, &WebServer::LogOut),
    Api("GET", "/api/me", Access::kOperator, &WebServer::Me),
    Api("GET", "/api/room", Access::kOperator, &WebServer::GetRoom),
    Api("GET", "/api/windows", Access::kOperator, &WebServer::Windows),
    Api("POST", "/api/act", Access::kOperator, &WebServer::Act, Limit::kAction, kOnce),
    Api("POST", "/api/station", Access::kOperator, &WebServer::ChangeStation, Limit::kAction,
        kOnce),
    Api("GET", "/api/room-file", Access::kOwner, &WebServer::RoomFile),
    Api("GET", "/api/till", Access::kOperator, &WebServer::Till),
    Api("GET", "/api/quote", Access::kOperator, &WebServer::Quote),
    // Each change's row says who may make it (members at the counter:
    // an operator; the set-up: an owner).
    Api("POST", "/api/till/change", Access::kOperator, &WebServer::ChangeTill, Limit::kAction,
        kOnce),
    Api("POST", "/api/shift", Access::kOperator, &WebServer::Shift, Limit::kAction, kOnce),
    Api("POST", "/api/end-preview", Access::kOperator, &WebServer::PreviewEnd),
    Api("GET", "/api/sessions", Access::kOperator, &WebServer::Sessions),
    Api("GET", "/api/sessions.csv", Access::kOwner, &WebServer::SessionsCsv),
    Api("GET", "/api/shifts", Access::kOperator, &WebServer::Shifts),
    Api("GET", "/api/shifts.csv", Access::kOwner, &WebServer::ShiftsCsv),
    Api("GET", "/api/operators", Access::kOwner, &WebServer::Operators),
    Api("POST", "/api/operators/change", Access::kOwner, &WebServer::ChangeOperator, Limit::kAction,
        kOnce),
    Api("GET", "/api/actions", Access::kOperator, &WebServer::ActionLog),
    Api("GET", "/api/members", Access::kOperator, &WebServer::Members),
    Api("GET", "/api/members/statement", Access::kOperator, &WebServer::Statement),
    Api("GET", "/api/members/statement.csv", Access::kOperator, &WebServer::StatementCsv),
};

WebServer::Checkers::Checkers(int count) {
  for (int i = 0; i < count; ++i) {
    threads_.emplace_back([this] {
      for (;;) {
        std::function<void()> job;
        {
          std::unique_lock lock(mutex_);
          ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
          if (stopping_) {
            return;
          }
          job = std::move(jobs_.front());
          jobs_.pop_front();
        }
        job();
      }
    });
  }
}

WebServer::Checkers::~Checkers() {
  Stop();
}

void WebServer::Checkers::Submit(std::function<void()> job, bool first) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;
    }
    if (first) {
      jobs_.push_front(std::move(job));
    } else {
      jobs_.push_back(std::move(job));
    }
  }
  ready_.notify_one();
}

void WebServer::Checkers::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  ready_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

WebServer::WebServer(WebConsole& console, WebOptions options)
    : console_(console),
      options_(std::move(options)),
      epoch_(RandomHex(8)),
      gate_(options_.login_limits),
      action_limit_(options_.action_limits),
      checkers_(options_.password_checkers),
      actors_(options_.actors) {
  HttpServerOptions http = options_.http;
  http.max_body = kMaxRequestBody;
  http.tls_certificate_file = options_.tls_certificate_file;
  http.tls_key_file = options_.tls_key_file;
  http_ = std::make_unique<HttpServer>(
      http, [this](HttpRequest request, std::shared_ptr<HttpReply> reply) {
        Handle(std::move(request), reply);
      });
  // The console calls this with its lock held: the polls are answered on
  // the server's threads, once for a burst of changes.
  console_.SetChangeListener([this] {
    if (!answer_pending_.exchange(true)) {
      http_->After(std::chrono::milliseconds(0), [this] { AnswerPolls(false); });
    }
  });
}

WebServer::~WebServer() {
  Stop();
}

int WebServer::Bind(const std::string& host, int port) {
  int bound = http_->Bind(host, port);
  hosts_.emplace(host, bound, !options_.tls_certificate_file.empty(), options_.allowed_names);
  return bound;
}

void WebServer::Serve() {
  http_->Run();
}

void WebServer::Stop() {
  // The waiting pages learn at once that the console goes (they ask again
  // until it is back); the HTTP server then writes these answers, closes
  // every connection and ends.
  std::vector<Poll> waiting;
  {
    std::lock_guard lock(polls_mutex_);
    stopping_ = true;
    waiting.swap(polls_);
  }
  for (auto& poll : waiting) {
    Answer(poll.reply, Refuse(RefusalKind::kUnavailable, kStopping));
  }
  waiting.clear();
  http_->Stop();
  checkers_.Stop();
  actors_.Stop();
}

void WebServer::Handle(HttpRequest request, const std::shared_ptr<HttpReply>& reply) {
  Answered response;
  // A page of another site whose name was made to point here (DNS
  // rebinding) sends its own name in Host, and Origin where it has one.
  if (!hosts_ || request.HeaderCount("host") != 1 || !hosts_->Host(request.Header("host")) ||
      (request.HeaderCount("origin") != 0 && !hosts_->Origin(request.Header("origin")))) {
    response = Refuse(RefusalKind::kNotAllowed, "refused: the console is not reached by that name");
  } else {
    try {
      response = Route(request, reply);
    } catch (const Refused& e) {
      response = Refuse(e.refusal());
    } catch (const std::exception& e) {
      response = Refuse(RefusalKind::kFailed, e.what());
    }
  }
  if (response) {
    Answer(reply, std::move(*response));
  }
}

WebServer::Answered WebServer::Route(const HttpRequest& request,
                                     const std::shared_ptr<HttpReply>& reply) {
  const Routes::Row* route = nullptr;
  const Routes::Row* other_method = nullptr;
  for (const auto& row : Routes::kRows) {
    if (row.path == request.path) {
      (row.method == request.method ? route : other_method) = &row;
    }
  }
  if (!route) {
    return other_method
               ? Refuse(RefusalKind::kWrongMethod, "use " + std::string(other_method->method))
               : Refuse(RefusalKind::kNotFound, "not found");
  }
  if (route->file) {
    return Page(*route->file, route->type);
  }
  bool post = request.method == "POST";
  Call call{request, reply};
  if (route->access == Access::kAnyone) {
    if (post && CrossSite(request)) {
      return Refuse(RefusalKind::kNotAllowed, kNotFromThePage);
    }
    return (this->*route->handler)(call);
  }
  auto login = Who(request, call.role);
  if (!login) {
    return Refuse(RefusalKind::kNotLoggedIn, "log in first");
  }
  if (post && (CrossSite(request) || request.Header(kCsrfHeader) != login->csrf)) {
    return Refuse(RefusalKind::kNotAllowed, kNotFromThePage);
  }
  if (route->access == Access::kOwner && call.role != Role::kOwner) {
    return Refuse(OwnersOnly());
  }
  if (route->limit == Limit::kAction) {
    if (auto over = OverLimit(login->operator_name)) {
      return over;
    }
  }
  call.login = &*login;
  return route->once ? Once(call, route->handler) : (this->*route->handler)(call);
}

std::optional<HttpResponse> WebServer::OverLimit(const std::string& operator_name) {
  std::chrono::seconds retry_after{0};
  auto refused = action_limit_.Take(operator_name, std::chrono::steady_clock::now(), retry_after);
  if (!refused) {
    return std::nullopt;
  }
  HttpResponse response = Refuse(*refused);
  SetHeader(response, "Retry-After", std::to_string(retry_after.count()));
  return response;
}

}  // namespace zalvo::console
