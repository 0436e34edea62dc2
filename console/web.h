// The console's web server: the embedded page and the JSON API behind the
// operator's log-in.
#pragma once

#include <memory>
#include <string>

#include "console/auth.h"
#include "console/console.h"

namespace httplib {
class Server;
}

namespace zalvo::console {

// Request bodies larger than this are refused (413).
inline constexpr size_t kMaxRequestBody = size_t{16} * 1024;

class WebServer {
 public:
  explicit WebServer(Console& console);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds host:port (port 0: any free port) and returns the port; throws
  // std::runtime_error when it cannot.
  int Bind(const std::string& host, int port);
  // Serves until Stop; returns false when serving failed.
  bool Serve();
  void Stop();

 private:
  void Routes();

  Console& console_;
  Sessions sessions_;
  LoginThrottle throttle_;
  std::unique_ptr<httplib::Server> server_;
};

// The page, its script and its style sheet.
extern const char* const kPageHtml;
extern const char* const kPageScript;
extern const char* const kPageStyle;

}  // namespace zalvo::console
