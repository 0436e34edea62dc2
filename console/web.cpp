#include "console/web.h"

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace zalvo::console {
namespace {

using nlohmann::json;

constexpr const char* kCookie = "zalvo_session";
constexpr const char* kCsrfHeader = "X-Zalvo-Csrf";
constexpr size_t kMaxCaption = 254;
constexpr size_t kMaxStationsPerRequest = 1024;

void Reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& message) {
  Reply(res, status, json{{"error", message}});
}

std::string CookieToken(const httplib::Request& req) {
  std::string cookies = req.get_header_value("Cookie");
  std::string prefix = std::string(kCookie) + "=";
  size_t pos = 0;
  while (pos < cookies.size()) {
    size_t end = cookies.find(';', pos);
    if (end == std::string::npos) {
      end = cookies.size();
    }
    std::string part = cookies.substr(pos, end - pos);
    size_t first = part.find_first_not_of(' ');
    if (first != std::string::npos && part.compare(first, prefix.size(), prefix) == 0) {
      return part.substr(first + prefix.size());
    }
    pos = end + 1;
  }
  return "";
}

// A request from another site's page: its Origin is not this server, or it
// is not JSON (a plain form can't send JSON without the browser asking first).
bool CrossSite(const httplib::Request& req) {
  std::string type = req.get_header_value("Content-Type");
  if (type.rfind("application/json", 0) != 0) {
    return true;
  }
  if (req.has_header("Origin")) {
    return req.get_header_value("Origin") != "http://" + req.get_header_value("Host");
  }
  std::string site = req.get_header_value("Sec-Fetch-Site");
  return !site.empty() && site != "same-origin" && site != "none";
}

// The body as a JSON object whose keys are all among the allowed ones; else
// a 400 with the reason, and nullopt.
std::optional<json> BodyObject(const httplib::Request& req, httplib::Response& res,
                               const std::set<std::string>& allowed) {
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded()) {
    Fail(res, 400, "the body is not JSON");
    return std::nullopt;
  }
  if (!body.is_object()) {
    Fail(res, 400, "the body must be a JSON object");
    return std::nullopt;
  }
  for (const auto& item : body.items()) {
    if (allowed.count(item.key()) == 0) {
      Fail(res, 400, "unknown field '" + item.key() + "'");
      return std::nullopt;
    }
  }
  return body;
}

std::optional<int32_t> IntField(const json& body, const char* key, int32_t low, int32_t high) {
  if (!body.contains(key) || !body[key].is_number_integer()) {
    return std::nullopt;
  }
  auto value = body[key].get<int64_t>();
  if (value < low || value > high) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

json SessionJson(const SessionRecord& s) {
  return json{{"id", s.id},
              {"station", s.station},
              {"address", s.address},
              {"started_at", s.started},
              {"ends_at", s.ends},
              {"minutes", s.minutes},
              {"started_by", s.started_by},
              {"ended_at", s.ended ? json(*s.ended) : json(nullptr)},
              {"ended_by", s.ended ? json(s.ended_by) : json(nullptr)}};
}

json StationJson(const Station& station, bool online, Millis now) {
  json j{{"address", station.address},
         {"name", station.name},
         {"column", station.column},
         {"row", station.row},
         {"configured", station.configured},
         {"online", online},
         {"last_heard_ms", station.last_heard < 0 ? json(nullptr) : json(now - station.last_heard)},
         {"foreground", station.foreground ? json(*station.foreground) : json(nullptr)},
         {"free_mb", station.free_mb ? json(*station.free_mb) : json(nullptr)}};
  switch (OccupancyOf(station, now)) {
    case Occupancy::kFree:
      j["state"] = "free";
      break;
    case Occupancy::kRented:
      j["state"] = "rented";
      break;
    case Occupancy::kOverrun:
      j["state"] = "overrun";
      break;
  }
  if (station.session) {
    j["session"] = json{{"started_at", station.session->started},
                        {"ends_at", station.session->ends},
                        {"minutes", station.session->minutes},
                        {"started_by", station.session->started_by},
                        {"seconds_left", RemainingSeconds(*station.session, now)}};
  } else {
    j["session"] = nullptr;
  }
  return j;
}

}  // namespace

WebServer::WebServer(Console& console)
    : console_(console), server_(std::make_unique<httplib::Server>()) {
  server_->set_payload_max_length(kMaxRequestBody);
  // An idle kept-alive connection holds a worker; a short wait lets the
  // console stop soon and keeps workers free for the pages.
  server_->set_keep_alive_timeout(1);
  server_->new_task_queue = [] { return new httplib::ThreadPool(48); };
  Routes();
}

WebServer::~WebServer() {
  Stop();
}

int WebServer::Bind(const std::string& host, int port) {
  if (port == 0) {
    int bound = server_->bind_to_any_port(host);
    if (bound < 0) {
      throw std::runtime_error("cannot listen on " + host);
    }
    return bound;
  }
  if (!server_->bind_to_port(host, port)) {
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                             " (in use, or not an address of this machine)");
  }
  return port;
}

bool WebServer::Serve() {
  return server_->listen_after_bind();
}

void WebServer::Stop() {
  if (server_) {
    server_->stop();
  }
}

void WebServer::Routes() {
  auto& s = *server_;

  s.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                         {"X-Frame-Options", "DENY"},
                         {"Referrer-Policy", "no-referrer"}});

  auto page = [](const char* content, const char* type) {
    return [content, type](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
      res.set_content(content, type);
    };
  };
  s.Get("/", page(kPageHtml, "text/html; charset=utf-8"));
  s.Get("/app.js", page(kPageScript, "text/javascript; charset=utf-8"));
  s.Get("/app.css", page(kPageStyle, "text/css; charset=utf-8"));

  // The operator of the request, or a 401 and nullopt.
  auto who = [this](const httplib::Request& req,
                    httplib::Response& res) -> std::optional<OperatorSession> {
    std::string token = CookieToken(req);
    auto session = token.empty() ? std::nullopt : sessions_.Find(token);
    if (!session) {
      Fail(res, 401, "log in first");
    }
    return session;
  };
  // The operator of a state-changing request, or a 401/403 and nullopt.
  auto writer = [who](const httplib::Request& req,
                      httplib::Response& res) -> std::optional<OperatorSession> {
    auto session = who(req, res);
    if (!session) {
      return std::nullopt;
    }
    if (CrossSite(req) || req.get_header_value(kCsrfHeader) != session->csrf) {
      Fail(res, 403, "refused: the request did not come from the console's page");
      return std::nullopt;
    }
    return session;
  };

  s.Post("/api/login", [this](const httplib::Request& req, httplib::Response& res) {
    if (CrossSite(req)) {
      Fail(res, 403, "refused: the request did not come from the console's page");
      return;
    }
    auto body = BodyObject(req, res, {"name", "password"});
    if (!body) {
      return;
    }
    if (!(*body)["name"].is_string() || !(*body)["password"].is_string()) {
      Fail(res, 400, "'name' and 'password' must be texts");
      return;
    }
    std::string name = (*body)["name"];
    std::string password = (*body)["password"];
    auto now = LoginThrottle::Clock::now();
    auto wait = throttle_.WaitFor(req.remote_addr, now);
    if (wait.count() > 0) {
      res.set_header("Retry-After", std::to_string(wait.count()));
      Fail(res, 429,
           "too many wrong passwords: try again in " + std::to_string(wait.count()) + " s");
      return;
    }
    auto hash = console_.OperatorHash(name);
    // A name that does not exist costs as much time as a wrong password.
    static const std::string kDummyHash = HashPassword(RandomHex(16));
    bool right = VerifyPassword(hash ? *hash : kDummyHash, password) && hash.has_value();
    if (!right) {
      throttle_.Failed(req.remote_addr, LoginThrottle::Clock::now());
      Fail(res, 401, "wrong name or password");
      return;
    }
    throttle_.Succeeded(req.remote_addr);
    std::string token = sessions_.Open(name);
    auto session = sessions_.Find(token);
    console_.RecordAction(name, "login", "from " + req.remote_addr);
    res.set_header("Set-Cookie",
                   std::string(kCookie) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/");
    Reply(res, 200, json{{"operator", name}, {"csrf", session->csrf}});
  });

  s.Post("/api/logout", [this, writer](const httplib::Request& req, httplib::Response& res) {
    auto session = writer(req, res);
    if (!session) {
      return;
    }
    sessions_.Close(CookieToken(req));
    res.set_header("Set-Cookie", std::string(kCookie) +
                                     "=; HttpOnly; SameSite=Strict; Path=/; "
                                     "Max-Age=0");
    Reply(res, 200, json{{"ok", true}});
  });

  s.Get("/api/me", [who](const httplib::Request& req, httplib::Response& res) {
    auto session = who(req, res);
    if (session) {
      Reply(res, 200, json{{"operator", session->operator_name}, {"csrf", session->csrf}});
    }
  });

  s.Get("/api/room", [this, who](const httplib::Request& req, httplib::Response& res) {
    if (!who(req, res)) {
      return;
    }
    if (req.has_param("after")) {
      uint64_t after = std::strtoull(req.get_param_value("after").c_str(), nullptr, 10);
      console_.WaitForChange(after, std::chrono::seconds(10));
    }
    RoomSnapshot snapshot = console_.Snapshot();
    json stations = json::array();
    for (size_t i = 0; i < snapshot.stations.size(); ++i) {
      stations.push_back(StationJson(snapshot.stations[i], snapshot.online[i], snapshot.now));
    }
    const auto& c = snapshot.counters;
    Reply(res, 200,
          json{{"version", snapshot.version},
               {"now", snapshot.now},
               {"keepalive_ms", snapshot.keepalive_ms},
               {"stations", std::move(stations)},
               {"counters",
                {{"datagrams", c.datagrams},
                 {"reports", c.reports},
                 {"stations_added", c.stations_added},
                 {"unknown_sender", c.unknown_sender},
                 {"garbage", c.garbage},
                 {"failed_receives", c.failed_receives},
                 {"refused", c.refused},
                 {"over_limit", c.over_limit}}}});
  });

  s.Get("/api/windows", [this, who](const httplib::Request& req, httplib::Response& res) {
    if (!who(req, res)) {
      return;
    }
    std::string address = req.get_param_value("station");
    RoomSnapshot snapshot = console_.Snapshot();
    for (const auto& station : snapshot.stations) {
      if (station.address == address) {
        Reply(res, 200,
              json{{"station", station.address},
                   {"windows", station.windows},
                   {"at", station.windows_at < 0 ? json(nullptr) : json(station.windows_at)}});
        return;
      }
    }
    Fail(res, 404, "no station at '" + address + "'");
  });

  s.Post("/api/act", [this, writer](const httplib::Request& req, httplib::Response& res) {
    auto session = writer(req, res);
    if (!session) {
      return;
    }
    auto body =
        BodyObject(req, res, {"action", "stations", "minutes", "volume", "caption", "confirm"});
    if (!body) {
      return;
    }
    ActionRequest request;
    auto& b = *body;
    auto kind = b.contains("action") && b["action"].is_string()
                    ? ActionFromName(b["action"].get<std::string>())
                    : std::nullopt;
    if (!kind) {
      Fail(res, 400,
           "'action' must be one of start, add, end, info, windows, kill, volume, "
           "monitor_off, monitor_on, reboot, shutdown");
      return;
    }
    request.kind = *kind;
    if (!b.contains("stations") || !b["stations"].is_array() || b["stations"].empty() ||
        b["stations"].size() > kMaxStationsPerRequest) {
      Fail(res, 400, "'stations' must be a list of station addresses");
      return;
    }
    for (const auto& address : b["stations"]) {
      if (!address.is_string()) {
        Fail(res, 400, "'stations' must be a list of station addresses");
        return;
      }
      if (!console_.HasStation(address.get<std::string>())) {
        Fail(res, 404, "no station at '" + address.get<std::string>() + "'");
        return;
      }
      request.stations.push_back(address.get<std::string>());
    }
    switch (request.kind) {
      case ActionKind::kStart:
      case ActionKind::kAdd: {
        auto minutes = IntField(b, "minutes", 1, kMaxSessionMinutes);
        if (!minutes) {
          Fail(res, 400,
               "'minutes' must be a whole number from 1 to " + std::to_string(kMaxSessionMinutes));
          return;
        }
        request.minutes = *minutes;
        break;
      }
      case ActionKind::kVolume: {
        auto volume = IntField(b, "volume", 0, 100);
        if (!volume) {
          Fail(res, 400, "'volume' must be a whole number from 0 to 100");
          return;
        }
        request.volume = *volume;
        break;
      }
      case ActionKind::kKill:
        if (!b.contains("caption") || !b["caption"].is_string() ||
            b["caption"].get<std::string>().empty() ||
            b["caption"].get<std::string>().size() > kMaxCaption * 2) {
          Fail(res, 400, "'caption' must be a window caption");
          return;
        }
        request.caption = b["caption"];
        break;
      case ActionKind::kReboot:
      case ActionKind::kShutdown:
        if (!b.contains("confirm") || b["confirm"] != true) {
          Fail(res, 400, "restarting or shutting down needs \"confirm\": true");
          return;
        }
        break;
      default:
        break;
    }
    auto outcomes = console_.Act(session->operator_name, request);
    json results = json::array();
    bool all_ok = true;
    for (const auto& o : outcomes) {
      all_ok = all_ok && o.ok;
      results.push_back(o.ok ? json{{"station", o.address}, {"ok", true}}
                             : json{{"station", o.address}, {"ok", false}, {"error", o.error}});
    }
    Reply(res, all_ok ? 200 : 409, json{{"results", results}});
  });

  // The day a signed-in request asks for ("day", else today) and its
  // sessions; nullopt, answered, for a request not signed in or a day that
  // is not a date (400).
  auto sessions_of_day = [this, who](const httplib::Request& req, httplib::Response& res)
      -> std::optional<std::pair<std::string, std::vector<SessionRecord>>> {
    if (!who(req, res)) {
      return std::nullopt;
    }
    std::string day =
        req.has_param("day") ? req.get_param_value("day") : LocalDay(console_.Snapshot().now);
    auto bounds = LocalDayBounds(day);
    if (!bounds) {
      Fail(res, 400, "'day' must be a date YYYY-MM-DD");
      return std::nullopt;
    }
    return std::make_pair(day, console_.SessionsBetween(bounds->first, bounds->second));
  };
  s.Get("/api/sessions", [sessions_of_day](const httplib::Request& req, httplib::Response& res) {
    auto day = sessions_of_day(req, res);
    if (!day) {
      return;
    }
    json sessions = json::array();
    for (const auto& record : day->second) {
      sessions.push_back(SessionJson(record));
    }
    Reply(res, 200, json{{"day", day->first}, {"sessions", sessions}});
  });

  s.Get("/api/sessions.csv",
        [sessions_of_day](const httplib::Request& req, httplib::Response& res) {
          auto day = sessions_of_day(req, res);
          if (!day) {
            return;
          }
          res.set_header("Content-Disposition",
                         "attachment; filename=\"sessions-" + day->first + ".csv\"");
          res.set_header("Cache-Control", "no-store");
          res.set_content(SessionsCsv(day->second), "text/csv; charset=utf-8");
        });

  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      const char* reason = res.status == 404   ? "not found"
                           : res.status == 413 ? "the request body is too large"
                                               : "bad request";
      Reply(res, res.status, json{{"error", reason}});
    }
  });
  s.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string message = "internal error";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          message = e.what();
        } catch (...) {
        }
        Fail(res, 500, message);
      });
}

}  // namespace zalvo::console
